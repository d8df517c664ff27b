"""read_records over hostile log files: each read runs in a child interpreter
under a time limit, so that a crash, a hang or an exception shows as such,
and must return every good record beside the damage, reading no more bytes
than the files hold on disk (a hole is stepped over, never read)."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

LIVE = "worktree-events.ndjson"
ARCHIVE = "worktree-events.2026-01.ndjson"


def line(cid, ts="2026-01-02T03:04:05Z", **extra):
    record = {"timestamp": ts, "kind": "k", "invoker": "i", "branch": "b", "worktree": "/w",
              "outcome": "o", "pid": 1, "correlation_id": cid, **extra}
    return json.dumps(record, separators=(",", ":"), ensure_ascii=False).encode() + b"\n"


def line_of(cid, size, ending=b"\n"):
    """A record line of exactly `size` bytes before its ending."""
    base = len(line(cid, blob="")) - 1
    return line(cid, blob="x" * (size - base))[:-1] + ending


def good(tag, n=3):
    return b"".join(line(f"{tag}{i}") for i in range(n))


def sparse(path, size):
    with open(path, "wb") as f:
        f.truncate(size)


def sprinkled(path, size, every=1 << 20):
    """A sparse file of `size` bytes holding one byte (no newline) every `every`."""
    with open(path, "wb") as f:
        f.truncate(size)
        for at in range(0, size, every):
            os.pwrite(f.fileno(), b"{", at)


BOUND = 1 << 20  # the longest line read back, its ending not counted


# Address space for the reading window and a parser of ordinary lines, far
# from enough for the parser of a line near the bound.
LIMIT_AS = """
    import resource
    with open("/proc/self/status") as f:
        vm = next(int(l.split()[1]) << 10 for l in f if l.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (vm + (4 << 20), resource.RLIM_INFINITY))
"""

CASES = {
    # name: ({file name: bytes, or a function that makes the file}, code run before the read, ids read back)
    "torn multi-byte character": (
        {LIVE: good("a") + line("torn", note="é")[:-4] + b"\n" + good("b")}, "",
        ["a0", "a1", "a2", "b0", "b1", "b2"]),
    "invalid bytes in an archive": ({ARCHIVE: good("a") + b"\xff\xfe\n" + good("b"), LIVE: good("c", 1)}, "",
                                    ["a0", "a1", "a2", "b0", "b1", "b2", "c0"]),
    "line over the bound": ({LIVE: good("a") + line("long", blob="x" * (3 << 20)) + good("b")}, "",
                            ["a0", "a1", "a2", "b0", "b1", "b2"]),
    "lines at the bound, LF and CRLF alike": (
        {LIVE: line_of("lf", BOUND) + line_of("crlf", BOUND, b"\r\n") + line_of("over", BOUND + 1)
         + line_of("over-crlf", BOUND + 1, b"\r\n") + good("b", 1) + line_of("last", BOUND + 1, b"")}, "",
        ["lf", "crlf", "b0"]),
    "no newline in 3 MiB": ({ARCHIVE: b"{" * (3 << 20), LIVE: good("c", 2)}, "", ["c0", "c1"]),
    "16 GiB sparse archive": ({ARCHIVE: lambda p: sparse(p, 16 << 30), LIVE: good("c", 2)}, "", ["c0", "c1"]),
    "4 GiB archive with a byte every MiB": (
        {ARCHIVE: lambda p: sprinkled(p, 4 << 30), LIVE: good("c", 2)}, "", ["c0", "c1"]),
    "an archive under a second name, hard link": (
        {ARCHIVE: good("a", 2), "worktree-events.2026-02.ndjson": lambda p: os.link(p.parent / ARCHIVE, p),
         LIVE: good("c", 1)}, "", ["a0", "a1", "c0"]),
    "an archive under a second name, symbolic link": (
        {ARCHIVE: good("a", 2), "worktree-events.2026-02.ndjson": lambda p: p.symlink_to(ARCHIVE),
         LIVE: good("c", 1)}, "", ["a0", "a1", "c0"]),
    "sparse hole inside a line": (
        {LIVE: lambda p: (sparse(p, 64 << 20), open(p, "ab").write(b"\n" + good("b")))}, "", ["b0", "b1", "b2"]),
    "NUL bytes": ({LIVE: good("a") + b"\0" * 5000 + b"\n" + line("nul")[:-1] + b"\0\n" + good("b")}, "",
                  ["a0", "a1", "a2", "b0", "b1", "b2"]),
    "timestamps in reverse order": ({LIVE: b"".join(line(f"{i:03}", f"2026-01-01T00:00:00.{i:03}Z")
                                                    for i in reversed(range(300)))}, "",
                                    [f"{i:03}" for i in range(300)]),
    "parser cannot allocate for the first line": (
        {LIVE: line("huge", blob="x" * 1_040_000) + good("b")}, LIMIT_AS, ["b0", "b1", "b2"]),
}

READ = """
import json, _tidemark as t
{setup}
def bytes_read():
    with open("/proc/self/io") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("rchar:"))
before = bytes_read()
ids = [r.correlation_id for r in t.read_records()]
print(json.dumps([ids, bytes_read() - before]))
"""

# Beyond the log's bytes on disk, what the child itself may read meanwhile.
READ_SLACK = 256 << 10


@pytest.mark.parametrize("name", list(CASES))
def test_hostile_logs_leave_the_good_records_readable(name, real_tmp):
    files, setup, expected = CASES[name]
    if setup == LIMIT_AS and "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the sanitizer's allocator aborts on an exhausted address space")
    audit = real_tmp / "shared" / "audit"
    audit.mkdir(parents=True)
    for file_name, content in files.items():
        path = audit / file_name
        content(path) if callable(content) else path.write_bytes(content)
    env = dict(os.environ, PLOWLINE_SHARED_DIR=str(audit.parent))
    code = READ.format(setup=textwrap.dedent(setup))
    child = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert (child.returncode, child.stderr) == (0, "")
    ids, read = json.loads(child.stdout)
    assert ids == expected
    assert read <= sum(p.lstat().st_blocks * 512 for p in audit.iterdir()) + READ_SLACK
