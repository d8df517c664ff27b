"""Audit log: record_event per call (one process and eight at once) and
read_records over 40 MiB of log (three archives and the live file).

record_event is set against the floor (the bare system calls of one append,
made from Python: mkdir, stat, getcwd, uname, open with O_APPEND, flock,
write, fstat, close, with the line already rendered), against
concurrent-log-handler writing a line of the same size, and against the
plain-Python way (the same sixteen-key record, json.dumps(sort_keys=True,
separators=(",", ":")), fcntl.flock, one os.write).

read_records is set against a reader that json.loads each line, one that
orjson.loads each line (both build one object per record, check the required
fields and the timestamp, filter and sort), and against the floor of reading
the files' bytes; then its peak memory over a 500 MiB log is measured in a
fresh interpreter. Last, read_records over an archive of 16 GiB apparent size
holding one byte every MiB and no newline (64 MiB on disk), against reading
its data blocks and against reading it through.

concurrent-log-handler and orjson come from PyPI; the comparisons that need
them are skipped when they are not installed.
"""

import datetime as dt
import errno
import fcntl
import json
import logging
import multiprocessing
import os
import random
import socket
import subprocess
import sys
import tempfile
import time

import _tidemark

from _timing import fmt_ns, header, per_call_ns

try:
    import orjson
except ImportError:
    orjson = None
try:
    from concurrent_log_handler import ConcurrentRotatingFileHandler
except ImportError:
    ConcurrentRotatingFileHandler = None

LIVE = "worktree-events.ndjson"
EXTRA = {"reason": "merged", "pr": 123}
PROCS = 8
PER_PROC = 2000


def event(branch="feature/x"):
    _tidemark.record_event("worktree_remove", branch, "/home/dev/worktrees/tessary/feature-x", "raw_git",
                           "success", session_id="s-1", elapsed_ms=12, correlation_id="c-1", extra=EXTRA)


def plain_record(branch="feature/x"):
    return {
        "branch": branch, "correlation_id": "c-1", "cwd": os.getcwd(), "elapsed_ms": 12, "extra": EXTRA,
        "host": socket.gethostname(), "invoker": "raw_git", "kind": "worktree_remove", "outcome": "success",
        "parent_pid": os.getppid(), "pid": os.getpid(), "schema_version": "v2", "session_id": "s-1",
        "timestamp": dt.datetime.now(dt.timezone.utc).isoformat().replace("+00:00", "Z"),
        "truncated": False, "worktree": "/home/dev/worktrees/tessary/feature-x",
    }


def plain_event(audit_dir):
    line = json.dumps(plain_record(), sort_keys=True, separators=(",", ":")) + "\n"
    os.makedirs(audit_dir, exist_ok=True)
    fd = os.open(os.path.join(audit_dir, LIVE), os.O_RDWR | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o666)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        os.write(fd, line.encode())
        os.fstat(fd)
    finally:
        os.close(fd)


def floor_event(audit_dir, line):
    try:
        os.mkdir(audit_dir)
    except FileExistsError:
        pass
    try:
        os.stat(os.path.join(audit_dir, LIVE + ".rotating"))
    except FileNotFoundError:
        pass
    os.getcwd()
    os.uname()
    fd = os.open(os.path.join(audit_dir, LIVE), os.O_RDWR | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o666)
    fcntl.flock(fd, fcntl.LOCK_EX)
    os.write(fd, line)
    os.fstat(fd)
    os.close(fd)


def clh_logger(audit_dir):
    os.makedirs(audit_dir, exist_ok=True)
    logger = logging.getLogger(f"clh-{os.getpid()}-{audit_dir}")
    logger.propagate = False
    handler = ConcurrentRotatingFileHandler(os.path.join(audit_dir, "clh.ndjson"), maxBytes=10_485_760,
                                            backupCount=20)
    handler.setFormatter(logging.Formatter("%(message)s"))
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    return logger


def writers(audit_dir):
    line = (json.dumps(plain_record(), sort_keys=True, separators=(",", ":")) + "\n").encode()
    out = {
        "floor (bare system calls)": lambda: floor_event(audit_dir, line),
        "record_event": event,
        "plain Python (json.dumps, flock, os.write)": lambda: plain_event(audit_dir),
    }
    if ConcurrentRotatingFileHandler is not None:
        logger = clh_logger(audit_dir)
        text = line.decode().rstrip("\n")
        out["concurrent-log-handler"] = lambda: logger.info(text)
    return out


def _proc(name, audit_dir, start, done):
    fn = writers(audit_dir)[name]
    start.wait()
    for _ in range(PER_PROC):
        fn()
    done.put(time.perf_counter_ns())


def eight_processes(name, audit_dir):
    ctx = multiprocessing.get_context("fork")
    start, done = ctx.Event(), ctx.Queue()
    procs = [ctx.Process(target=_proc, args=(name, audit_dir, start, done)) for _ in range(PROCS)]
    for p in procs:
        p.start()
    time.sleep(0.3)
    began = time.perf_counter_ns()
    start.set()
    ends = [done.get() for _ in procs]
    for p in procs:
        p.join()
    return (max(ends) - began) / (PROCS * PER_PROC)


def bench_writer(root):
    audit_dir = os.path.join(root, "shared", "audit")
    os.environ["PLOWLINE_SHARED_DIR"] = os.path.join(root, "shared")
    os.makedirs(audit_dir)  # the floor, timed first, makes only the last level, as every append but the first does
    header("record_event per call")
    one = {name: per_call_ns(fn) for name, fn in writers(audit_dir).items()}
    eight = {name: eight_processes(name, audit_dir) for name in one}
    floor1, floor8 = one["floor (bare system calls)"], eight["floor (bare system calls)"]
    print(f"{'':44} {'1 process':>12} {'x floor':>8}   {'8 processes':>12} {'x floor':>8}")
    for name in one:
        print(f"{name:44} {fmt_ns(one[name])} {one[name] / floor1:8.2f}   {fmt_ns(eight[name])} "
              f"{eight[name] / floor8:8.2f}")
    for other in ("concurrent-log-handler", "plain Python (json.dumps, flock, os.write)"):
        if other in one:
            print(f"record_event rate vs {other}: {one[other] / one['record_event']:.1f}x (1 process), "
                  f"{eight[other] / eight['record_event']:.1f}x (8 processes)")


# ---- reading ------------------------------------------------------------------------

REQUIRED = ("timestamp", "kind", "invoker", "branch", "outcome")


class Record:
    __slots__ = ("schema_version", "timestamp", "kind", "session_id", "pid", "parent_pid", "cwd", "host",
                 "invoker", "branch", "worktree", "outcome", "elapsed_ms", "correlation_id", "truncated", "extra")

    def __init__(self, d):
        for name in self.__slots__:
            setattr(self, name, d.get(name))


def plain_reader(loads):
    def read(audit_dir, branch=None):
        names = sorted((n for n in os.listdir(audit_dir) if n.startswith("worktree-events.")
                        and n.endswith(".ndjson") and n != LIVE),
                       key=lambda n: (os.lstat(os.path.join(audit_dir, n)).st_mtime_ns, n))
        out = []
        for name in names + [LIVE]:
            with open(os.path.join(audit_dir, name), "rb") as f:
                data = f.read()
            for raw in data.split(b"\n"):
                raw = raw.strip()
                if not raw:
                    continue
                try:
                    d = loads(raw)
                except ValueError:
                    continue
                if not isinstance(d, dict) or not all(isinstance(d.get(k), str) for k in REQUIRED):
                    continue
                if not isinstance(d.get("worktree"), str) or type(d.get("pid")) is not int:
                    continue
                if branch is not None and d["branch"] != branch:
                    continue
                try:
                    dt.datetime.fromisoformat(d["timestamp"])
                except ValueError:
                    continue
                out.append(Record(d))
        out.sort(key=lambda r: r.timestamp)
        return out
    return read


def floor_reader(audit_dir, branch=None):
    for name in os.listdir(audit_dir):
        with open(os.path.join(audit_dir, name), "rb") as f:
            f.read()


def fill_log(root, mib=40):
    os.environ["PLOWLINE_SHARED_DIR"] = os.path.join(root, "shared")
    audit_dir = os.path.join(root, "shared", "audit")
    rng = random.Random(7)
    branches = [f"feature/{i}" for i in range(10)]
    while True:
        for _ in range(1000):
            event(rng.choice(branches))
        sizes = [os.path.getsize(os.path.join(audit_dir, n)) for n in os.listdir(audit_dir)]
        if len(sizes) >= 4 and sum(sizes) >= mib << 20:
            return audit_dir


def bench_reader(root):
    audit_dir = fill_log(root)
    total = sum(os.path.getsize(os.path.join(audit_dir, n)) for n in os.listdir(audit_dir))
    count = len(_tidemark.read_records())
    header(f"read_records over {total / (1 << 20):.1f} MiB in {len(os.listdir(audit_dir))} files, {count} records")
    readers = {
        "floor (read the bytes)": floor_reader,
        "read_records": lambda d, branch=None: _tidemark.read_records(branch=branch),
        "plain Python (json.loads per line)": plain_reader(json.loads),
    }
    if orjson is not None:
        readers["orjson.loads per line"] = plain_reader(orjson.loads)
    results = {}
    for branch in (None, "feature/3"):
        for name, fn in readers.items():
            results[name, branch] = per_call_ns(fn, audit_dir, branch, repeat=3, budget_s=0.5)
    print(f"{'':40} {'no filter':>12} {'branch filter':>14}")
    for name in readers:
        print(f"{name:40} {fmt_ns(results[name, None])} {fmt_ns(results[name, 'feature/3']):>14}")
    for name in readers:
        if name != "read_records":
            a, b = (results[name, br] / results["read_records", br] for br in (None, "feature/3"))
            print(f"read_records vs {name}: {a:.2f}x (no filter), {b:.2f}x (branch filter)")


# The child's peak resident size is read from VmHWM: ru_maxrss would carry
# over the larger peak of the bench process that started it.
PEAK = """
import sys, _tidemark
def peak():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
branch = sys.argv[1] or None
before = peak()
records = _tidemark.read_records(branch=branch)
print(before, peak(), len(records))
"""


def bench_reader_memory(root, mib=500):
    """Peak resident memory of one read_records in a fresh interpreter over
    a log of `mib` MiB: the 40 MiB log's files copied under other archive
    names until the log is that large (no writer would keep so much: pruning
    removes old archives)."""
    audit_dir = fill_log(root)
    names = sorted(os.listdir(audit_dir))
    total, n = sum(os.path.getsize(os.path.join(audit_dir, x)) for x in names), 0
    while total < mib << 20:
        n += 1
        for name in names:
            data = open(os.path.join(audit_dir, name), "rb").read()
            with open(os.path.join(audit_dir, f"worktree-events.copy-{n}-{name}"), "wb") as f:
                f.write(data)
            total += len(data)
    header(f"read_records peak memory over {total / (1 << 20):.0f} MiB in {len(os.listdir(audit_dir))} files")
    for branch in ("", "feature/3"):
        out = subprocess.run([sys.executable, "-c", PEAK, branch], capture_output=True, text=True, check=True)
        before, peak, count = map(int, out.stdout.split())
        print(f"{'branch filter' if branch else 'no filter':14} {count:9} records: peak {peak >> 10} MiB, "
              f"{(peak - before) >> 10} MiB above the interpreter's "
              f"({(peak - before) * 1024 / total:.2f} bytes per byte of log)")


def sprinkled_archive(audit_dir, size=16 << 30, every=1 << 20):
    """An archive of `size` bytes apparent size, one byte and no newline every
    `every`, holes between; returns its path."""
    os.makedirs(audit_dir, exist_ok=True)
    path = os.path.join(audit_dir, "worktree-events.2026-01.ndjson")
    with open(path, "wb") as f:
        f.truncate(size)
        for at in range(0, size, every):
            os.pwrite(f.fileno(), b"{", at)
    return path


def read_data_blocks(path):
    """The floor: every run of data read once, the holes stepped over."""
    fd = os.open(path, os.O_RDONLY)
    try:
        at = 0
        while True:
            try:
                at = os.lseek(fd, at, os.SEEK_DATA)
            except OSError as e:
                if e.errno == errno.ENXIO:
                    return
                raise
            end = os.lseek(fd, at, os.SEEK_HOLE)
            at += len(os.pread(fd, end - at, at))
    finally:
        os.close(fd)


def read_through(path):
    with open(path, "rb", buffering=0) as f:
        while f.read(1 << 20):
            pass


def bench_sprinkled_archive(root, size=16 << 30):
    os.environ["PLOWLINE_SHARED_DIR"] = os.path.join(root, "shared")
    path = sprinkled_archive(os.path.join(root, "shared", "audit"), size)
    on_disk = os.stat(path).st_blocks * 512
    header(f"read_records over a {size >> 30} GiB archive, a byte every MiB ({on_disk >> 20} MiB on disk)")
    times = {}
    for name, fn in (("floor (read the data blocks)", lambda: read_data_blocks(path)),
                     ("read_records", _tidemark.read_records),
                     ("read the file through (holes as zeros)", lambda: read_through(path))):
        began = time.perf_counter()
        fn()
        times[name] = time.perf_counter() - began
    for name, seconds in times.items():
        print(f"{name:40} {seconds:9.3f} s {seconds / times['read_records']:8.2f}x read_records")


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as root:
        bench_writer(os.path.join(root, "w"))
    with tempfile.TemporaryDirectory() as root:
        bench_reader(os.path.join(root, "r"))
    with tempfile.TemporaryDirectory() as root:
        bench_reader_memory(os.path.join(root, "m"))
    with tempfile.TemporaryDirectory() as root:
        bench_sprinkled_archive(os.path.join(root, "s"))
