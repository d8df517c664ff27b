"""resolve_github_policy, resolve_main_branches and the GitHubPolicy class,
against real repositories and their pyproject.toml."""

from pathlib import Path

import pytest

import _tidemark as t
from conftest import make_repo

PREFIXES = ("feat", "fix", "chore", "docs", "refactor", "test", "perf", "build", "ci")
ISSUE = ("Goal", "Background", "Scope", "Acceptance Criteria")
PR = ("Summary", "Linked Issues", "Test Plan", "Breaking Changes")
FIELDS = ("pr_title_prefixes", "main_branches", "pr_title_issue_suffix_required",
          "required_sections_issue", "required_sections_pr")


def attrs(policy):
    return tuple(getattr(policy, name) for name in FIELDS)


DEFAULT = (PREFIXES, t.MAIN_BRANCHES, True, ISSUE, PR)
TABLE = "[tool.plowline.github_policy]\n"


@pytest.mark.parametrize("pyproject, expected", [
    (None, DEFAULT),
    ("[tool.plowline]\nproject_id = 'x'\n", DEFAULT),
    (TABLE + "main_branches = ['trunk', 'dev', 'trunk', 5, '']\npr_title_prefixes = ['z', 'a', 'z']\n"
             "pr_title_issue_suffix_required = false\n"
             "required_sections = {issue = ['Why', 'What'], pr = 'not a list'}\n",
     (("z", "a", "z"), frozenset({"trunk", "dev", ""}), False, ("Why", "What"), PR)),
    ("<dir>", DEFAULT),
])
def test_policy_attributes(real_tmp, pyproject, expected):
    repo = make_repo(real_tmp / "r", None if pyproject == "<dir>" else pyproject)
    if pyproject == "<dir>":
        (repo / "pyproject.toml").mkdir()
    policy = t.resolve_github_policy(str(repo))
    assert attrs(policy) == expected
    assert type(policy.pr_title_prefixes) is tuple and type(policy.main_branches) is frozenset
    assert type(policy.required_sections_pr) is tuple and type(policy.pr_title_issue_suffix_required) is bool
    assert policy.main_branches is not policy.main_branches  # built anew on each read
    assert t.resolve_main_branches(str(repo)) == policy.main_branches
    assert type(t.resolve_main_branches(repo)) is frozenset


def test_project_root_resolution(real_tmp, chdir, monkeypatch, outside):
    cwd_repo = make_repo(real_tmp / "cwd", TABLE + "main_branches = ['from-cwd']\n")
    env_repo = make_repo(real_tmp / "env", TABLE + "main_branches = ['from-env']\n")
    chdir(cwd_repo)
    assert t.resolve_main_branches() == {"from-cwd"}
    assert t.resolve_main_branches(None) == {"from-cwd"}
    monkeypatch.setenv("TESSARY_REPO_ROOT", str(env_repo))
    assert t.resolve_main_branches("") == {"from-env"}
    assert attrs(t.resolve_github_policy(Path(cwd_repo))) == attrs(t.resolve_github_policy(str(cwd_repo)))
    monkeypatch.delenv("TESSARY_REPO_ROOT")
    chdir(outside)
    assert attrs(t.resolve_github_policy()) == DEFAULT


@pytest.mark.parametrize("arg, message", [
    (b"/x", "expected str or os.PathLike, got bytes"),
    (5, "expected str or os.PathLike, got int"),
])
def test_argument_errors(arg, message):
    for fn in (t.resolve_github_policy, t.resolve_main_branches):
        with pytest.raises(TypeError, match=f"^{message}$"):
            fn(arg)
    with pytest.raises(TypeError, match="unexpected keyword argument 'root'"):
        t.resolve_github_policy(root="/x")


def test_class_traits():
    policy = t.resolve_github_policy("/nonexistent")
    cls = type(policy)
    assert cls is t.GitHubPolicy and cls.__module__ == "brackwater.api" and cls.__doc__ is None
    assert [n for n in vars(cls) if n in FIELDS] == list(FIELDS)
    with pytest.raises(TypeError):
        t.GitHubPolicy()
    with pytest.raises(AttributeError):
        policy.main_branches = frozenset()
    with pytest.raises(AttributeError):
        policy.other = 1
    with pytest.raises(TypeError):
        type("Sub", (t.GitHubPolicy,), {})
    assert t.resolve_github_policy.__text_signature__ == "(project_root=None)"
