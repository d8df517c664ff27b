"""Worktree identity, the main-worktree check and the listing on a repository
with 50 linked worktrees: the module against the floor (the same git command
spawned bare, output to /dev/null) and the plain-Python way (subprocess.run
and a line parser).
"""

import os
import shutil
import statistics
import subprocess
import tempfile
import time

import _tidemark as t
from _timing import fmt_ns, header

LINKED = 50
RUNS = 200
IDENTITY = ["git", "rev-parse", "--path-format=absolute", "--git-dir", "--git-common-dir",
            "--show-toplevel", "--abbrev-ref", "HEAD"]
LISTING = ["git", "worktree", "list", "--porcelain"]


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
    return lambda: os.waitpid(os.posix_spawnp("git", argv, os.environ, file_actions=actions), 0)


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


def plain_listing(repo):
    out = subprocess.run(LISTING, cwd=repo, capture_output=True, text=True, timeout=30)
    if out.returncode != 0:
        raise RuntimeError(out.stderr)
    entries, record = [], {}
    for line in out.stdout.split("\n"):
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
    base = os.path.realpath(tempfile.mkdtemp(prefix="bench-worktree-"))
    previous = os.getcwd()
    try:
        repo = build(base)
        assert len(t.list_worktrees(repo)) == LINKED + 1
        os.chdir(repo)  # posix_spawnp has no cwd argument
        rows = [
            ("resolve_git_worktree", lambda: t.resolve_git_worktree(repo),
             lambda: plain_identity(repo), bare_spawn(IDENTITY)),
            ("validate_main_worktree", lambda: t.validate_main_worktree(repo),
             lambda: plain_check(repo), bare_spawn(IDENTITY)),
            ("list_worktrees", lambda: t.list_worktrees(repo),
             lambda: plain_listing(repo), bare_spawn(LISTING)),
        ]
        header(f"worktree functions, {LINKED} linked worktrees (median of {RUNS})")
        print(f"  {'':<24}{'module':>13}{'plain Python':>14}{'floor':>13}{'module/floor':>14}{'plain/floor':>13}")
        for name, ours, plain, floor in rows:
            ours_ns, plain_ns, floor_ns = timed(ours, plain, floor)
            print(f"  {name:<24}{fmt_ns(ours_ns):>13}{fmt_ns(plain_ns):>14}{fmt_ns(floor_ns):>13}"
                  f"{ours_ns / floor_ns:>13.3f}x{plain_ns / floor_ns:>12.3f}x")
    finally:
        os.chdir(previous)
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
