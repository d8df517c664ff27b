"""Eight processes upserting into one binding store at once: total upserts
per second, against one process doing the same alone."""

import multiprocessing as mp
import os
import subprocess
import tempfile
import time

import _tidemark

PER_PROCESS = 150
PROCESSES = 8


def worker(root, tag, count, start_event):
    store = _tidemark.WorktreeBindingStore(main_worktree=root)
    bindings = [_tidemark.WorktreeBinding(f"{tag}-{i}", os.path.join(root, f"wt-{tag}-{i}"), "main",
                                          os.path.join(root, "state"), "", root) for i in range(count)]
    start_event.wait()
    for b in bindings:
        store.upsert(b)


def run(root, processes, count):
    ctx = mp.get_context("spawn")
    start = ctx.Event()
    procs = [ctx.Process(target=worker, args=(root, f"p{n}", count, start)) for n in range(processes)]
    for p in procs:
        p.start()
    time.sleep(1.0)  # let every process import and build its bindings
    t0 = time.perf_counter()
    start.set()
    for p in procs:
        p.join()
    elapsed = time.perf_counter() - t0
    stored = len(_tidemark.WorktreeBindingStore(main_worktree=root).list())
    return processes * count / elapsed, stored


def main():
    with tempfile.TemporaryDirectory() as tmp:
        one_root = os.path.join(tmp, "one")
        many_root = os.path.join(tmp, "many")
        for root in (one_root, many_root):
            subprocess.run(["git", "init", "-q", "-b", "main", root], check=True)
        single, n1 = run(one_root, 1, PER_PROCESS * PROCESSES)
        many, n8 = run(many_root, PROCESSES, PER_PROCESS)
    print(f"\n### concurrent upserts into one store ({PER_PROCESS * PROCESSES} in all)")
    print(f"1 process : {single:8.0f} upserts/s ({n1} stored)")
    print(f"{PROCESSES} processes: {many:8.0f} upserts/s ({n8} stored)   ratio {many / single:.2f}")


if __name__ == "__main__":
    main()
