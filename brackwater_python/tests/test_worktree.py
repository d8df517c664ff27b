"""Worktree identity, the main-worktree check and the worktree listing."""

import os
import shutil
import subprocess
import threading
import time
from collections import UserList
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


FLAGS = ("bare", "detached", "locked", "prunable")


@pytest.mark.parametrize("which, count, flags", [
    ("main", 7, {"detached", "locked", "prunable"}),
    ("bare", 3, {"bare", "detached"}),
    ("master", 1, set()),
])
def test_listing_matches_git_field_by_field(world, which, count, flags, real_tmp, monkeypatch):
    root = getattr(world, which)
    expected = git_records(root)
    listings = [t.list_worktrees(root), t.list_worktrees(str(root), run=None), t.list_worktrees(root, run=run_git)]
    # A git older than 2.36, which refuses -z as an unknown switch.
    (real_tmp / "older").mkdir()
    (real_tmp / "older" / "git").write_text(
        '#!/bin/sh\nfor a; do [ "$a" = -z ] && { echo "error: unknown switch \\`z\'" >&2; exit 129; }; done\n'
        f'exec {shutil.which("git")} "$@"\n')
    (real_tmp / "older" / "git").chmod(0o755)
    monkeypatch.setenv("PATH", f"{real_tmp / 'older'}{os.pathsep}{os.environ['PATH']}")
    listings.append(t.list_worktrees(root))
    for entries in listings:
        assert type(entries) is tuple and len(entries) == len(expected) == count
        for e, rec in zip(entries, expected):
            branch = rec["branch"].removeprefix("refs/heads/") if "branch" in rec and "bare" not in rec else None
            assert (e.worktree, e.head, e.branch, e.lock_reason) == (
                Path(rec["worktree"]), rec.get("HEAD", ""), branch, rec.get("locked") or None)
            assert [getattr(e, f) for f in FLAGS] == [f in rec for f in FLAGS]
        assert entries[0].worktree is not entries[0].worktree
    assert {f for e in entries for f in FLAGS if getattr(e, f)} == flags
    if which == "main":
        assert [e.lock_reason for e in entries if e.locked] == [None, "on a USB disk"]
        assert {"wt space", "wt\ttab", "wt-é漢"} <= {e.worktree.name for e in entries}


def test_line_feeds_in_a_worktree_path_forge_nothing(world, real_tmp):
    forged = real_tmp / "a\nworktree /etc\nbranch refs/heads/main"
    add_worktree(world.main, forged, "forged")
    entries = t.list_worktrees(world.main)
    assert [e.branch for e in entries if e.worktree == forged] == ["forged"]
    assert Path("/etc") not in {e.worktree for e in entries} and "main" not in [e.branch for e in entries[1:]]
    assert t.resolve_git_worktree(str(forged)) is None
    assert t.validate_main_worktree(str(forged)).reason_code == "WORKTREE_REV_PARSE_UNAVAILABLE"


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
BOOM = KeyError("boom")


@pytest.mark.parametrize("result, error", [
    (Result(stdout=PORCELAIN), AttributeError),
    (Result(returncode=None, stdout=PORCELAIN), TypeError),
    (Result(returncode=0.0, stdout=PORCELAIN), TypeError),
    (Result(returncode=2**31, stdout=PORCELAIN), OverflowError),
    (Result(returncode=-2**31 - 1, stdout=PORCELAIN), OverflowError),
    (Result(returncode=2**80, stdout=PORCELAIN), OverflowError),
    (Result(raising=("returncode",), returncode=0, stdout=PORCELAIN), LookupError),
    (Result(returncode=0), AttributeError),
    (Result(returncode=0, stdout=PORCELAIN.encode()), TypeError),
    (Result(returncode=0, stdout="\ud800"), UnicodeEncodeError),
    (Result(raising=("stdout",), returncode=0, stdout=PORCELAIN), LookupError),
    (BOOM, KeyError),  # raised by run itself
])
def test_run_result_that_cannot_be_read(result, error):
    def run(argv, path):
        if result is BOOM:
            raise BOOM
        return result

    with pytest.raises(error) as info:
        t.list_worktrees("/r", run=run)
    assert type(info.value) is error and not hasattr(info.value, "__notes__")
    assert result is not BOOM or info.value is BOOM


@pytest.mark.parametrize("stderr", [None, b"bytes", "\ud800", "absent", "raising"])
def test_run_result_stderr_is_read_leniently(stderr):
    calls = []

    attrs = {} if stderr == "absent" else {"stderr": stderr}
    raising = ("stderr",) if stderr == "raising" else ()

    def run(*args, **kwargs):
        calls.append((args, kwargs))
        return Result(raising, returncode=0, stdout=PORCELAIN, **attrs)

    (entry,) = t.list_worktrees(Path("/r"), run=run)
    assert (entry.worktree, entry.head, entry.branch) == (Path("/r"), "abc", "main")
    ((args, kwargs),) = calls
    assert args == (LIST_ARGV, Path("/r")) and type(args[0]) is list and kwargs == {}
    with pytest.raises(t.WorktreeListError) as info:
        t.list_worktrees("/r", run=lambda a, p: Result(raising, returncode=-9, stdout=PORCELAIN, **attrs))
    assert info.value.reason_code == "GIT_EXIT"
    assert info.value.args == ("git worktree list --porcelain exited -9 in /r: ",)


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
    assert g.is_main_worktree() is t.is_main_worktree(g) is (g.git_dir == g.git_common_dir) is main
    assert g.is_main_branch() is main_branch


def test_outside_a_repository_and_without_git(world, chdir, monkeypatch):
    chdir(world.outside)
    assert t.resolve_git_worktree() is None
    monkeypatch.setenv("PATH", str(world.outside))
    assert t.resolve_git_worktree(str(world.main)) is None
    with pytest.raises(t.WorktreeListError) as info:
        t.list_worktrees(world.main)
    assert (info.value.reason_code, info.value.args) == ("GIT_NOT_FOUND", ("git binary not found on PATH",))


@pytest.mark.parametrize("where, allowed, code", [
    ("main", UserList(["x", "main"]), "WORKTREE_MAIN_OK"),  # any sequence, not only list and tuple
    ("main", [], "WORKTREE_MAIN_BRANCH_MISMATCH"),
    ("feat", None, "WORKTREE_NOT_MAIN"),
    ("outside", None, "WORKTREE_REV_PARSE_UNAVAILABLE"),
])
def test_main_worktree_check(world, where, allowed, code):
    r = t.validate_main_worktree(str(getattr(world, where)), allowed)
    assert (type(r), r.ok, r.reason_code) == (t.WorktreePreconditionResult, code.endswith("_OK"), code)
    if where == "outside":
        assert r.context is None
    else:
        assert type(r.context) is t.GitWorktree and r.context is not r.context
        assert r.context.toplevel == getattr(world, where)


class BytesPath:
    def __fspath__(self):
        return b"/r"


NOT_SEQUENCE = "object is not an instance of 'Sequence'"


@pytest.mark.parametrize("call, error, param", [
    (lambda: t.resolve_git_worktree(cwd=Path(".")), "'PosixPath' object is not an instance of 'str'", "cwd"),
    (lambda: t.is_main_worktree("x"), "'str' object is not an instance of 'GitWorktree'", "context"),
    (lambda: t.is_main_worktree(None), "'None' is not an instance of 'GitWorktree'", "context"),
    (lambda: t.validate_main_worktree(allowed_branches="main"), None, "allowed_branches"),
    (lambda: t.validate_main_worktree(allowed_branches={"main"}), f"'set' {NOT_SEQUENCE}", "allowed_branches"),
    (lambda: t.validate_main_worktree(allowed_branches={"m": 1}), f"'dict' {NOT_SEQUENCE}", "allowed_branches"),
    (lambda: t.validate_main_worktree(allowed_branches=["main", 1]), "'int' object is not an instance of 'str'",
     "allowed_branches"),
    (lambda: t.list_worktrees(b"/r"), "'bytes' object is not an instance of 'str'", "repo_root"),
    (lambda: t.list_worktrees(BytesPath()), "'bytes' object is not an instance of 'str'", "repo_root"),
    (lambda: t.list_worktrees(3), None, "repo_root"),
])
def test_argument_conversion_errors(call, error, param):
    with pytest.raises(TypeError) as info:
        call()
    if error is not None:
        assert str(info.value) == error
    assert info.value.__notes__ == [f"while processing '{param}'"]


def test_classes(world):
    g = t.resolve_git_worktree(str(world.main))
    instances = [(g, "branch"), (t.validate_main_worktree(str(world.main)), "ok"),
                 (t.list_worktrees(world.main)[0], "head")]
    for obj, attr in instances:
        cls = type(obj)
        assert cls.__module__ == "brackwater.api" and cls.__bases__ == (object,) and cls.__doc__ is None
        for make in (cls, lambda: type("Sub", (cls,), {})):
            with pytest.raises(TypeError):
                make()
        for name in ("undefined", attr):
            with pytest.raises(AttributeError):
                setattr(obj, name, getattr(obj, attr))
    for method in (t.GitWorktree.is_main_worktree, t.GitWorktree.is_main_branch):
        assert method.__text_signature__ == "($self)"
    with pytest.raises(TypeError, match=r"^GitWorktree.is_main_branch\(\) takes 0 positional arguments but 1 was"):
        g.is_main_branch(1)


# ---- git that hangs ---------------------------------------------------------------


@pytest.mark.slow
def test_hanging_git_is_stopped_at_each_limit_while_other_threads_run(world, real_tmp, monkeypatch):
    bindir = real_tmp / "bin"
    bindir.mkdir()
    pids = real_tmp / "pids"  # each call's git starts a child that keeps the pipes open
    # The listing's git is an old one, slow to refuse -z: the line form it
    # falls back to gets what is left of the call's one limit.
    (bindir / "git").write_text("#!/bin/sh\ncase \"$*\" in *-z*) sleep 20; exit 129;; esac\n"
                                f"sleep 1000 & echo $! >> '{pids}'\nexec sleep 120\n")
    (bindir / "git").chmod(0o755)
    monkeypatch.setenv("PATH", f"{bindir}{os.pathsep}{os.environ['PATH']}")
    done, ticks = {}, [0]

    def timed(name, fn):
        start = time.monotonic()
        try:
            done[name] = fn()
        except t.WorktreeListError as e:
            done[name] = e
        done[name + " seconds"] = time.monotonic() - start

    calls = [threading.Thread(target=timed, args=("check", lambda: t.validate_main_worktree(str(world.main)))),
             threading.Thread(target=timed, args=("list", lambda: t.list_worktrees(world.main)))]
    for c in calls:
        c.start()
    while any(c.is_alive() for c in calls):  # runs only while the calls let go of the interpreter lock
        ticks[0] += 1
        time.sleep(0.005)

    assert (done["check"].reason_code, done["check"].message) == (
        "WORKTREE_GIT_UNAVAILABLE", "git could not be run: git timed out after 10s")
    assert 10 <= done["check seconds"] < 15
    assert done["list"].reason_code == "GIT_TIMEOUT"
    assert str(done["list"]) == f"failed to invoke git worktree list --porcelain in {world.main}: timed out after 30s"
    assert 30 <= done["list seconds"] < 35
    assert ticks[0] > 1000, ticks[0]  # about 30 s at one tick per 5 ms
    lingering = [int(pid) for pid in pids.read_text().split()]
    assert len(lingering) == 2 and not [pid for pid in lingering if still_running(pid)]


def still_running(pid):
    """Alive after a moment's grace; a zombie nobody reaps runs no more."""
    deadline = time.monotonic() + 2
    while time.monotonic() < deadline:
        try:
            stat = Path(f"/proc/{pid}/stat").read_text()
        except FileNotFoundError:
            return False
        if stat.rpartition(")")[2].split()[0] == "Z":
            return False
        time.sleep(0.01)
    return True
