"""One `git rev-parse --show-toplevel` from Python: subprocess.run against the
bare spawn floor (os.posix_spawnp + waitpid, output to /dev/null).

The module's own git run is cached behind resolve_project_id, so the
adapter's cost is measured in C++ (build/bench/bench_git_adapter); set its
adapter/floor ratio beside the subprocess/floor ratio printed here.
"""

import os
import shutil
import statistics
import subprocess
import tempfile
import time

from _timing import fmt_ns, header

CMD = ["git", "rev-parse", "--show-toplevel"]
RUNS = 300


def timed(fn, runs=RUNS):
    fn()  # warm the page cache and PATH lookup
    samples = []
    for _ in range(runs):
        start = time.perf_counter_ns()
        fn()
        samples.append(time.perf_counter_ns() - start)
    return statistics.median(samples), min(samples)


def via_subprocess():
    subprocess.run(CMD, capture_output=True, timeout=10)


def bare_spawn():
    null = os.POSIX_SPAWN_OPEN
    actions = [(null, 0, os.devnull, os.O_RDONLY, 0),
               (null, 1, os.devnull, os.O_WRONLY, 0),
               (null, 2, os.devnull, os.O_WRONLY, 0)]
    pid = os.posix_spawnp("git", CMD, os.environ, file_actions=actions)
    os.waitpid(pid, 0)


def main():
    base = tempfile.mkdtemp(prefix="bench-git-")
    previous = os.getcwd()
    try:
        subprocess.run(["git", "init", "-q", "-b", "main", base], check=True)
        os.chdir(base)  # posix_spawnp has no cwd argument
        header(f"git rev-parse --show-toplevel from Python (median / min of {RUNS})")
        sub_med, sub_min = timed(via_subprocess)
        floor_med, floor_min = timed(bare_spawn)
        print(f"  {'subprocess.run(capture_output)':<34}{fmt_ns(sub_med):>14}{fmt_ns(sub_min):>14}")
        print(f"  {'os.posix_spawnp + waitpid (floor)':<34}{fmt_ns(floor_med):>14}{fmt_ns(floor_min):>14}")
        print(f"  subprocess / floor: {sub_med / floor_med:.2f}x (median)")
    finally:
        os.chdir(previous)
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
