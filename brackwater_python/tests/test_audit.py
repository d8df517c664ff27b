"""The audit log from Python: record_event, read_records, AuditRecord, and
what the reader makes of bad files and lines."""

import datetime as dt
import json
import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

import _tidemark as t
from fuse_file import fuse_file
from test_interrupted_lock_waits import CTRL_C_RAISES

LIVE = "worktree-events.ndjson"


@pytest.fixture
def audit(monkeypatch, real_tmp):
    """The audit directory, under a shared directory named by the environment."""
    monkeypatch.setenv("PLOWLINE_SHARED_DIR", str(real_tmp / "shared"))
    return real_tmp / "shared" / "audit"


def line(ts="2026-01-02T03:04:05Z", branch="main", **fields):
    record = {"timestamp": ts, "kind": "k", "invoker": "i", "branch": branch, "worktree": "/w",
              "outcome": "o", "pid": 1, **fields}
    return json.dumps(record, separators=(",", ":"))


def write_log(audit, name, text):
    audit.mkdir(parents=True, exist_ok=True)
    data = text.encode() if isinstance(text, str) else text
    (audit / name).write_bytes(data)


def event(**kw):
    t.record_event("worktree_remove", kw.pop("branch", "feature/x"), "/wt", "raw_git", "success", **kw)


DIRS = {
    # name: (environment, with "{tmp}" and "{home}" filled in; where the log lands)
    "shared dir, blanks and ~": ({"PLOWLINE_SHARED_DIR": "  ~/sh \t"}, "{home}/sh/audit"),
    "blank shared dir skipped": ({"PLOWLINE_SHARED_DIR": "  ", "TESSARY_SHARED_DIR": "{tmp}/t"}, "{tmp}/t/audit"),
    "project root through a link": ({"TESSARY_PROJECT_ROOT": "{tmp}/link"}, "{tmp}/target/.alpha/shared/audit"),
    "missing project root": ({"TESSARY_PROJECT_ROOT": " {tmp}/nope "}, "{tmp}/nope/.tessary/shared/audit"),
    "current directory": ({}, "{tmp}/cwd/.tessary/shared/audit"),
}


@pytest.mark.parametrize("name", list(DIRS))
def test_where_the_log_lives(monkeypatch, real_tmp, isolated_env, name):
    env, expected = DIRS[name]
    (real_tmp / "target").mkdir()
    (real_tmp / "target" / "pyproject.toml").write_text("[tool.plowline]\nproject_id = 'alpha'\n")
    (real_tmp / "link").symlink_to(real_tmp / "target")
    (real_tmp / "cwd").mkdir()
    monkeypatch.chdir(real_tmp / "cwd")
    for key, value in env.items():
        monkeypatch.setenv(key, value.format(tmp=real_tmp, home=isolated_env))
    t.record_event("k", "b", "/w", "i", "o", strict=True)
    assert Path(expected.format(tmp=real_tmp, home=isolated_env), LIVE).is_file()
    assert len(t.read_records()) == 1


def test_round_trip_and_the_record_class(audit):
    event(session_id="s", elapsed_ms=True, correlation_id="c", extra={"b": [1, 2], "a": {"y": 1, "x": None}})
    event(branch="main", extra=None)
    first, second = records = t.read_records()
    assert type(records) is tuple
    assert (first.kind, first.branch, first.worktree, first.invoker, first.outcome) == \
        ("worktree_remove", "feature/x", "/wt", "raw_git", "success")
    assert (first.session_id, first.elapsed_ms, first.correlation_id, first.pid, first.parent_pid) == \
        ("s", 1, "c", os.getpid(), os.getppid())
    assert (first.schema_version, first.cwd, first.truncated) == ("v2", os.getcwd(), False)
    assert list(first.extra) == ["a", "b"] and first.extra == {"a": {"x": None, "y": 1}, "b": [1, 2]}
    assert first.extra is not first.extra
    assert second.extra is None and second.to_dict()["extra"] is None and second.session_id is None
    d = first.to_dict()
    assert list(d) == sorted(d) and len(d) == 16
    assert repr(second) == f"AuditRecord(kind=worktree_remove, branch=main, outcome=success, timestamp={second.timestamp})"
    with pytest.raises(TypeError):
        t.AuditRecord()
    with pytest.raises(AttributeError):
        first.kind = "x"


@pytest.mark.parametrize("kw, exc, text", [
    ({"elapsed_ms": "5"}, TypeError, "'str' object is not an instance of 'int'"),
    ({"elapsed_ms": 2**63}, OverflowError, None),
    ({"extra": object()}, TypeError, None),
    ({"extra": {"n": float("nan")}}, ValueError, None),
    ({"strict": 1}, TypeError, "'int' object is not an instance of 'bool'"),
])
def test_record_event_argument_errors_write_nothing(audit, kw, exc, text):
    with pytest.raises(exc) as info:
        event(**kw)
    if text:
        assert str(info.value) == text
    assert not (audit / LIVE).exists()


@pytest.mark.parametrize("value, exc, text", [
    ("2026-01-01", TypeError, "expected a datetime.datetime"),
    (dt.date(2026, 1, 2), ValueError, "unparseable datetime: 2026-01-02"),
])
def test_read_records_bound_errors(audit, value, exc, text):
    with pytest.raises(exc, match=f"^{text}$"):
        t.read_records(since=value)


def test_filters_bounds_and_order(audit):
    write_log(audit, "worktree-events.2026-01.ndjson", "\n".join([
        line("2026-01-02T03:04:05Z", correlation_id="archive"),
        line("2026-01-02T03:04:05.500Z"),
        line("2026-01-02T05:04:06+02:00", branch=""),   # 03:04:06 UTC, sorted by its text
    ]) + "\n")
    write_log(audit, LIVE, line("2026-01-02T03:04:05Z", correlation_id="live") + "\n"
              + line("yesterday") + "\n" + line("2026-01-02T03:04:07Z", branch="Main") + "\n")
    texts = [(r.timestamp, r.correlation_id) for r in t.read_records()]
    assert texts == [("2026-01-02T03:04:05.500Z", None), ("2026-01-02T03:04:05Z", "archive"),
                     ("2026-01-02T03:04:05Z", "live"), ("2026-01-02T03:04:07Z", None),
                     ("2026-01-02T05:04:06+02:00", None)]
    assert [r.branch for r in t.read_records(branch="")] == [""]
    assert t.read_records(branch="main", worktree="/other") == ()
    at = dt.datetime(2026, 1, 2, 3, 4, 6, tzinfo=dt.timezone.utc)
    assert [r.branch for r in t.read_records(since=at, until=at)] == [""]   # both bounds inclusive
    naive = dt.datetime(2026, 1, 2, 3, 4, 5, 600000)
    assert len(t.read_records(since=naive)) == 2
    assert len(t.read_records(until=dt.datetime(1, 1, 1))) == 0


def test_filters_match_values_however_they_are_written(audit):
    def wrote(tag, members):   # members: JSON text standing for the branch member
        return line(correlation_id=tag, branch="B").replace('"branch":"B"', members)

    write_log(audit, LIVE, "\n".join([
        wrote("plain", '"branch":"fé/3"'),
        wrote("escaped", '"branch":"f\\u00e9\\/3"'),
        wrote("elsewhere", '"branch":"main","cwd":"fé/3"'),
        wrote("twice, last", '"branch":"x","branch":"fé/3"'),
        wrote("twice, first", '"branch":"fé/3","branch":"x"'),
        wrote("longer", '"branch":"fé/33"'),
        wrote("quote", '"branch":"a\\"b"'),
        line(correlation_id="by path", worktree=None).replace('"worktree":null', '"worktree_path":"/w\\/p"'),
    ]) + "\n")
    assert [r.correlation_id for r in t.read_records(branch="fé/3")] == \
        ["plain", "escaped", "twice, last"]
    assert [r.correlation_id for r in t.read_records(branch='a"b')] == ["quote"]
    assert [r.correlation_id for r in t.read_records(worktree="/w/p")] == ["by path"]


BAD_LINES = {
    "blank": "",
    "spaces": "   \t",
    "array": "[1, 2]",
    "number": "12",
    "cut": line()[:40],
    "trailing": line() + " x",
    "pid as float": line(pid=12.0),
    "missing kind": line().replace('"kind"', '"kinds"'),
    "bad timestamp": line("2026-02-30T00:00:00Z"),
}


def test_unusable_lines_are_skipped_and_their_neighbours_kept(audit):
    good = [line(correlation_id=str(i)) for i in range(len(BAD_LINES) + 1)]
    mixed = [x for pair in zip(good, list(BAD_LINES.values()) + [""]) for x in pair]
    big = line(correlation_id="big", extra={"blob": "x" * (1 << 19)})   # longer than one read
    text = "\r\n".join(mixed) + "\n\u3000" + big + "\u2028\n" + line(correlation_id="last")   # no final newline
    write_log(audit, LIVE, text)
    assert [r.correlation_id for r in t.read_records()] == \
        [str(i) for i in range(len(good))] + ["big", "last"]


def test_files_that_cannot_be_used_are_skipped_whole(audit):
    # An invalid byte costs its own line only (hostile logs: test_audit_hostile.py).
    write_log(audit, "worktree-events.2026-01.ndjson", line(correlation_id="a").encode() + b"\n\xff\n")
    os.mkfifo(audit / "worktree-events.2026-02.ndjson")
    (audit / "worktree-events.2026-03.ndjson").mkdir()
    write_log(audit, LIVE, line(correlation_id="live") + "\n")
    assert [r.correlation_id for r in t.read_records()] == ["a", "live"]


def test_reading_and_reaping_without_a_directory_create_nothing(audit):
    assert t.read_records() == ()
    assert t.reap_rotation_sentinel() is None
    assert not audit.parent.exists()


def test_a_long_line_is_capped_and_a_secret_looking_extra_still_warns(audit, capfd):
    event(elapsed_ms=5, extra={"note": "my PassWord", "api_key": "x" * 5000})
    (r,) = t.read_records()
    assert (r.truncated, r.extra, r.elapsed_ms) == (True, None, 5)
    assert capfd.readouterr().err == '[WORKTREE-AUDIT-SUSPICIOUS-EXTRA] keys=["api_key", "note"]\n'
    for harmless in (["token"], "secret", {"note": "fine"}):
        event(extra=harmless)
    assert capfd.readouterr().err == ""


def _fail_child(setup, strict):
    """Runs record_event in a child after `setup`; gives (stderr, exception text)."""
    script = textwrap.dedent(f"""
        import os, resource, sys, _tidemark as t
        {CTRL_C_RAISES}
        branch = "b"
        {setup}
        try:
            t.record_event("k", branch, "w", "i", "o", strict={strict})
            print("ok")
        except RuntimeError as e:
            print(e)
        except KeyboardInterrupt:
            print("KeyboardInterrupt")
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True, timeout=60)
    return done.stderr, done.stdout.strip()


def _tree(path):
    """Every name under `path` and the bytes of each regular file."""
    if not path.exists():
        return None
    return sorted((p.relative_to(path), p.read_bytes() if p.is_file() and not p.is_symlink() else None)
                  for p in path.rglob("*"))


STRANGER = 54321  # a uid no one uses


def _planted(audit):
    """A live file holding one record, in a fresh audit directory."""
    audit.mkdir(parents=True)
    (audit / LIVE).write_text(line() + "\n")
    return audit / LIVE


def _descriptors_left(n):
    """Child setup code that leaves exactly n descriptors free."""
    return textwrap.dedent(f"""
        fd = os.open("/dev/null", os.O_RDONLY); os.close(fd)
        resource.setrlimit(resource.RLIMIT_NOFILE, (fd + {n}, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
    """).replace("\n", "\n        ")


FAULTS = {
    # name: (prepare(tmp, audit) -> child setup code, stage: message)
    "mkdir": (lambda tmp, audit: (tmp / "shared").write_text("a file") or "",
              "mkdir: File exists (os error 17)"),
    "open: live path is a directory": (lambda tmp, audit: (audit / LIVE).mkdir(parents=True) or "",
                                       "open: Is a directory (os error 21)"),
    "open: live path is a FIFO": (lambda tmp, audit: audit.mkdir(parents=True) or os.mkfifo(audit / LIVE) or "",
                                  "open: not a regular file"),
    "open: live path links to /dev/null": (
        lambda tmp, audit: audit.mkdir(parents=True) or os.symlink("/dev/null", audit / LIVE) or "",
        "open: {audit}/worktree-events.ndjson: a symbolic link, which is not followed"),
    # One for the audit directory, which the walk to it opens from its parent.
    "mkdir: no descriptor left": (
        lambda tmp, audit: audit.mkdir(parents=True) or _descriptors_left(1),
        "mkdir: Too many open files (os error 24)"),
    # Nothing of another user's is written into, nor is a file with a second name.
    "mkdir: shared directory another user owns": (
        lambda tmp, audit: (tmp / "shared").mkdir() or os.chown(tmp / "shared", STRANGER, STRANGER) or "",
        "mkdir: {audit.parent}: owned by uid 54321, neither this user nor root"),
    "mkdir: audit directory another user owns": (
        lambda tmp, audit: audit.mkdir(parents=True) or os.chown(audit, STRANGER, STRANGER) or "",
        "mkdir: {audit}: owned by uid 54321, neither this user nor root"),
    "open: live file another user owns": (
        lambda tmp, audit: os.chown(_planted(audit), STRANGER, STRANGER) or "",
        "open: {audit}/worktree-events.ndjson: owned by uid 54321, neither this user nor root"),
    "open: live file with a second name": (
        lambda tmp, audit: os.link(_planted(audit), tmp / "root-only") or "",
        "open: {audit}/worktree-events.ndjson: a file with a second name (hard link)"),
    # The cap leaves the branch whole: such a line would be written and never read.
    "size: a 2 MiB branch": (lambda tmp, audit: audit.mkdir(parents=True) or "branch = 'x' * (2 << 20)",
                             "size: line longer than 1048576 bytes, which readers skip"),
}


@pytest.mark.parametrize("name", list(FAULTS))
@pytest.mark.parametrize("strict", [False, True])
def test_writer_fault_paths(audit, real_tmp, name, strict):
    prepare, detail = FAULTS[name]
    setup = prepare(real_tmp, audit)
    detail = detail.format(audit=audit)
    before = _tree(audit)
    err, out = _fail_child(setup, strict)
    assert err == f"[WORKTREE-AUDIT-FAILOPEN] {detail}\n"
    assert out == (f"WORKTREE_AUDIT_WRITE_FAILED: {detail}" if strict else "ok")
    assert _tree(audit) == before


@pytest.mark.parametrize("sig, out, lines", [(None, "ok", 1), (signal.SIGINT, "KeyboardInterrupt", 0)])
def test_an_open_a_signal_interrupts_is_retried_unless_a_handler_raises(audit, real_tmp, sig, out, lines):
    """A file system in user space or over a network answers an open with
    EINTR when a signal comes in: the open goes on, as Python's own open does,
    unless the signal's handler raised; then nothing is written."""
    with fuse_file(audit, failing_opens=1, signal_opener=sig, name=LIVE) as f:
        assert _fail_child("", True) == ("", out)
        assert f.opens_failed == 1
        assert [json.loads(x)["branch"] for x in f.data.splitlines()] == ["b"] * lines




def _dated(seconds):
    def plant(path):
        path.touch()
        os.utime(path, (time.time() + seconds,) * 2)
    return plant


def _full_directory(path):
    path.mkdir()
    (path / "x").touch()


SENTINELS = {
    # name: (what is planted at the sentinel's path, child setup, rotated, what follows the tag on stderr)
    "an hour ahead": (_dated(3600), "", True, None),
    "five seconds ahead": (_dated(5), "", False, None),
    "empty directory": (Path.mkdir, "", True, None),
    "dangling link": (lambda p: p.symlink_to(p.parent / "missing"), "", True, None),
    "directory that cannot be removed": (_full_directory, "", False, "reap: {s}: Directory not empty (os error 39)"),
    "cannot be created": (lambda p: None, _descriptors_left(2), False,
                          "rotate: {s}: Too many open files (os error 24)"),
}


@pytest.mark.parametrize("name", list(SENTINELS))
def test_what_a_sentinel_does_to_a_rotation_that_is_due(audit, name):
    plant, setup, rotated, detail = SENTINELS[name]
    audit.mkdir(parents=True)
    with open(audit / LIVE, "wb") as f:
        f.truncate(10 * 1024 * 1024)
    sentinel = audit / (LIVE + ".rotating")
    plant(sentinel)
    err, out = _fail_child(setup, True)
    assert out == "ok"
    assert err == ("" if detail is None else f"[WORKTREE-AUDIT-FAILOPEN] {detail.format(s=sentinel)}\n")
    assert bool(list(audit.glob("worktree-events.*.ndjson"))) == rotated


def test_unresolvable_project_fails_silently(monkeypatch, real_tmp, capfd):
    (real_tmp / "pyproject.toml").write_text("[tool.plowline]\nproject_id = 'Bad Id'\n")
    monkeypatch.setenv("TESSARY_PROJECT_ROOT", str(real_tmp))
    assert t.record_event("k", "b", "w", "i", "o") is None
    with pytest.raises(RuntimeError, match="^WORKTREE_AUDIT_WRITE_FAILED: project_id: PROJECT_ID_INVALID: "):
        t.record_event("k", "b", "w", "i", "o", strict=True)
    assert capfd.readouterr().err == ""
    assert not (real_tmp / ".tessary").exists() and t.read_records() == ()
