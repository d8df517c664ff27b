"""How soon a call ends while git floods its standard output: after Ctrl-C
(SIGINT to the thread that runs the call, whose wait it interrupts, or to
another thread, so that only the hook, asked between reads, can see it), and
after the time limit (resolve_git_worktree's ten seconds), in a default host
and under an ignored SIGCHLD. Each measurement is a program of its own; the
figures are the median and the worst of REPS, in seconds past the signal or
the limit. The flood for Ctrl-C goes as fast as the call reads (1 GiB at
most); the one for the limit, 64 KiB every FLOOD_PAUSE seconds (2 ms: about
300 MiB in all), so that memory stays bounded. Past the limit, the call also
gives back the memory of what it read (about 0.15 s per GiB here).

    python bench/bench_flooding_git.py [REPS]
"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap

REPS = int(sys.argv[1]) if len(sys.argv) > 1 else 5
LIMIT_S = 10

FLOODING_GIT = textwrap.dedent("""\
    #!{python}
    import os, sys, time
    open(sys.argv[0] + ".started", "w").close()
    chunk, pause = b"x" * 65536, float(os.environ["FLOOD_PAUSE"])
    for _ in range(16384 if pause == 0 else 1 << 40):
        os.write(1, chunk)
        if pause:
            time.sleep(pause)
""")

PROGRAM = textwrap.dedent("""
    import os, signal, sys, threading, time
    import _tidemark as t
    mode, started = sys.argv[1], sys.argv[2]
    if sys.argv[3] == "ignore":
        signal.signal(signal.SIGCHLD, signal.SIG_IGN)
    main = threading.get_ident()
    sent = []
    def interrupt():
        while not os.path.exists(started):
            time.sleep(0.01)
        time.sleep(0.3)
        sent.append(time.monotonic())
        signal.pthread_kill(main if mode == "ctrl-c" else threading.get_ident(), signal.SIGINT)
    if mode != "limit":
        threading.Thread(target=interrupt).start()
    begun = time.monotonic()
    try:
        t.resolve_git_worktree(os.getcwd())
    except KeyboardInterrupt:
        print(time.monotonic() - sent[0])
    else:  # resolve_git_worktree answers None when git cannot
        print(time.monotonic() - begun - LIMIT_S)
""").replace("LIMIT_S", str(LIMIT_S))

MODES = {
    "Ctrl-C, on the calling thread": ("ctrl-c", "0"),
    "Ctrl-C, on another thread": ("ctrl-c elsewhere", "0"),
    "the time limit": ("limit", os.environ.get("FLOOD_PAUSE", "0.002")),
}


def main():
    base = tempfile.mkdtemp(prefix="bench-flood-")
    try:
        git = os.path.join(base, "git")
        with open(git, "w") as f:
            f.write(FLOODING_GIT.format(python=sys.executable))
        os.chmod(git, 0o755)
        print(f"a call whose git floods its output: seconds past the signal or the limit (median, worst of {REPS})")
        for host in ("default", "ignore"):
            for name, (mode, pause) in MODES.items():
                late = []
                for _ in range(REPS):
                    started = git + ".started"
                    if os.path.exists(started):
                        os.unlink(started)
                    env = dict(os.environ, PATH=f"{base}:{os.environ['PATH']}", FLOOD_PAUSE=pause)
                    out = subprocess.run([sys.executable, "-c", PROGRAM, mode, started, host], cwd=base, env=env,
                                         capture_output=True, text=True, timeout=120)
                    late.append(float(out.stdout))
                host_name = "SIGCHLD ignored" if host == "ignore" else "default host"
                print(f"  {host_name:<17}{name:<32}{statistics.median(late):8.3f} s{max(late):8.3f} s")
    finally:
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
