"""The audit log under real processes: concurrent writers across a rotation,
a writer killed while it holds the lock, a write cut short by a file-size
limit, the torn tail a writer killed mid-line leaves."""

import fcntl
import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import _tidemark as t

LIVE = "worktree-events.ndjson"
THRESHOLD = 10_485_760
PER_WRITER = int(os.environ.get("TIDEMARK_TEST_PER_WRITER", "2000"))

WRITER = textwrap.dedent("""
    import sys, time, _tidemark as t
    tag, count = sys.argv[1], int(sys.argv[2])
    pause = float(sys.argv[3]) if len(sys.argv) > 3 else 0
    for i in range(count):
        t.record_event("k", "b", "/w", "i", "o", correlation_id=f"{tag}-{i}", strict=True)
        if pause:
            time.sleep(pause)
""")


def spawn(script, *args, **kw):
    return subprocess.Popen([sys.executable, "-c", script, *map(str, args)], **kw)


@pytest.fixture
def audit(monkeypatch, real_tmp):
    monkeypatch.setenv("PLOWLINE_SHARED_DIR", str(real_tmp / "shared"))
    path = real_tmp / "shared" / "audit"
    path.mkdir(parents=True)
    return path


def prefill(audit, below):
    """Valid lines in the live file up to just under `below` bytes; their count."""
    one = json.dumps({"timestamp": "2020-01-01T00:00:00Z", "kind": "k", "invoker": "i", "branch": "b",
                      "worktree": "/w", "outcome": "o", "pid": 1, "extra": {"pad": "x" * 300}},
                     separators=(",", ":")) + "\n"
    count = (below - 1) // len(one)
    (audit / LIVE).write_text(one * count)
    return count


def test_eight_writers_across_a_rotation_lose_nothing(audit):
    filled = prefill(audit, THRESHOLD - 2000)
    writers = [spawn(WRITER, f"p{n}", PER_WRITER) for n in range(8)]
    assert all(w.wait(timeout=300) == 0 for w in writers)

    archives = [n for n in os.listdir(audit) if n != LIVE]
    assert len(archives) == 1, archives          # one crossing, one archive
    for name in archives + [LIVE]:               # every line whole: no interleaving
        for text in (audit / name).read_text().splitlines():
            json.loads(text)
    ids = [r.correlation_id for r in t.read_records() if r.correlation_id]
    assert len(ids) == 8 * PER_WRITER and len(set(ids)) == len(ids)
    assert len(t.read_records()) == filled + 8 * PER_WRITER


def test_a_writer_killed_while_holding_the_lock_leaves_a_usable_log(audit):
    holder = spawn(textwrap.dedent(f"""
        import fcntl, time
        f = open({str(audit / LIVE)!r}, "a")
        fcntl.flock(f, fcntl.LOCK_EX)
        print("locked", flush=True)
        time.sleep(600)
    """), stdout=subprocess.PIPE, text=True)
    assert holder.stdout.readline() == "locked\n"
    waiting = spawn(WRITER, "waiting", 1)
    time.sleep(0.3)
    assert waiting.poll() is None                # blocked on the lock
    holder.send_signal(signal.SIGKILL)
    holder.wait()
    assert waiting.wait(timeout=30) == 0
    t.record_event("k", "b", "/w", "i", "o", correlation_id="after", strict=True)
    assert [r.correlation_id for r in t.read_records()] == ["waiting-0", "after"]


def test_a_write_cut_short_leaves_no_partial_line(audit):
    t.record_event("k", "b", "/w", "i", "o", correlation_id="before", strict=True)
    size = (audit / LIVE).stat().st_size
    child = subprocess.run([sys.executable, "-c", textwrap.dedent(f"""
        import resource, signal, _tidemark as t
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, ({size} + 100, resource.RLIM_INFINITY))
        try:
            t.record_event("k", "b", "/w", "i", "o", correlation_id="cut", strict=True)
        except RuntimeError as e:
            print(e)
    """)], capture_output=True, text=True)
    assert child.stdout == "WORKTREE_AUDIT_WRITE_FAILED: write: File too large (os error 27)\n"
    assert child.stderr == "[WORKTREE-AUDIT-FAILOPEN] write: File too large (os error 27)\n"
    assert (audit / LIVE).stat().st_size == size
    t.record_event("k", "b", "/w", "i", "o", correlation_id="next", strict=True)
    assert [r.correlation_id for r in t.read_records()] == ["before", "next"]


TAILS = {
    # name: (where the live file is cut, in two whole lines whose second holds "é"s; what is read back after)
    "empty": (lambda data: 0, ["next"]),
    "ending in a line feed": (len, ["kept", "torn", "next"]),
    "a whole record without its line feed": (lambda data: len(data) - 1, ["kept", "torn", "next"]),
    "torn between characters": (lambda data: data.rindex("é".encode()), ["kept", "next"]),
    "torn inside a character": (lambda data: data.rindex("é".encode()) + 1, ["kept", "next"]),
    "torn after one byte": (lambda data: data.index(b"\n") + 2, ["kept", "next"]),
}


@pytest.mark.parametrize("name", list(TAILS))
def test_an_event_after_a_torn_tail_is_read_back(audit, name):
    """A writer killed mid-line leaves a fragment without a line feed: the
    next line is set apart from it, every byte before it is kept, so is every
    record read before, and a file without a fragment gets the line and
    nothing else."""
    cut, expected = TAILS[name]
    for cid, note in (("kept", "a"), ("torn", "é" * 9)):
        t.record_event("k", "b", "/w", "i", "o", correlation_id=cid, extra={"note": note}, strict=True)
    data = (audit / LIVE).read_bytes()
    left = data[:cut(data)]
    (audit / LIVE).write_bytes(left)
    read_before = [r.correlation_id for r in t.read_records()]
    t.record_event("k", "b", "/w", "i", "o", correlation_id="next", strict=True)
    after = (audit / LIVE).read_bytes()
    assert after.startswith(left)
    if left.endswith(b"\n") or not left:
        assert after[len(left):].count(b"\n") == 1
    assert [r.correlation_id for r in t.read_records()] == expected == read_before + ["next"]


def holds_open(pid, path):
    """Whether process `pid` has `path` open."""
    fd_dir = f"/proc/{pid}/fd"
    for fd in os.listdir(fd_dir):
        try:
            if os.readlink(f"{fd_dir}/{fd}") == str(path):
                return True
        except FileNotFoundError:  # closed meanwhile
            pass
    return False


def test_a_writer_that_waited_while_the_live_file_went_away_writes_where_it_is_read(audit):
    """The live file renamed away and deleted while a writer waits for its
    lock: the writer's event is read back, or the writer fails."""
    held = open(audit / LIVE, "ab")
    fcntl.flock(held, fcntl.LOCK_EX)
    writer = spawn(WRITER, "waited", 1, stderr=subprocess.PIPE, text=True)
    while not holds_open(writer.pid, audit / LIVE):
        assert writer.poll() is None, writer.stderr.read()
    os.rename(audit / LIVE, audit / "moved")
    os.unlink(audit / "moved")
    held.close()
    failed = writer.wait(timeout=30) != 0
    assert failed or [r.correlation_id for r in t.read_records()] == ["waited-0"]


def test_archives_dated_ahead_cost_no_event_the_next_rotation_archives(audit):
    ahead = time.time() + 3600
    for month in ("2026-01", "2026-02", "2026-03"):
        with open(audit / f"worktree-events.{month}.ndjson", "wb") as f:
            f.truncate(70 << 20)
        os.utime(audit / f"worktree-events.{month}.ndjson", (ahead, ahead))
    with open(audit / LIVE, "wb") as f:
        f.truncate(THRESHOLD)
    for cid in ("rotated", "after"):
        t.record_event("k", "b", "/w", "i", "o", correlation_id=cid, strict=True)
    assert [r.correlation_id for r in t.read_records()] == ["rotated", "after"]


FILLER = textwrap.dedent("""
    import fcntl, os, sys, time, _tidemark as t
    audit, rotations, threshold = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    live = os.path.join(audit, "worktree-events.ndjson")
    # One line that no reader takes brings the live file near the threshold,
    # so that the next append rotates it.
    archives = lambda: [n for n in os.listdir(audit) if n.endswith(".ndjson") and n != "worktree-events.ndjson"]
    while len(archives()) < rotations:
        with open(live, "ab") as f:
            fcntl.flock(f, fcntl.LOCK_EX)
            size = os.fstat(f.fileno()).st_size
            if os.stat(live).st_ino == os.fstat(f.fileno()).st_ino and size < threshold // 2:
                f.write(b"{" + b" " * (threshold - 100 - size) + b"}\\n")
        t.record_event("k", "b", "/w", "i", "o", correlation_id=f"fill-{time.monotonic()}", strict=True)
        time.sleep(0.3)     # rotations spread over the readers' time
""")

READER = textwrap.dedent("""
    import json, sys, time, _tidemark as t
    reads, until = [], time.monotonic() + float(sys.argv[1])
    while time.monotonic() < until:
        began = time.monotonic()
        ids = [r.correlation_id for r in t.read_records()]
        reads.append((began, time.monotonic(), len(ids), len(set(ids))))
    print(json.dumps(reads))
""")


def test_reads_during_rotations_see_every_earlier_record_once(audit):
    (audit / LIVE).write_bytes(b"{" + b" " * (THRESHOLD - 3000) + b"}\n")
    filler = spawn(FILLER, audit, 8, THRESHOLD)     # 80 MiB of archives: none pruned
    readers = [spawn(READER, 4, stdout=subprocess.PIPE) for _ in range(3)]
    writers = [spawn(WRITER, f"p{n}", 3000, 0.001) for n in range(4)]
    reads = [read for r in readers for read in json.loads(r.communicate(timeout=120)[0])]
    assert all(w.wait(timeout=120) == 0 for w in writers) and filler.wait(timeout=120) == 0
    assert len(os.listdir(audit)) == 9                             # the live file and 8 archives
    assert all(count == unique for _, _, count, unique in reads)   # no record twice
    for began, _, count, _ in reads:
        assert count >= max((c for _, ended, c, _ in reads if ended < began), default=0)
    ids = [r.correlation_id for r in t.read_records()]
    assert len(set(ids)) == len(ids) and {f"p{n}-{i}" for n in range(4) for i in range(3000)} <= set(ids)
