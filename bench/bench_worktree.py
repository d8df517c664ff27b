"""Worktree identity, the main-worktree check and the listing on a repository
with 50 linked worktrees: the module against two floors (the same git
command spawned bare with its output to /dev/null, and run bare through
subprocess.run with its output captured) and the plain-Python way
(subprocess.run and a parser). The listing is measured in both forms: the
NUL-separated one the module runs itself, and the line form a caller's
`run` produces. With --ignore-sigchld the host ignores SIGCHLD, as some
servers do (the bare spawn floor still runs with it at its default, as it
must to wait for its child).
"""

import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

import _tidemark as t
from _timing import fmt_ns, header

LINKED = 50
RUNS = 200
IDENTITY = ["git", "rev-parse", "--path-format=absolute", "--git-dir", "--git-common-dir",
            "--show-toplevel", "--abbrev-ref", "HEAD"]
LISTING = ["git", "worktree", "list", "--porcelain"]
LISTING_Z = LISTING + ["-z"]


def timed(*fns, runs=RUNS):
    """Median nanoseconds of each function, the runs interleaved so that
    load from elsewhere on the machine falls on all of them alike."""
    samples = [[] for _ in fns]
    for fn in fns:
        fn()  # warm the page cache and PATH lookup
    for _ in range(runs):
        for fn, out in zip(fns, samples):
            start = time.perf_counter_ns()
            fn()
            out.append(time.perf_counter_ns() - start)
    return [statistics.median(s) for s in samples]


def bare_spawn(argv):
    """The floor: spawn git in the current directory, discard its output."""
    null = os.POSIX_SPAWN_OPEN
    actions = [(null, 0, os.devnull, os.O_RDONLY, 0),
               (null, 1, os.devnull, os.O_WRONLY, 0),
               (null, 2, os.devnull, os.O_WRONLY, 0)]
    def spawn():
        disposition = signal.signal(signal.SIGCHLD, signal.SIG_DFL)
        try:
            os.waitpid(os.posix_spawnp("git", argv, os.environ, file_actions=actions), 0)
        finally:
            signal.signal(signal.SIGCHLD, disposition)
    return spawn


def subprocess_floor(argv):
    """The other floor: the same command through subprocess.run, output
    captured as text and not looked at."""
    return lambda: subprocess.run(argv, capture_output=True, text=True, timeout=30)


def run_lines(argv, cwd):
    """What a caller's `run` does for list_worktrees."""
    return subprocess.run(argv, cwd=cwd, capture_output=True, text=True, timeout=30)


def plain_identity(cwd):
    out = subprocess.run(IDENTITY, cwd=cwd, capture_output=True, text=True, timeout=10)
    if out.returncode != 0:
        return None
    lines = [line.strip() for line in out.stdout.strip().split("\n")]
    if len(lines) < 4 or not all(lines[:4]):
        return None
    return [os.path.realpath(p) for p in lines[:3]] + [lines[3]]


def plain_check(cwd):
    ident = plain_identity(cwd)
    return ident is not None and ident[0] == ident[1] and ident[3] in ("main", "master")


def plain_listing(repo, argv=LISTING, end="\n"):
    out = subprocess.run(argv, cwd=repo, capture_output=True, text=True, timeout=30)
    if out.returncode != 0:
        raise RuntimeError(out.stderr)
    entries, record = [], {}
    for line in out.stdout.split(end):
        if end == "\n":
            line = line.rstrip("\r")
        if not line:
            if record:
                entries.append(record)
            record = {}
            continue
        key, _, value = line.partition(" ")
        record[key] = value
    if record:
        entries.append(record)
    return entries


def build(base):
    repo = os.path.join(base, "repo")
    run = lambda *a: subprocess.run(["git", *a], cwd=repo, check=True, capture_output=True)  # noqa: E731
    os.makedirs(repo)
    run("init", "-q", "-b", "main")
    run("-c", "user.name=b", "-c", "user.email=b@example.invalid", "commit", "-q", "--allow-empty", "-m", "i")
    for i in range(LINKED):
        run("worktree", "add", "-q", "-b", f"b{i}", os.path.join(base, f"wt{i}"))
    return repo


def main():
    ignore = "--ignore-sigchld" in sys.argv[1:]
    base = os.path.realpath(tempfile.mkdtemp(prefix="bench-worktree-"))
    previous = os.getcwd()
    try:
        repo = build(base)
        if ignore:  # after the set-up, whose git runs children of its own
            signal.signal(signal.SIGCHLD, signal.SIG_IGN)
        assert len(t.list_worktrees(repo)) == len(t.list_worktrees(repo, run=run_lines)) == LINKED + 1
        os.chdir(repo)  # posix_spawnp has no cwd argument
        rows = [
            ("resolve_git_worktree", lambda: t.resolve_git_worktree(repo),
             lambda: plain_identity(repo), IDENTITY),
            ("validate_main_worktree", lambda: t.validate_main_worktree(repo),
             lambda: plain_check(repo), IDENTITY),
            ("list_worktrees -z", lambda: t.list_worktrees(repo),
             lambda: plain_listing(repo, LISTING_Z, "\0"), LISTING_Z),
            ("list_worktrees run=", lambda: t.list_worktrees(repo, run=run_lines),
             lambda: plain_listing(repo), LISTING),
        ]
        host = "SIGCHLD ignored" if ignore else "default host"
        header(f"worktree functions, {LINKED} linked worktrees, {host} (median of {RUNS})")
        print(f"  {'':<24}{'module':>13}{'plain Python':>14}{'spawn floor':>13}{'subprocess':>13}"
              f"{'module/spawn':>14}{'module/subpr':>14}{'plain/spawn':>13}")
        for name, ours, plain, argv in rows:
            ours_ns, plain_ns, spawn_ns, sub_ns = timed(ours, plain, bare_spawn(argv), subprocess_floor(argv))
            print(f"  {name:<24}{fmt_ns(ours_ns):>13}{fmt_ns(plain_ns):>14}{fmt_ns(spawn_ns):>13}{fmt_ns(sub_ns):>13}"
                  f"{ours_ns / spawn_ns:>13.3f}x{ours_ns / sub_ns:>13.3f}x{plain_ns / spawn_ns:>12.3f}x")
    finally:
        os.chdir(previous)
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
