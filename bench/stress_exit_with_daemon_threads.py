"""Programs that exit while daemon threads are inside every call that runs
git (and waits for it, or takes the interpreter lock back on the way): the
interpreter ends those threads as they take the lock back. Each program must
end with status 0 and nothing on standard error. Runs EXITS programs, PARALLEL
at a time, beside busy loops on half the cores, so that the
threads are caught at every point of a call. Takes minutes; not part of CI.

    python bench/stress_exit_with_daemon_threads.py [EXITS]
"""

import multiprocessing
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
from concurrent.futures import ThreadPoolExecutor

EXITS = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
PARALLEL = 8

PROGRAM = textwrap.dedent("""
    import random, signal, sys, threading, time
    import _tidemark as t
    root = sys.argv[1]
    calls = (lambda: t.resolve_git_worktree(root), lambda: t.validate_main_worktree(root),
             lambda: t.list_worktrees(root))
    def loop(call):
        while True:
            try:
                call()
            except Exception:
                pass
    for call in calls * 2:
        threading.Thread(target=loop, args=(call,), daemon=True).start()
    time.sleep(random.uniform(0.005, 0.05))
""")


def burn(stop):
    while not stop.is_set():
        pass


def one(repo):
    out = subprocess.run([sys.executable, "-c", PROGRAM, repo], capture_output=True, text=True, timeout=120)
    return out.returncode, out.stderr


def main():
    base = tempfile.mkdtemp(prefix="stress-exit-")
    try:
        repo = os.path.join(base, "repo")
        subprocess.run(["git", "init", "-q", "-b", "main", repo], check=True)
        subprocess.run(["git", "-C", repo, "-c", "user.name=s", "-c", "user.email=s@example.invalid", "commit", "-q",
                        "--allow-empty", "-m", "i"], check=True)
        stop = multiprocessing.Event()
        load = [multiprocessing.Process(target=burn, args=(stop,)) for _ in range(max(1, (os.cpu_count() or 2) // 2))]
        for p in load:
            p.start()
        try:
            with ThreadPoolExecutor(PARALLEL) as pool:
                results = list(pool.map(one, [repo] * EXITS))
        finally:
            stop.set()
            for p in load:
                p.join()
        bad = [(code, err) for code, err in results if code != 0 or err]
        print(f"{EXITS} exits with daemon threads inside git calls, {PARALLEL} at a time beside "
              f"{len(load)} busy loops: {EXITS - len(bad)} clean, {len(bad)} not")
        for code, err in bad[:5]:
            print(f"  status {code}: {err.strip()[:300]}")
    finally:
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
