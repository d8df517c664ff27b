"""Files planted where the module reads, and processes that misbehave around
it: every call answers with an exception or a value, quickly, and never
crashes, hangs or loses what is stored.

Each hostile file is tried in a child interpreter with a time limit, so a
crash or a hang fails its case instead of the whole run."""

import fcntl
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import _tidemark as t
from conftest import git
from gitrepo import committed_repo

STORE_REL = ".tessary/state/brackwater/bindings.json"
CHILD_TIMEOUT = 60

# Runs one expression against `root` and prints what came of it.
CALL = textwrap.dedent("""
    import sys, _tidemark as t
    root = sys.argv[1]
    b = t.WorktreeBinding("s", "/w", "b", "/s", "", root)
    try:
        print("ok", repr(eval(sys.argv[2])))
    except Exception as e:
        print(type(e).__name__, e)
""")


def in_child(root, expression):
    """What `expression` gave in a fresh interpreter: 'ok <repr>' or
    '<exception type> <text>'."""
    try:
        done = subprocess.run([sys.executable, "-c", CALL, str(root), expression],
                              capture_output=True, text=True, timeout=CHILD_TIMEOUT)
    except subprocess.TimeoutExpired:
        pytest.fail(f"{expression} hung")
    assert done.returncode == 0, f"{expression} died: {done.returncode} {done.stderr[-2000:]}"
    return done.stdout.strip()


def dotted(parts):
    return ".".join(["a"] * parts)


def fifo(path):
    os.mkfifo(path)


def dev_zero(path):
    os.symlink("/dev/zero", path)


def writes(data):
    return lambda path: path.write_bytes(data)


STORE_CALLS = ("t.list_bindings(root)", "t.load_binding('s', root)", "t.remove_binding('s', root)",
               "t.WorktreeBindingStore(main_worktree=root).upsert(b)")
PROJECT_CALLS = ("t.resolve_project_id(root)", "t.state_dir(root)", "t.WorktreeBindingStore(main_worktree=root)")

IO = "RuntimeError WORKTREE_BINDING_STORE_IO: binding store {file}: "
CORRUPT = "RuntimeError WORKTREE_BINDING_STORE_CORRUPT: binding store {file} is not valid JSON: "
UNREADABLE = "WORKTREE_PROJECT_CONFIG_UNREADABLE: pyproject.toml at {file} could not be "

# (id, file planted, how, the calls, what each call must answer)
CASES = [
    ("store-fifo", STORE_REL, fifo, STORE_CALLS, IO + "not a regular file"),
    ("store-dev-zero", STORE_REL, dev_zero, STORE_CALLS, IO + "not a regular file"),
    ("store-deep", STORE_REL, writes(b'{"bindings": [], "x": ' + b"[" * 100_000 + b"]" * 100_000 + b"}"),
     STORE_CALLS[:1] + STORE_CALLS[2:], CORRUPT + "nesting deeper than 512 levels at line 1 column 534"),
    ("store-nul-trailer", STORE_REL, writes(b'{"bindings": []}\0{"x": 1}'), STORE_CALLS,
     CORRUPT + "unexpected NUL byte after the value at line 1 column 17"),
    ("store-cut-character", STORE_REL, writes("[\uff11]".encode()), STORE_CALLS[:1],
     CORRUPT + "syntax error while parsing value - invalid literal; last read: '[\ufffd' at line 1 column 2"),
    ("pyproject-fifo", "pyproject.toml", fifo, PROJECT_CALLS, UNREADABLE + "read: not a regular file"),
    ("pyproject-dev-zero", "pyproject.toml", dev_zero, PROJECT_CALLS, UNREADABLE + "read: not a regular file"),
    ("pyproject-deep-key", "pyproject.toml", writes(f"{dotted(40_000)} = 1\n".encode()), PROJECT_CALLS,
     UNREADABLE + "parsed: tables nested deeper than 256 levels at line 1, column 513"),
    ("pyproject-deep-header", "pyproject.toml", writes(f"[{dotted(100_000)}]\n".encode()), PROJECT_CALLS,
     UNREADABLE + "parsed: tables nested deeper than 256 levels at line 1, column 514"),
    ("metadata-fifo", ".tessary/state/plowline/sessions/s/metadata.json", fifo,
     ("t.recover_binding('s', root)",), "ok None"),
]


@pytest.mark.parametrize("name, rel, plant, calls, expected", CASES, ids=[c[0] for c in CASES])
def test_hostile_file(outside, name, rel, plant, calls, expected):
    target = outside / rel
    target.parent.mkdir(parents=True, exist_ok=True)
    plant(target)
    before = target.read_bytes() if target.is_file() and not target.is_symlink() else None
    for call in calls:
        got = in_child(outside, call)
        if expected.startswith("WORKTREE_PROJECT"):
            got = got.split(" ", 1)[1]  # the project error's Python class is another Part's business
        assert got == expected.format(file=target), call
    if before is not None:
        assert target.read_bytes() == before, "a refused document must be left as it was"


# ---- links a repository carries ------------------------------------------------------

AUDIT_REL = ".tessary/shared/audit"
RECORD = "t.record_event('k', 'feature/$(id>/tmp/x)', '/w', 'i', 'o', strict=True)"
REGISTER = "t.register_binding(session_id='s', worktree=root, branch='main', main_worktree=root)"
AUDIT_FAILED = "RuntimeError WORKTREE_AUDIT_WRITE_FAILED: {stage}: {link}: a symbolic link, which is not followed"
STORE_FAILED = "RuntimeError WORKTREE_BINDING_STORE_IO: binding store {file}: {link}: a symbolic link, which is not followed"

# (link committed in the repository, its target in the victim's directory, the calls and the stage of each)
LINKS = [
    (AUDIT_REL + "/worktree-events.ndjson", "bashrc", {RECORD: "open"}),
    (AUDIT_REL + "/worktree-events.ndjson", "nologin", {RECORD: "open"}),  # dangling: not made either
    (AUDIT_REL, ".", {RECORD: "mkdir"}),
    (".tessary/shared", ".", {RECORD: "mkdir"}),
    (".tessary", ".", {RECORD: "mkdir", REGISTER: None}),
    (".tessary/state", ".", {REGISTER: None}),
    (".tessary/state/brackwater", ".", {REGISTER: None}),
    (STORE_REL + ".lock", "bashrc", {REGISTER: None}),
]


@pytest.mark.parametrize("rel, target, calls", LINKS, ids=[f"{c[0]}->{c[1]}" for c in LINKS])
def test_links_a_cloned_repository_carries_are_not_written_through(real_tmp, rel, target, calls):
    victim = real_tmp / "victim"
    victim.mkdir()
    (victim / "bashrc").write_text("alias ls='ls -F'\n")
    origin = committed_repo(real_tmp / "origin")
    (origin / rel).parent.mkdir(parents=True, exist_ok=True)
    (origin / rel).symlink_to(victim / target)
    git(origin, "add", "-A")
    git(origin, "commit", "-q", "-m", "links")
    clone = real_tmp / "clone"
    git(real_tmp, "clone", "-q", str(origin), str(clone))
    assert (clone / rel).is_symlink()
    before = sorted((p.name, p.read_bytes()) for p in victim.iterdir())
    for call, stage in calls.items():
        done = subprocess.run([sys.executable, "-c", CALL, str(clone), call], cwd=clone, capture_output=True,
                              text=True, timeout=CHILD_TIMEOUT)
        if stage is None:
            expected = STORE_FAILED.format(file=clone / (rel if rel.endswith(".lock") else STORE_REL), link=clone / rel)
        else:
            expected = AUDIT_FAILED.format(stage=stage, link=clone / rel)
        assert done.stdout.strip() == expected, call
    assert sorted((p.name, p.read_bytes()) for p in victim.iterdir()) == before


def test_blank_registration_fields_are_refused_and_nothing_is_written(real_tmp):
    main = committed_repo(real_tmp / "repo")
    for kw, field in (({"state_path": ""}, "state_path"), ({"state_path": " \u3000"}, "state_path"),
                      ({"main_worktree": ""}, "main_worktree")):
        args = {"session_id": "s", "worktree": str(main), "branch": "main", "main_worktree": str(main), **kw}
        got = in_child(main, f"t.register_binding(**{args!r})")
        assert got == f"ValueError WORKTREE_BINDING_FIELD_MISSING: missing required worktree binding field: {field}"
    assert not (main / STORE_REL).exists()


# ---- processes and signals ------------------------------------------------------------


HOLD_LOCK = textwrap.dedent("""
    import fcntl, sys, time
    with open(sys.argv[1], "a") as f:
        fcntl.flock(f, fcntl.LOCK_EX)
        print("locked", flush=True)
        time.sleep(float(sys.argv[2]))
""")


def test_signals_while_waiting_for_the_store_lock(outside):
    """Python's handlers are installed without SA_RESTART: each SIGALRM
    interrupts the flock wait, which must simply go on."""
    store = t.WorktreeBindingStore(main_worktree=outside)
    store.upsert(t.WorktreeBinding("s", "/w", "b", "/s", "", str(outside)))
    holder = subprocess.Popen([sys.executable, "-c", HOLD_LOCK, f"{store.path}.lock", "1.0"],
                              stdout=subprocess.PIPE, text=True)
    alarms = []
    old = signal.signal(signal.SIGALRM, lambda *_: alarms.append(1))
    try:
        assert holder.stdout.readline() == "locked\n"
        signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
        started = time.monotonic()
        found = store.list()
        waited = time.monotonic() - started
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
        holder.wait(CHILD_TIMEOUT)
    assert [b.session_id for b in found] == ["s"]
    assert waited > 0.5 and alarms, "the call must have waited through signals"


FORK_WHILE_RESOLVING = textwrap.dedent("""
    import os, sys, threading, time, _tidemark as t
    dirs, other = sys.argv[1:-1], sys.argv[-1]
    started = threading.Event()

    def resolve():
        # recover_binding releases the interpreter lock and resolves the
        # project id of each directory, holding the cache mutex while it
        # parses that directory's (large) pyproject.toml.
        for d in dirs:
            started.set()
            t.recover_binding("s", d)

    worker = threading.Thread(target=resolve)
    worker.start()
    started.wait()
    time.sleep(0.3)  # well into the resolutions, most of which is parsing
    pid = os.fork()
    if pid == 0:
        os._exit(0 if t.resolve_project_id(other) == "tessary" else 3)
    deadline = time.monotonic() + 20
    while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
        time.sleep(0.01)
    if done[0] == 0:  # stuck: leave nothing behind
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        print("child hung")
    else:
        print(os.waitstatus_to_exitcode(done[1]))
    worker.join()
""")


@pytest.mark.slow
def test_fork_while_another_thread_resolves_a_project_id(real_tmp):
    big = real_tmp / "big.toml"
    big.write_text("".join(f"key{i} = {i}\n" for i in range(200_000)))
    dirs = []
    for i in range(6):
        d = real_tmp / f"d{i}"
        d.mkdir()
        os.link(big, d / "pyproject.toml")
        dirs.append(str(d))
    other = real_tmp / "other"
    other.mkdir()
    for _ in range(3):
        done = subprocess.run([sys.executable, "-W", "ignore", "-c", FORK_WHILE_RESOLVING, *dirs, str(other)],
                              capture_output=True, text=True, timeout=CHILD_TIMEOUT)
        assert (done.returncode, done.stdout) == (0, "0\n"), done.stderr[-2000:]
