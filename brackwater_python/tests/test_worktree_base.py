"""The worktree-base functions against real repositories, real directory
layouts, config/worktree.yaml files and os.environ changed between calls."""

import os
from pathlib import Path

import pytest

import _tidemark as t
from conftest import make_repo

UNREADABLE_CONFIG = "WORKTREE_CONFIG_UNREADABLE: config/worktree.yaml at "


def home_default(home, project="tessary"):
    return f"{os.path.realpath(home)}/.plowline/worktrees/{project}"


def write_config(repo, content):
    path = repo / "config" / "worktree.yaml"
    path.parent.mkdir(exist_ok=True)
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content)
    return path


@pytest.fixture
def ci_repo(repo):
    """A repository whose only override applies when ON_RUNNER is set."""
    (repo / "ci-trees").mkdir()
    write_config(repo, "worktree:\n  overrides:\n"
                       "    - detection: {env_vars_any: [ON_RUNNER]}\n      base: ci-trees\n")
    return repo


@pytest.mark.parametrize("ci_var", ["CI", "GITHUB_ACTIONS"])
def test_os_environ_is_read_on_every_call(ci_repo, isolated_env, monkeypatch, real_tmp, ci_var):
    base = lambda: t.resolve_worktree_base(repo_root=str(ci_repo))
    assert base() == home_default(isolated_env)
    monkeypatch.setenv("TESSARY_WORKTREE_BASE", str(real_tmp))
    assert base() == home_default(isolated_env)  # ignored outside CI
    monkeypatch.setenv(ci_var, "")
    assert base() == home_default(isolated_env)  # empty is unset
    monkeypatch.setenv(ci_var, "1")
    assert base() == str(real_tmp)
    monkeypatch.delenv("TESSARY_WORKTREE_BASE")
    assert base() == home_default(isolated_env)  # the override needs ON_RUNNER
    monkeypatch.setenv("ON_RUNNER", " ")
    assert base() == str(ci_repo / "ci-trees")
    assert t.resolve_worktree_dir("wt-1", repo_root=str(ci_repo)) == f"{ci_repo}/ci-trees/wt-1"
    monkeypatch.delenv(ci_var)
    assert base() == home_default(isolated_env)


def test_values_that_are_not_utf8_count_as_unset(ci_repo, isolated_env, monkeypatch):
    monkeypatch.setitem(os.environb, b"CI", b"\xff")
    monkeypatch.setitem(os.environb, b"ON_RUNNER", b"1")
    assert t.resolve_worktree_base(repo_root=str(ci_repo)) == home_default(isolated_env)
    monkeypatch.setenv("CI", "1")
    monkeypatch.setitem(os.environb, b"TESSARY_WORKTREE_BASE", b"/tmp/\xff")
    assert t.resolve_worktree_base(repo_root=str(ci_repo)) == str(ci_repo / "ci-trees")


# 4^40 leaves if aliases were copied; the first entry is a list, so it
# applies but has no base and is skipped.
BOMB = "l0: &l0 [ON_RUNNER, ON_RUNNER]\n" + "".join(
    f"l{i}: &l{i} [*l{i - 1}, *l{i - 1}, *l{i - 1}, *l{i - 1}]\n" for i in range(1, 40)
) + "worktree: {overrides: [*l39, {detection: {env_vars_any: *l0}, base: ci-trees}]}\n"
OK, BROKEN = "ok", "broken"


@pytest.mark.parametrize("content, outcome", [
    ("worktree: {overrides: [{base: ci-trees}\n", BROKEN),             # unclosed bracket
    ("worktree: " + "[" * 300 + "]" * 300 + "\n", BROKEN),             # deep nesting
    (b"worktree: {overrides: [{base: \xff}]}\n", BROKEN),              # not UTF-8
    ("<dir>", BROKEN),
    ("<fifo>", BROKEN),
    ("w: &w {overrides: [*w]}\n", BROKEN),                              # contains itself
    (BOMB, OK),
    ("!a {worktree: !b {overrides: !c [!d {detection: !e {env_vars_any: !f [!g ON_RUNNER]},"
     " base: !h ci-trees}]}}\n", OK),
    ("just a scalar\n", None),
    ("- worktree\n- overrides\n", None),
])
def test_configuration_files_under_ci(repo, isolated_env, monkeypatch, content, outcome):
    (repo / "ci-trees").mkdir()
    if content == "<dir>":
        (repo / "config" / "worktree.yaml").mkdir(parents=True)
    elif content == "<fifo>":
        (repo / "config").mkdir()
        os.mkfifo(repo / "config" / "worktree.yaml")
    else:
        write_config(repo, content)
    monkeypatch.setenv("ON_RUNNER", "1")
    calls = [lambda: t.resolve_worktree_base(repo_root=str(repo)),
             lambda: t.resolve_worktree_dir("w", repo_root=str(repo)),
             lambda: t.resolve_known_worktree_bases(repo_root=str(repo))]
    # Outside CI the file is never read.
    assert t.resolve_worktree_base(repo_root=str(repo)) == home_default(isolated_env)
    monkeypatch.setenv("CI", "true")
    if outcome == BROKEN:
        for call in calls:
            with pytest.raises(RuntimeError) as err:
                call()
            assert str(err.value).startswith(
                f"{UNREADABLE_CONFIG}{repo}/config/worktree.yaml could not be "), err.value
        # An explicit base, or TESSARY_WORKTREE_BASE under CI, answers first.
        assert t.resolve_worktree_base("/x", repo_root=str(repo)) == "/x"
        assert t.resolve_worktree_dir("w", "/x", repo_root=str(repo)) == "/x/w"
        monkeypatch.setenv("TESSARY_WORKTREE_BASE", "/env-base")
        assert t.resolve_worktree_base(repo_root=str(repo)) == "/env-base"
    else:
        expected = str(repo / "ci-trees") if outcome == OK else home_default(isolated_env)
        assert t.resolve_worktree_base(repo_root=str(repo)) == expected


def test_known_bases_in_order_without_repeats(real_tmp, isolated_env, monkeypatch):
    src = real_tmp / "src"
    repo = make_repo(src / "alpha", "[tool.plowline]\nproject_id = 'alpha'\n")
    (repo / ".plowline" / "worktrees").mkdir(parents=True)
    (real_tmp / "elsewhere").mkdir()
    (src / "alpha-worktrees").symlink_to(real_tmp / "elsewhere")
    (src / "tessary-worktrees").write_text("a regular file counts")
    monkeypatch.setenv("TESSARY_WORKTREE_BASE", str(src / "env-base"))
    expected = (home_default(isolated_env, "alpha"), str(src / "env-base"), str(repo / ".plowline/worktrees"),
                str(real_tmp / "elsewhere"), str(src / "tessary-worktrees"))
    assert t.resolve_known_worktree_bases(str(repo)) == expected  # listed outside CI too
    monkeypatch.setenv("CI", "1")
    assert t.resolve_known_worktree_bases(str(repo)) == expected
    # Inside a legacy directory, that directory is a candidate itself.
    legacy = real_tmp / "src2" / "alpha-worktrees"
    inner = make_repo(legacy / "alpha", "[tool.plowline]\nproject_id = 'alpha'\n")
    (real_tmp / "src2" / "tessary-worktrees").mkdir()
    monkeypatch.delenv("TESSARY_WORKTREE_BASE")
    assert t.resolve_known_worktree_bases(str(inner)) == (
        home_default(isolated_env, "alpha"), str(legacy), str(real_tmp / "src2" / "tessary-worktrees"))


def test_no_repository_and_empty_arguments(outside, isolated_env, chdir, monkeypatch, real_tmp):
    chdir(outside)
    assert t.resolve_known_worktree_bases() == (home_default(isolated_env),)
    assert t.resolve_worktree_base(home="/h") == "/h/.plowline/worktrees/tessary"
    assert t.resolve_worktree_base("  ") == ""
    assert t.resolve_worktree_base("", "") == home_default(isolated_env)
    assert t.resolve_worktree_base(home="") == ".plowline/worktrees/tessary"
    assert t.resolve_worktree_dir("/abs/x") == "/abs/x"
    assert t.resolve_worktree_dir("") == home_default(isolated_env) + "/"
    assert t.resolve_worktree_dir("../a/b", "/base") == "/base/../a/b"
    # A blank root is no root: no configuration is looked for under the
    # current directory.
    write_config(outside, "worktree: {overrides: [{base: /from-cwd}]}\n")
    monkeypatch.setenv("CI", "1")
    assert t.resolve_worktree_base(repo_root="  ") == home_default(isolated_env)
    monkeypatch.delenv("CI")
    repo = make_repo(real_tmp / "viaenv", "[tool.plowline]\nproject_id = 'viaenv'\n")
    monkeypatch.setenv("TESSARY_REPO_ROOT", str(repo))
    assert t.resolve_worktree_base() == home_default(isolated_env, "viaenv")


def test_project_errors(real_tmp, monkeypatch):
    bad = make_repo(real_tmp / "bad", "[tool.plowline]\nproject_id = 'Upper'\n")
    broken = make_repo(real_tmp / "broken", "[tool.plowline\n")
    for call in (lambda r: t.resolve_known_worktree_bases(r), lambda r: t.resolve_worktree_base(repo_root=r),
                 lambda r: t.resolve_worktree_dir("w", repo_root=r)):
        with pytest.raises(t.ProjectIdInvalidError) as err:
            call(str(bad))
        assert err.value.reason_code == "PROJECT_ID_INVALID"
        assert err.value.args[0].startswith('project_id "Upper" does not match')
        with pytest.raises(RuntimeError, match="^WORKTREE_PROJECT_CONFIG_UNREADABLE: pyproject.toml at "):
            call(str(broken))
    assert t.resolve_worktree_base("/x", str(bad)) == "/x"
    monkeypatch.setenv("CI", "1")
    monkeypatch.setenv("TESSARY_WORKTREE_BASE", "/y")
    assert t.resolve_worktree_dir("w", repo_root=str(bad)) == "/y/w"


@pytest.mark.parametrize("call, message", [
    (lambda: t.resolve_worktree_dir(), "resolve_worktree_dir() missing 1 required positional argument: "
                                       "'worktree_name'"),
    (lambda: t.resolve_worktree_dir(None), "'None' is not an instance of 'str'"),
    (lambda: t.resolve_worktree_base(repo_root=Path("/x")), "'PosixPath' object is not an instance of 'str'"),
    (lambda: t.resolve_known_worktree_bases(None, 5), "'int' object is not an instance of 'str'"),
    (lambda: t.set_tessary_project_root_for_worktree(Path(".")), "'PosixPath' object is not an instance of 'str'"),
    (lambda: t.resolve_worktree_base(1, 2, 3, 4), "resolve_worktree_base() takes from 0 to 3 positional "
                                                  "arguments but 4 were given"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as err:
        call()
    assert str(err.value) == message


class BadEnviron(dict):
    def items(self):
        raise KeyError("boom")


class RepeatedKeys(dict):
    def items(self):
        return [("CI", "1"), ("TESSARY_WORKTREE_BASE", "/first"), ("TESSARY_WORKTREE_BASE", "/second")]


@pytest.mark.parametrize("environ, outcome", [
    (BadEnviron(), KeyError),
    ({"x": 1}.keys(), AttributeError),
    ({"CI": "1", "TESSARY_WORKTREE_BASE": "/from-dict", "X": 5}, "/from-dict"),  # any mapping with items()
    (RepeatedKeys(), "/second"),  # a later pair replaces an earlier one
])
def test_a_replaced_os_environ(environ, outcome):
    saved = os.environ
    os.environ = environ  # restored before pytest reads os.environ again
    try:
        if isinstance(outcome, str):
            assert t.resolve_worktree_base() == outcome
        else:
            with pytest.raises(outcome):
                t.resolve_worktree_base("/tmp")
    finally:
        os.environ = saved


def test_project_root_values(real_tmp, chdir, monkeypatch):
    repo = make_repo(real_tmp / "repo", "[tool.plowline]\nproject_id = 'alpha'\n")
    (repo / "sub").mkdir()
    (repo / "file").write_text("")
    chdir(repo / "sub")
    before = dict(os.environ)
    assert t.set_tessary_project_root_for_worktree() == {
        "TESSARY_PROJECT_ROOT": str(repo), "UV_PROJECT": str(repo),
        "TESSARY_STATE_DIR": f"{repo}/.alpha", "TESSARY_SHARED_DIR": f"{repo}/.alpha"}
    assert dict(os.environ) == before
    bad = make_repo(real_tmp / "bad", "[tool.plowline]\nproject_id = 'A'\n")
    for arg, message in [("", "worktree path does not exist: "),
                         ("nowhere", "worktree path does not exist: nowhere"),
                         (str(repo / "file"), f"failed to resolve git repository root from: {repo}/file"),
                         (str(real_tmp), f"failed to resolve git repository root from: {real_tmp}"),
                         (str(bad), 'PROJECT_ID_INVALID: project_id "A" does not match')]:
        with pytest.raises(ValueError) as err:
            t.set_tessary_project_root_for_worktree(arg)
        assert type(err.value) is ValueError and str(err.value).startswith(message), err.value
