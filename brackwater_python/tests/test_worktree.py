"""Worktree identity, the main-worktree check and the worktree listing."""

import inspect
import os
import shutil
import subprocess
import threading
import time
import weakref
from pathlib import Path
from types import SimpleNamespace

import pytest

import _tidemark as t
from conftest import git, make_repo
from gitrepo import add_worktree, committed_repo

LIST_ARGV = ["git", "worktree", "list", "--porcelain"]


@pytest.fixture
def world(real_tmp):
    """A repository on main with linked worktrees of every kind, a bare
    repository with linked worktrees, a repository on master, and a
    directory outside any repository."""
    w = SimpleNamespace(outside=real_tmp / "outside")
    w.outside.mkdir()
    w.main = committed_repo(real_tmp / "main repo")
    w.feat = add_worktree(w.main, real_tmp / "wt space", "feat")
    w.detached = add_worktree(w.main, real_tmp / "wt\ttab")
    add_worktree(w.main, real_tmp / "wt-é漢", "unicode")
    add_worktree(w.main, real_tmp / "locked", "locked")
    git(w.main, "worktree", "lock", str(real_tmp / "locked"))
    add_worktree(w.main, real_tmp / "locked why", "locked-why")
    git(w.main, "worktree", "lock", "--reason", "  on a USB disk ", str(real_tmp / "locked why"))
    shutil.rmtree(add_worktree(w.main, real_tmp / "gone", "gone"))

    w.bare = real_tmp / "bare.git"
    git(real_tmp, "clone", "-q", "--bare", str(w.main), str(w.bare))
    add_worktree(w.bare, real_tmp / "bare-linked", "from-bare")
    git(w.bare, "worktree", "add", "-q", "--detach", str(real_tmp / "bare-detached"), "main")

    w.master = make_repo(real_tmp / "on master")
    git(w.master, "checkout", "-q", "-b", "master")
    git(w.master, "commit", "-q", "--allow-empty", "-m", "initial")
    return w


def git_records(root):
    """What git prints for the repository, one dict per record."""
    out = subprocess.run(LIST_ARGV, cwd=root, capture_output=True, text=True, check=True).stdout
    return [dict(line.partition(" ")[::2] for line in block.split("\n"))
            for block in out.split("\n\n") if block]


def run_git(argv, cwd):
    assert argv == LIST_ARGV and isinstance(cwd, Path)
    return subprocess.run(argv, cwd=cwd, capture_output=True, text=True)


# ---- listing ------------------------------------------------------------------


@pytest.mark.parametrize("which, count, must_see", [
    ("main", 7, {"detached", "locked", "lock_reason", "prunable", "space", "tab", "non-ascii"}),
    ("bare", 3, {"bare", "detached"}),
    ("master", 1, set()),
])
def test_listing_matches_git_field_by_field(world, which, count, must_see):
    root = getattr(world, which)
    expected = git_records(root)
    seen = set()
    for entries in (t.list_worktrees(root), t.list_worktrees(str(root), run=None),
                    t.list_worktrees(root, run=run_git)):
        assert type(entries) is tuple and len(entries) == len(expected) == count
        for e, rec in zip(entries, expected):
            assert type(e) is t.WorktreeListEntry
            assert e.worktree == Path(rec["worktree"]) and e.worktree is not e.worktree
            assert e.head == rec.get("HEAD", "")
            branch = rec["branch"].removeprefix("refs/heads/") if "branch" in rec else None
            assert e.branch == (None if "bare" in rec else branch)
            assert e.lock_reason == (rec.get("locked") or None)
            assert (e.bare, e.detached, e.locked, e.prunable) == tuple(
                k in rec for k in ("bare", "detached", "locked", "prunable"))
            seen |= {k for k in ("bare", "detached", "locked", "prunable") if getattr(e, k)}
            seen |= {"lock_reason"} if e.lock_reason else set()
            name = e.worktree.name
            seen |= {"space"} if " " in name else set()
            seen |= {"tab"} if "\t" in name else set()
            seen |= {"non-ascii"} if not name.isascii() else set()
    assert must_see <= seen
    if which == "main":
        assert [e.lock_reason for e in entries if e.locked] == [None, "on a USB disk"]
        assert entries[0].branch == "main" and entries[0].worktree == world.main


def test_listing_outside_a_repository(world):
    with pytest.raises(t.WorktreeListError) as info:
        t.list_worktrees(world.outside)
    assert info.value.reason_code == "GIT_EXIT"
    (message,) = info.value.args
    assert message.startswith(f"git worktree list --porcelain exited 128 in {world.outside}: fatal:")


class Result:
    """A run result; `raising` names attributes whose access raises."""

    def __init__(self, raising=(), **attrs):
        self._raising = raising
        self.__dict__.update(attrs)

    def __getattribute__(self, name):
        if name in object.__getattribute__(self, "_raising"):
            raise LookupError(name)
        return object.__getattribute__(self, name)


PORCELAIN = "worktree /r\nHEAD abc\nbranch refs/heads/main\n"


@pytest.mark.parametrize("result, error, text", [
    # returncode must be there and fit a signed 32-bit integer
    (Result(stdout=PORCELAIN), AttributeError, None),
    (Result(returncode=None, stdout=PORCELAIN), TypeError, None),
    (Result(returncode="0", stdout=PORCELAIN), TypeError, None),
    (Result(returncode=0.0, stdout=PORCELAIN), TypeError, None),
    (Result(returncode=2**31, stdout=PORCELAIN), OverflowError, None),
    (Result(returncode=-2**31 - 1, stdout=PORCELAIN), OverflowError, None),
    (Result(returncode=2**80, stdout=PORCELAIN), OverflowError, None),
    (Result(raising=("returncode",), returncode=0, stdout=PORCELAIN), LookupError, "returncode"),
    # stdout must be a str
    (Result(returncode=0), AttributeError, None),
    (Result(returncode=0, stdout=None), TypeError, "'None' is not an instance of 'str'"),
    (Result(returncode=0, stdout=PORCELAIN.encode()), TypeError, "'bytes' object is not an instance of 'str'"),
    (Result(returncode=0, stdout="\ud800"), UnicodeEncodeError, None),
    (Result(raising=("stdout",), returncode=0, stdout=PORCELAIN), LookupError, "stdout"),
    # a non-zero code wins over the output; stderr is read leniently
    (Result(returncode=1, stdout=PORCELAIN, stderr=" no\n"), t.WorktreeListError,
     "git worktree list --porcelain exited 1 in /r: no"),
    (Result(returncode=-(2**31), stdout=PORCELAIN, stderr=b"x"), t.WorktreeListError,
     f"git worktree list --porcelain exited {-(2**31)} in /r: "),
    (Result(returncode=255, stdout=""), t.WorktreeListError, "git worktree list --porcelain exited 255 in /r: "),
    (Result(raising=("stderr",), returncode=-9, stdout="", stderr="x"), t.WorktreeListError,
     "git worktree list --porcelain exited -9 in /r: "),
    (Result(returncode=0, stdout="HEAD abc\n"), t.WorktreeListError,
     "unparseable git worktree list --porcelain output for /r: "
     "worktree record missing required 'worktree' line"),
])
def test_run_protocol_errors(result, error, text):
    with pytest.raises(error) as info:
        t.list_worktrees("/r", run=lambda argv, path: result)
    assert type(info.value) is error
    if text is not None:
        assert str(info.value) == text
    assert not hasattr(info.value, "__notes__")
    if error is t.WorktreeListError:
        code = "PORCELAIN_PARSE" if text.startswith("unparseable") else "GIT_EXIT"
        assert info.value.reason_code == code and info.value.args == (text,)


@pytest.mark.parametrize("stderr", [None, b"bytes", "\ud800", "text", "absent"])
def test_run_protocol_accepts_any_stderr(stderr):
    calls = []

    def run(*args, **kwargs):
        calls.append((args, kwargs))
        attrs = {} if stderr == "absent" else {"stderr": stderr}
        return Result(returncode=0, stdout=PORCELAIN, **attrs)

    (entry,) = t.list_worktrees(Path("/r"), run=run)
    assert (entry.worktree, entry.head, entry.branch) == (Path("/r"), "abc", "main")
    ((args, kwargs),) = calls
    assert args == (LIST_ARGV, Path("/r")) and type(args[0]) is list and kwargs == {}


def test_exception_raised_by_run_reaches_the_caller_unchanged():
    boom = KeyError("boom")

    def run(argv, path):
        raise boom

    with pytest.raises(KeyError) as info:
        t.list_worktrees("/r", run=run)
    assert info.value is boom and not hasattr(boom, "__notes__")


# ---- identity and the main-worktree check ----------------------------------


@pytest.mark.parametrize("where, branch, main, main_branch", [
    ("main", "main", True, True),
    ("master", "master", True, True),
    ("feat", "feat", False, False),
    ("detached", "HEAD", False, False),
])
def test_identity(world, where, branch, main, main_branch):
    g = t.resolve_git_worktree(str(getattr(world, where)))
    assert type(g) is t.GitWorktree and g.branch == branch
    assert all(isinstance(p, Path) for p in (g.git_dir, g.git_common_dir, g.toplevel))
    assert g.toplevel == getattr(world, where) and g.git_dir is not g.git_dir
    assert (g.git_dir == g.git_common_dir) is main
    assert g.is_main_worktree() is main and t.is_main_worktree(g) is main
    assert g.is_main_branch() is main_branch


def test_identity_outside_a_repository_or_without_git(world, chdir, monkeypatch):
    chdir(world.outside)
    assert t.resolve_git_worktree() is None
    chdir(world.feat)
    assert t.resolve_git_worktree().branch == "feat"
    monkeypatch.setenv("PATH", str(world.outside))
    assert t.resolve_git_worktree() is None
    r = t.validate_main_worktree()
    assert (r.ok, r.reason_code, r.message, r.context) == (
        False, "WORKTREE_GIT_UNAVAILABLE", "git could not be run: git binary not found on PATH", None)
    with pytest.raises(t.WorktreeListError) as info:
        t.list_worktrees(world.main)
    assert (info.value.reason_code, str(info.value)) == ("GIT_NOT_FOUND", "git binary not found on PATH")


@pytest.mark.parametrize("where, allowed, code", [
    ("main", None, "WORKTREE_MAIN_OK"),
    ("main", ("main",), "WORKTREE_MAIN_OK"),
    ("main", ["x", "main"], "WORKTREE_MAIN_OK"),
    ("main", [], "WORKTREE_MAIN_BRANCH_MISMATCH"),
    ("main", ["Main", "main "], "WORKTREE_MAIN_BRANCH_MISMATCH"),
    ("master", None, "WORKTREE_MAIN_OK"),
    ("master", "main".split(), "WORKTREE_MAIN_BRANCH_MISMATCH"),
    ("feat", ["feat"], "WORKTREE_NOT_MAIN"),
    ("outside", None, "WORKTREE_REV_PARSE_UNAVAILABLE"),
])
def test_main_worktree_check(world, where, allowed, code):
    r = t.validate_main_worktree(str(getattr(world, where)), allowed)
    assert type(r) is t.WorktreePreconditionResult
    assert (r.ok, r.reason_code) == (code == "WORKTREE_MAIN_OK", code)
    if code == "WORKTREE_REV_PARSE_UNAVAILABLE":
        assert r.context is None
    else:
        assert type(r.context) is t.GitWorktree and r.context is not r.context
        assert r.context.toplevel == getattr(world, where)
    if allowed == []:
        assert r.message == "main worktree is on branch 'main', expected one of []"


class BytesPath:
    def __fspath__(self):
        return b"/r"


class Seq:
    """A sequence that is neither a list nor a tuple."""

    def __len__(self):
        return 1

    def __getitem__(self, i):
        if i:
            raise IndexError(i)
        return "main"


@pytest.mark.parametrize("call, error, param", [
    (lambda w: t.resolve_git_worktree(cwd=Path(".")), "'PosixPath' object is not an instance of 'str'", "cwd"),
    (lambda w: t.validate_main_worktree(Path(".")), "'PosixPath' object is not an instance of 'str'", "cwd"),
    (lambda w: t.is_main_worktree("x"), "'str' object is not an instance of 'GitWorktree'", "context"),
    (lambda w: t.is_main_worktree(None), "'None' is not an instance of 'GitWorktree'", "context"),
    (lambda w: t.validate_main_worktree(allowed_branches="main"), None, "allowed_branches"),
    (lambda w: t.validate_main_worktree(allowed_branches={"main"}),
     "'set' object is not an instance of 'Sequence'", "allowed_branches"),
    (lambda w: t.validate_main_worktree(allowed_branches=frozenset()),
     "'frozenset' object is not an instance of 'Sequence'", "allowed_branches"),
    (lambda w: t.validate_main_worktree(allowed_branches={"main": 1}),
     "'dict' object is not an instance of 'Sequence'", "allowed_branches"),
    (lambda w: t.validate_main_worktree(allowed_branches=(b for b in ["main"])),
     "'generator' object is not an instance of 'Sequence'", "allowed_branches"),
    (lambda w: t.validate_main_worktree(allowed_branches=["main", 1]),
     "'int' object is not an instance of 'str'", "allowed_branches"),
    (lambda w: t.list_worktrees(b"/r"), "'bytes' object is not an instance of 'str'", "repo_root"),
    (lambda w: t.list_worktrees(BytesPath()), "'bytes' object is not an instance of 'str'", "repo_root"),
    (lambda w: t.list_worktrees(3), None, "repo_root"),
])
def test_argument_conversion_errors(world, call, error, param):
    with pytest.raises(TypeError) as info:
        call(world)
    if error is not None:
        assert str(info.value) == error
    assert info.value.__notes__ == [f"while processing '{param}'"]


def test_any_sequence_of_str_is_an_allowed_list(world):
    assert t.validate_main_worktree(str(world.main), Seq()).ok


@pytest.mark.parametrize("call, text", [
    (lambda: t.list_worktrees(), "list_worktrees() missing 1 required positional argument: 'repo_root'"),
    (lambda: t.list_worktrees("/r", None), "list_worktrees() takes 1 positional arguments but 2 were given"),
    (lambda: t.is_main_worktree(), "is_main_worktree() missing 1 required positional argument: 'context'"),
    (lambda: t.resolve_git_worktree(".", "."),
     "resolve_git_worktree() takes from 0 to 1 positional arguments but 2 were given"),
])
def test_argument_matching(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == text


def test_classes(world):
    g = t.resolve_git_worktree(str(world.main))
    instances = {
        t.GitWorktree: (g, "branch"),
        t.WorktreePreconditionResult: (t.validate_main_worktree(str(world.main)), "ok"),
        t.WorktreeListEntry: (t.list_worktrees(world.main)[0], "head"),
    }
    for cls, (obj, attr) in instances.items():
        assert cls.__module__ == "brackwater.api" and cls.__bases__ == (object,)
        assert cls.__doc__ is None
        with pytest.raises(TypeError):
            cls()
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        with pytest.raises(TypeError):
            weakref.ref(obj)
        with pytest.raises(AttributeError):
            obj.undefined = 1
        with pytest.raises(AttributeError):
            setattr(obj, attr, getattr(obj, attr))
    for method in (t.GitWorktree.is_main_worktree, t.GitWorktree.is_main_branch):
        assert method.__text_signature__ == "($self)"
        assert str(inspect.signature(method)) == "(self, /)"
    with pytest.raises(TypeError, match=r"^GitWorktree.is_main_branch\(\) takes 0 positional arguments but 1 was given$"):
        g.is_main_branch(1)


# ---- git that hangs ---------------------------------------------------------------


class Counter(threading.Thread):
    """Counts up while it can get the interpreter lock."""

    def __init__(self):
        super().__init__(daemon=True)
        self.count = 0
        self.stop = threading.Event()

    def run(self):
        while not self.stop.is_set():
            self.count += 1
            time.sleep(0.005)


def test_hanging_git_is_stopped_at_each_limit_while_other_threads_run(world, real_tmp, monkeypatch):
    bindir = real_tmp / "bin"
    bindir.mkdir()
    (bindir / "git").write_text("#!/bin/sh\nexec sleep 120\n")
    (bindir / "git").chmod(0o755)
    monkeypatch.setenv("PATH", f"{bindir}{os.pathsep}{os.environ['PATH']}")
    outcomes = {}

    def timed(name, fn):
        start = time.monotonic()
        try:
            outcomes[name] = fn()
        except t.WorktreeListError as e:
            outcomes[name] = e
        outcomes[name + " seconds"] = time.monotonic() - start

    counter = Counter()
    counter.start()
    calls = [threading.Thread(target=timed, args=("check", lambda: t.validate_main_worktree(str(world.main)))),
             threading.Thread(target=timed, args=("list", lambda: t.list_worktrees(world.main)))]
    for c in calls:
        c.start()
    for c in calls:
        c.join(60)
    counter.stop.set()
    counter.join(5)

    check, listing = outcomes["check"], outcomes["list"]
    assert (check.reason_code, check.message) == ("WORKTREE_GIT_UNAVAILABLE",
                                                 "git could not be run: git timed out after 10s")
    assert 10 <= outcomes["check seconds"] < 15
    assert listing.reason_code == "GIT_TIMEOUT"
    assert str(listing) == f"failed to invoke git worktree list --porcelain in {world.main}: timed out after 30s"
    assert 30 <= outcomes["list seconds"] < 35
    # About 30 s at one count per 5 ms; a held interpreter lock would stop it.
    assert counter.count > 1000, counter.count
