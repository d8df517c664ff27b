"""validate_binding (git checks on) and register_binding against the floor:
the same git commands run back to back with their output discarded
(os.posix_spawnp + waitpid, output to /dev/null)."""

import os
import statistics
import subprocess
import tempfile
import time

import _tidemark

from _timing import fmt_ns, header

RUNS = 200
COMMON_DIR = ["git", "rev-parse", "--path-format=absolute", "--git-common-dir"]
BRANCH = ["git", "branch", "--show-current"]


def spawn_discarding(argv, cwd):
    """One git run with every stream on /dev/null: the cost of the process alone."""
    null = os.POSIX_SPAWN_OPEN
    here = os.getcwd()
    os.chdir(cwd)
    try:
        pid = os.posix_spawnp(argv[0], argv, os.environ, file_actions=[
            (null, 0, os.devnull, os.O_RDONLY, 0),
            (null, 1, os.devnull, os.O_WRONLY, 0),
            (null, 2, os.devnull, os.O_WRONLY, 0)])
    finally:
        os.chdir(here)
    os.waitpid(pid, 0)


def median_ns(fn, runs=RUNS):
    fn()
    samples = []
    for _ in range(runs):
        start = time.perf_counter_ns()
        fn()
        samples.append(time.perf_counter_ns() - start)
    return statistics.median(samples)


def make_repo(tmp):
    main = os.path.join(tmp, "main")
    wt = os.path.join(tmp, "wt")
    subprocess.run(["git", "init", "-q", "-b", "main", main], check=True)
    subprocess.run(["git", "-C", main, "-c", "user.name=b", "-c", "user.email=b@b", "commit", "-q",
                    "--allow-empty", "-m", "init"], check=True)
    subprocess.run(["git", "-C", main, "worktree", "add", "-q", "-b", "feature", wt], check=True)
    return main, wt


def main():
    with tempfile.TemporaryDirectory() as tmp:
        tmp = os.path.realpath(tmp)
        main_wt, wt = make_repo(tmp)
        binding = _tidemark.register_binding(session_id="s", worktree=wt, branch="feature", main_worktree=main_wt)

        validate = median_ns(lambda: _tidemark.validate_binding(binding, cwd=wt))
        validate_floor = median_ns(lambda: (spawn_discarding(BRANCH, wt), spawn_discarding(COMMON_DIR, wt)))

        register = median_ns(lambda: _tidemark.register_binding(
            session_id="s", worktree=wt, branch="feature", main_worktree=main_wt))
        # store root in the main worktree, common dir in the worktree, then validation's two runs
        register_floor = median_ns(lambda: (spawn_discarding(COMMON_DIR, main_wt), spawn_discarding(COMMON_DIR, wt),
                                            spawn_discarding(BRANCH, wt), spawn_discarding(COMMON_DIR, wt)))

    header("binding functions against the floor (median of %d runs)" % RUNS)
    print(f"validate_binding(check_git=True) {fmt_ns(validate)}   floor (2 git runs) {fmt_ns(validate_floor)}"
          f"   ratio {validate / validate_floor:.3f}")
    print(f"register_binding                 {fmt_ns(register)}   floor (4 git runs) {fmt_ns(register_floor)}"
          f"   ratio {register / register_floor:.3f}")


if __name__ == "__main__":
    main()
