"""The binding store under several processes, killed writers and failed
writes; the interpreter lock around git; reference counting."""

import errno
import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

import _tidemark as t
from gitrepo import add_worktree, committed_repo, slow_git

STORE_REL = ".tessary/state/brackwater/bindings.json"

# A child that upserts `count` bindings tagged `tag` into the store of
# `root`, printing "ready" after the first one.
WRITER = textwrap.dedent("""
    import sys, _tidemark as t
    root, tag, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    store = t.WorktreeBindingStore(main_worktree=root)
    for i in range(count):
        store.upsert(t.WorktreeBinding(f"{tag}-{i}", f"/w/{tag}", "b", "/s", "", root))
        if i == 0:
            print("ready", flush=True)
""")


def spawn(script, *args, **kw):
    return subprocess.Popen([sys.executable, "-c", script, *map(str, args)], **kw)


@pytest.fixture
def main(real_tmp):
    return committed_repo(real_tmp / "repo")


def tmp_files(store_dir):
    return [n for n in os.listdir(store_dir) if n.startswith(".tmp")]


# ---- several processes --------------------------------------------------------------


# Each upsert rewrites the whole store, so the run grows with the square of
# the count; the sanitizer build, many times slower, asks for fewer.
PER_WRITER = int(os.environ.get("TIDEMARK_TEST_PER_WRITER", "200"))


def test_concurrent_writers_lose_nothing_and_readers_see_whole_documents(outside):
    path = outside / STORE_REL
    writers = [spawn(WRITER, outside, f"p{n}", PER_WRITER, stdout=subprocess.DEVNULL) for n in range(8)]
    parsed = 0
    try:
        # Read without the lock the whole time: every rename is atomic, so
        # each read sees one complete document.
        deadline = time.monotonic() + 50
        while any(w.poll() is None for w in writers):
            assert time.monotonic() < deadline, "writers did not finish"
            try:
                text = path.read_text()
            except FileNotFoundError:
                continue
            document = json.loads(text)
            assert document["schema_version"] == 2 and isinstance(document["bindings"], list)
            parsed += 1
    finally:
        for w in writers:
            w.wait(timeout=30)
    assert [w.returncode for w in writers] == [0] * 8
    assert parsed > 0
    ids = [b.session_id for b in t.list_bindings(outside)]
    assert len(ids) == 8 * PER_WRITER
    assert set(ids) == {f"p{n}-{i}" for n in range(8) for i in range(PER_WRITER)}
    assert tmp_files(path.parent) == []


def test_killed_writer_leaves_a_readable_store_and_a_free_lock(outside):
    writer = spawn(WRITER, outside, "k", 100_000, stdout=subprocess.PIPE, text=True)
    try:
        assert writer.stdout.readline() == "ready\n"
        path = outside / STORE_REL
        deadline = time.monotonic() + 20
        while len(json.loads(path.read_text())["bindings"]) < 50:
            assert time.monotonic() < deadline
    finally:
        writer.send_signal(signal.SIGKILL)
        writer.wait(timeout=10)
        writer.stdout.close()
    assert writer.returncode == -signal.SIGKILL
    before = len(json.loads(path.read_text())["bindings"])
    assert before >= 50
    # The next process takes the lock at once; a hang here would be a lock
    # left behind.
    after = subprocess.run([sys.executable, "-c", WRITER, str(outside), "next", "1"], timeout=30,
                           capture_output=True, text=True)
    assert after.returncode == 0, after.stderr
    ids = [b.session_id for b in t.WorktreeBindingStore(main_worktree=outside).list()]
    assert len(ids) == before + 1 and ids[-1] == "next-0"


def test_threads_registering_at_once_lose_nothing(main):
    # register_binding lets the interpreter lock go, so these really run at
    # once; the store lock must exclude threads of one process too.
    errors = []

    def work(n):
        try:
            for i in range(15):
                t.register_binding(session_id=f"t{n}-{i}", worktree=main, branch="main", main_worktree=main)
        except Exception as e:  # reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join(timeout=60)
    assert errors == [] and not any(th.is_alive() for th in threads)
    ids = {b.session_id for b in t.list_bindings(main)}
    assert ids == {f"t{n}-{i}" for n in range(4) for i in range(15)}


FSIZE_CHILD = textwrap.dedent("""
    import resource, signal, sys, _tidemark as t
    root, limit = sys.argv[1], int(sys.argv[2])
    store = t.WorktreeBindingStore(main_worktree=root)
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
    try:
        store.upsert(t.WorktreeBinding("big", "/w", "b" * 20000, "/s", "", root))
    except RuntimeError as e:
        print(e)
    else:
        print("no error")
""")


def test_failed_write_keeps_the_old_file_and_no_temporary(outside):
    store = t.WorktreeBindingStore(main_worktree=outside)
    store.upsert(t.WorktreeBinding("small", "/w", "b", "/s", "", str(outside)))
    path = Path(store.path)
    old = path.read_bytes()
    child = subprocess.run([sys.executable, "-c", FSIZE_CHILD, str(outside), str(len(old) + 2000)],
                           capture_output=True, text=True, timeout=30)
    assert child.returncode == 0, child.stderr
    efbig = f"{os.strerror(errno.EFBIG)} (os error {errno.EFBIG})"
    assert child.stdout == f"WORKTREE_BINDING_STORE_IO: binding store {path}: {efbig}\n"
    assert path.read_bytes() == old
    assert tmp_files(path.parent) == []
    assert [b.session_id for b in store.list()] == ["small"]


# ---- the interpreter lock ---------------------------------------------------------


class Counter(threading.Thread):
    """Counts up while it can get the interpreter lock."""

    def __init__(self):
        super().__init__(daemon=True)
        self.count = 0
        self.stop = threading.Event()

    def run(self):
        while not self.stop.is_set():
            self.count += 1
            time.sleep(0.001)


@pytest.fixture
def linked_slow(main, real_tmp, monkeypatch):
    """A linked worktree with one registered binding, and a git on PATH
    that takes a while to start."""
    linked = add_worktree(main, real_tmp / "wt", "feat")
    t.register_binding(session_id="s", worktree=linked, branch="feat", main_worktree=main)
    bindir = slow_git(real_tmp / "bin", 0.3)
    monkeypatch.setenv("PATH", f"{bindir}{os.pathsep}{os.environ['PATH']}")
    return linked


RELEASING = {
    "register_binding": lambda m, w: t.register_binding(session_id="r", worktree=w, branch="feat",
                                                        main_worktree=m),
    "validate_binding": lambda m, w: t.validate_binding(t.load_binding("s", m)),
    "validate_current_binding": lambda m, w: t.validate_current_binding(main_worktree=m, session_id="s",
                                                                        cwd=w, check_git=True),
    "recover_binding": lambda m, w: t.recover_binding("s2", m),
    "resolve_git_worktree": lambda m, w: t.resolve_git_worktree(str(w)),
}


@pytest.mark.parametrize("name", list(RELEASING))
def test_other_threads_run_while_git_runs(main, linked_slow, name):
    if name == "recover_binding":
        meta = main / ".tessary/state/plowline/sessions/s2/metadata.json"
        meta.parent.mkdir(parents=True)
        meta.write_text(json.dumps({"worktree_path": str(linked_slow), "branch": "feat"}))
    counter = Counter()
    counter.start()
    try:
        call = RELEASING[name]
        before = counter.count
        result = call(main, linked_slow)
        during = counter.count - before
    finally:
        counter.stop.set()
        counter.join(timeout=5)
    assert result is not None and getattr(result, "ok", True)
    # Holding the interpreter lock through ~0.3 s of git per run would
    # leave the counter at most a step or two further.
    assert during > 20, during
