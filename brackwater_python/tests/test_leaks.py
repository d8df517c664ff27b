"""Reference counting: repeated calls leave no object behind.

To cover a new function, add a row to LEAK_CASES: a name, a call on the
namespace `c` that the fixture builds (add what your call needs there), and
the number of calls per round. Pick the number so that a round takes well
under a second; it must stay at 100 or more for the bound to mean anything.
"""

import datetime as dt
import gc
import subprocess
import os
import sys
from pathlib import Path
from types import SimpleNamespace

import pytest

import _tidemark as t
from conftest import git
from gitrepo import add_worktree, committed_repo


def raises(fn, exc):
    try:
        fn()
    except exc:
        return
    raise AssertionError("no exception")


def flip(o):
    o.require_git_state = not o.require_git_state
    return o.require_env_worktree


CHEAP = 10_000
GIT = 150  # calls that run git several times each
# name -> (call on the namespace of the fixture below, calls per round)
LEAK_CASES = {
    "constructors": (lambda c: (t.WorktreeBinding("s", "/w", "b", "/s", "", "/m"),
                                t.BindingValidationResult(True, "a", "b", c.b),
                                t.BindingValidationOptions(True)), CHEAP),
    "reads": (lambda c: (c.b.session_id, c.b.schema_version, repr(c.b), c.r.binding, c.r.ok,
                         c.store.path, c.store.main_worktree), CHEAP),
    "to_dict/from_dict": (lambda c: t.WorktreeBinding.from_dict(c.b.to_dict()), CHEAP),
    "options": (lambda c: flip(c.o), CHEAP),
    "argument errors": (lambda c: raises(lambda: t.WorktreeBinding("s", Path("/w"), "b", "/s", "", "/m"),
                                         TypeError), CHEAP),
    "from_dict errors": (lambda c: raises(lambda: t.WorktreeBinding.from_dict({"session_id": "x"}),
                                          ValueError), CHEAP),
    "env errors": (lambda c: raises(lambda: t.validate_binding(c.b, env={"a": 1}, options=c.o), TypeError),
                   CHEAP),
    "validate_binding": (lambda c: t.validate_binding(c.b, cwd=str(c.main), env=c.env, check_git=False,
                                                      options=c.o), CHEAP),
    "paths": (lambda c: (t.normalize_path("/a/../b"), t.path_fingerprint("/x"),
                         t.store_relative_path("alpha"), t.resolve_state_dir_name("alpha")), CHEAP),
    "project errors": (lambda c: raises(lambda: t.resolve_state_dir_name("Bad"), t.ProjectIdInvalidError),
                       CHEAP),
    "store load/list": (lambda c: (c.store.load("s"), c.store.list(), c.empty.load("x"), c.empty.list()),
                        5_000),
    "store upsert/remove": (lambda c: (c.store.upsert(c.b), c.store.remove("s")), 1_000),
    "register_binding": (lambda c: t.register_binding(session_id="s", worktree=c.main, branch="main",
                                                      main_worktree=c.main, state_path="/s"), GIT),
    "load/list/remove_binding": (lambda c: (t.load_binding("s", c.main), t.list_bindings(c.main),
                                            t.remove_binding("x", c.main)), GIT),
    "recover_binding": (lambda c: t.recover_binding("none", c.outside), GIT),
    "validate_current_binding": (lambda c: t.validate_current_binding(
        main_worktree=c.main, session_id="s", cwd=c.main, env=c.env), GIT),
    "worktree reads": (lambda c: (c.g.git_dir, c.g.branch, c.g.is_main_worktree(), c.g.is_main_branch(),
                                  t.is_main_worktree(c.g), c.pre.context, c.pre.message, c.entry.worktree,
                                  c.entry.branch, c.entry.lock_reason, c.entry.locked), CHEAP),
    "worktree argument errors": (lambda c: (raises(lambda: t.is_main_worktree("x"), TypeError),
                                            raises(lambda: t.validate_main_worktree(None, ["a", 1]), TypeError),
                                            raises(lambda: t.list_worktrees(b"/r"), TypeError)), CHEAP),
    "list_worktrees with run": (lambda c: (
        t.list_worktrees(c.main, run=c.run(0, c.porcelain)),
        raises(lambda: t.list_worktrees("/r", run=c.run(3, "", b"x")), t.WorktreeListError),
        raises(lambda: t.list_worktrees("/r", run=c.run(None, "")), TypeError),
        raises(lambda: t.list_worktrees("/r", run=c.run(0, b"")), TypeError),
        raises(lambda: t.list_worktrees("/r", run=c.run(0, "HEAD x\n")), t.WorktreeListError),
        raises(lambda: t.list_worktrees("/r", run=c.raising), KeyError)), 2_000),
    "resolve/validate_main_worktree": (lambda c: (t.resolve_git_worktree(str(c.main)),
                                                  t.validate_main_worktree(str(c.main), ("x",)),
                                                  t.validate_main_worktree(str(c.outside))), GIT),
    "list_worktrees": (lambda c: (t.list_worktrees(c.main),
                                  raises(lambda: t.list_worktrees(c.outside), t.WorktreeListError)), GIT),
    "worktree bases": (lambda c: (t.resolve_worktree_base(repo_root=str(c.main)),
                                  t.resolve_known_worktree_bases(str(c.main)),
                                  t.resolve_worktree_dir("w", "/x")), 2_000),
    "worktree bases under CI": (lambda c: under_ci(lambda: (t.resolve_worktree_base(repo_root=str(c.main)),
                                                            raises(lambda: t.resolve_worktree_base(
                                                                repo_root=str(c.outside)), RuntimeError))),
                                1_000),
    "worktree base errors": (lambda c: (raises(lambda: t.resolve_worktree_dir(None), TypeError),
                                        raises(lambda: t.set_tessary_project_root_for_worktree(""), ValueError)),
                             CHEAP),
    "set_tessary_project_root_for_worktree": (lambda c: t.set_tessary_project_root_for_worktree(str(c.main)),
                                              GIT),
    "github policy": (lambda c: (p := t.resolve_github_policy(c.main), p.main_branches, p.pr_title_prefixes,
                                 p.required_sections_issue, p.required_sections_pr,
                                 p.pr_title_issue_suffix_required, t.resolve_main_branches(str(c.main))), 5_000),
    "record_event": (lambda c: t.record_event("k", "b", "/w", "i", "o", session_id="s", elapsed_ms=1,
                                              correlation_id="c", extra={"a": [1, "x"]}), 1_000),
    "record_event errors": (lambda c: (raises(lambda: t.record_event("k", "b", "/w", "i", "o", extra=object()),
                                              TypeError),
                                       raises(lambda: t.record_event("k", "b", "/w", "i", "o", elapsed_ms="1"),
                                              TypeError)), CHEAP),
    "read_records": (lambda c: (t.read_records(), t.read_records(branch="b", since=c.since)), 500),
    "read_records errors": (lambda c: raises(lambda: t.read_records(until=dt.date(2026, 1, 1)), ValueError),
                            CHEAP),
    "AuditRecord": (lambda c: (c.rec.kind, c.rec.session_id, c.rec.elapsed_ms, c.rec.extra, repr(c.rec),
                               c.rec.to_dict()), CHEAP),
    "reap_rotation_sentinel": (lambda c: t.reap_rotation_sentinel(), CHEAP),
}


def under_ci(fn):
    os.environ["CI"] = "1"
    try:
        return fn()
    finally:
        del os.environ["CI"]

ROUNDS = 3


def least_growth(fn, calls):
    """The smallest growth of allocated blocks over ROUNDS rounds of `calls`
    calls, after a warm-up round.

    A leak of one object per call grows every round by at least `calls`
    blocks; what else allocates meanwhile (caches filling, the collector,
    another thread) comes and goes, so it does not show in every round."""
    for _ in range(calls):
        fn()
    growths = []
    for _ in range(ROUNDS):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(calls):
            fn()
        gc.collect()
        growths.append(sys.getallocatedblocks() - before)
    return min(growths)


@pytest.fixture
def c(real_tmp, outside, monkeypatch):
    monkeypatch.setenv("PLOWLINE_SHARED_DIR", str(real_tmp / "shared"))
    main = committed_repo(real_tmp / "repo")
    b = t.WorktreeBinding("s", str(main), "main", "/s", "", str(main), "c", 3)
    c = SimpleNamespace(main=main, outside=outside, b=b, o=t.BindingValidationOptions(),
                        r=t.BindingValidationResult(False, "X", "y", b),
                        store=t.WorktreeBindingStore(main_worktree=outside),
                        empty=t.WorktreeBindingStore(main_worktree=main),
                        env={"TESSARY_WORKTREE": str(main), "TESSARY_BRANCH": "main"})
    c.store.upsert(b)
    add_worktree(main, real_tmp / "linked", "feat")
    git(main, "worktree", "lock", "--reason", "why", str(real_tmp / "linked"))
    c.g = t.resolve_git_worktree(str(main))
    c.pre = t.validate_main_worktree(str(main))
    c.entry = t.list_worktrees(main)[1]
    c.porcelain = subprocess.run(["git", "worktree", "list", "--porcelain"], cwd=main, capture_output=True,
                                 text=True, check=True).stdout
    c.run = lambda code, out, err="": lambda argv, path: SimpleNamespace(returncode=code, stdout=out, stderr=err)

    def raising(argv, path):
        raise KeyError(path)

    c.raising = raising
    # Ten overrides, the last of which applies; and a configuration that
    # does not parse (after entries that share one anchored list).
    (main / "config").mkdir()
    (main / "config" / "worktree.yaml").write_text(
        "worktree:\n  overrides:\n" + "".join(f"    - {{detection: {{env_vars_any: [NO_{i}]}}, base: b{i}}}\n"
                                             for i in range(9)) + "    - base: ci-trees\n")
    (outside / "config").mkdir()
    (outside / "config" / "worktree.yaml").write_text("a: &a [x, {k: v}]\nb: [*a, *a, *a]\nc: [\n")
    for n in range(20):
        t.record_event("k", "b" if n % 2 else "other", "/w", "i", "o", session_id="s", extra={"n": n})
    c.rec = t.read_records()[0]
    c.since = dt.datetime(2000, 1, 1, tzinfo=dt.timezone.utc)
    return c


@pytest.mark.slow
@pytest.mark.parametrize("case", list(LEAK_CASES))
def test_repeated_calls_do_not_leak(c, case):
    fn, calls = LEAK_CASES[case]
    grown = least_growth(lambda: fn(c), calls)
    # Halfway between no growth and one leaked block per call.
    assert grown < calls // 2, grown


def test_the_measure_sees_one_leaked_object_per_call():
    kept = []
    assert least_growth(lambda: kept.append(object()), GIT) >= GIT
