"""normalize_path, path_fingerprint and the project functions, against real
directories and real git repositories."""

import hashlib
import json
import os
from pathlib import Path

import pytest

import _tidemark as t
from conftest import make_repo

PATTERN = "'^[a-z][a-z0-9_-]{0,63}$'"
UNREADABLE = "WORKTREE_PROJECT_CONFIG_UNREADABLE: "


def sha12(text):
    return hashlib.sha1(text.encode()).hexdigest()[:12]


def pyproject(project_id_line):
    return f"[project]\nname = 'x'\n\n[tool.plowline]\n{project_id_line}\n"


# ---- normalize_path / path_fingerprint ----------------------------------------


@pytest.fixture
def tree(real_tmp, chdir):
    """real_tmp/{dir/file, link -> dir}, with the current directory at real_tmp."""
    (real_tmp / "dir").mkdir()
    (real_tmp / "dir" / "file").write_text("x")
    (real_tmp / "link").symlink_to(real_tmp / "dir")
    chdir(real_tmp)
    return real_tmp


@pytest.mark.parametrize(
    "given, expected",
    [
        ("", ""),
        ("   ", ""),
        ("\t\u3000\n", ""),  # Unicode white space is blank too
        ("{r}/dir", "{r}/dir"),
        ("{r}/link", "{r}/dir"),
        ("{r}/link/file", "{r}/dir/file"),
        ("{r}/link/../dir/./file", "{r}/dir/file"),
        ("dir", "{r}/dir"),
        ("{r}/link/missing", "{r}/dir/missing"),  # missing leaf: real parent + name
        ("{r}/link/missing/", "{r}/dir/missing"),  # a trailing "/" is lost
        ("{r}/link/naïve ünï", "{r}/dir/naïve ünï"),
        ("./newdir", "{r}/newdir"),
        ("/missing-at-root", "/missing-at-root"),  # no doubled "/"
        ("newdir", "newdir"),  # a lone relative name stays relative
        ("{r}/nope/missing", "{r}/nope/missing"),  # missing parent: unchanged
        ("{r}/nope/..", "{r}/nope/.."),
        ("{r}/nope/.", "{r}/nope"),  # a trailing "." component is dropped
        ("{r}/dir\0/file", "{r}/dir\0/file"),  # a NUL never truncates the path
        ("{r}/dir/a\0b", "{r}/dir/a\0b"),
        (" {r}/dir", " {r}/dir"),  # not trimmed
        ("~/x", "~/x"),  # ~ is not expanded
    ],
)
def test_normalize_path(tree, given, expected):
    assert t.normalize_path(given.format(r=tree)) == expected.format(r=tree)


def test_normalize_path_default_is_blank():
    assert t.normalize_path() == ""


def test_normalize_path_replaces_undecodable_bytes(tree):
    os.mkdir(os.fsencode(tree) + b"/bad\xffname")
    os.symlink(os.fsencode(tree) + b"/bad\xffname", os.fsencode(tree) + b"/to-bad")
    assert t.normalize_path(f"{tree}/to-bad") == f"{tree}/bad\ufffdname"
    assert t.normalize_path(f"{tree}/to-bad/leaf") == f"{tree}/bad\ufffdname/leaf"


@pytest.mark.parametrize(
    "given, normalised",
    [
        ("{r}/link", "{r}/dir"),  # a link and its target share a fingerprint
        ("{r}/dir/missing", "{r}/dir/missing"),
        ("{r}/nope/missing", "{r}/nope/missing"),
        ("{r}/dir/é", "{r}/dir/é"),  # UTF-8 bytes are hashed
        ("   ", ""),  # da39a3ee5e6b
    ],
)
def test_path_fingerprint_is_sha1_of_normalised_text(tree, given, normalised):
    got = t.path_fingerprint(given.format(r=tree))
    assert got == sha12(normalised.format(r=tree))
    assert got == sha12(t.normalize_path(given.format(r=tree)))
    assert len(got) == 12 and set(got) <= set("0123456789abcdef")


# ---- project id ---------------------------------------------------------------


@pytest.mark.parametrize(
    "content, expected",
    [
        (None, "tessary"),  # no pyproject.toml
        ("", "tessary"),
        ("[tool.other]\nproject_id = 'alpha'\n", "tessary"),
        ("[tool]\nplowline = 'alpha'\n", "tessary"),
        (pyproject("project_id = ''"), "tessary"),
        (pyproject("project_id = 7"), "tessary"),
        (pyproject("project_id = 'alpha'"), "alpha"),
        (pyproject("project_id = 'a-b_c9'"), "a-b_c9"),
        (pyproject(f"project_id = 'a{'9' * 63}'"), "a" + "9" * 63),
        ("tool.plowline.project_id = \"dotted\"\n", "dotted"),
    ],
)
def test_resolve_project_id(real_tmp, content, expected):
    root = make_repo(real_tmp / "r", content)
    assert t.resolve_project_id(str(root)) == expected
    assert t.resolve_project_id(repo_root=str(root)) == expected


@pytest.mark.parametrize(
    "raw, shown",
    [
        ("Bad", '"Bad"'),
        ("ab.c", '"ab.c"'),
        ("a b", '"a b"'),
        (" alpha", '" alpha"'),  # not trimmed before the check
        ("café", '"café"'),
        ("a" * 65, '"' + "a" * 65 + '"'),
        ("a\\b\t\"\u0301'\x07", r'''"a\\b\t\"\u{301}'\u{7}"'''),  # quoted-literal escapes
    ],
)
def test_invalid_configured_project_id(real_tmp, raw, shown):
    root = make_repo(real_tmp / "r", pyproject(f"project_id = {json.dumps(raw)}"))
    message = f"project_id {shown} does not match the normative pattern {PATTERN}"
    for _ in range(2):  # errors are not cached: the second call fails alike
        with pytest.raises(t.ProjectIdInvalidError) as info:
            t.resolve_project_id(str(root))
        assert info.value.args == (message,)
        assert info.value.reason_code == "PROJECT_ID_INVALID"
        assert isinstance(info.value, ValueError)


@pytest.mark.parametrize(
    "content, verb",
    [
        (None, "read"),  # a directory where the file belongs
        (b"[tool.plowline]\nproject_id = 'a\xff'\n", "read"),  # not UTF-8
        (b"[tool.plowline\nproject_id = 'alpha'\n", "parsed"),
        (b"[tool.plowline]\nproject_id = 'a'\nproject_id = 'b'\n", "parsed"),
    ],
)
def test_unreadable_configuration(real_tmp, chdir, content, verb):
    root = make_repo(real_tmp / "r", content)
    if content is None:
        (root / "pyproject.toml").mkdir()
    prefix = f"{UNREADABLE}pyproject.toml at {root}/pyproject.toml could not be {verb}: "
    chdir(root)
    calls = [
        lambda: t.resolve_project_id(str(root)),
        t.resolve_project_id,
        t.state_dir,
        t.resolve_state_dir_name,
        t.store_relative_path,
    ]
    for call in calls:
        with pytest.raises(RuntimeError) as info:
            call()
        assert type(info.value) is RuntimeError
        assert str(info.value).startswith(prefix)
        assert len(str(info.value)) > len(prefix)
        assert info.value.args == (str(info.value),)
        assert not hasattr(info.value, "reason_code")


def test_unreadable_message_keeps_a_nul_in_the_root(real_tmp):
    root = f"{real_tmp}\0/x"
    with pytest.raises(RuntimeError) as info:
        t.resolve_project_id(root)
    assert str(info.value).startswith(
        f"{UNREADABLE}pyproject.toml at {root}/pyproject.toml could not be read: ")


def test_errors_are_not_cached_but_successes_are(real_tmp):
    root = make_repo(real_tmp / "r", pyproject("project_id = 'Bad'"))
    with pytest.raises(t.ProjectIdInvalidError):
        t.resolve_project_id(str(root))
    (root / "pyproject.toml").write_text(pyproject("project_id = 'first'"))
    assert t.resolve_project_id(str(root)) == "first"
    (root / "pyproject.toml").write_text(pyproject("project_id = 'second'"))
    assert t.resolve_project_id(str(root)) == "first"
    # Another text for the same directory is another cache key.
    assert t.resolve_project_id(f"{root}/") == "second"
    assert t.resolve_project_id(f"{root}/.") == "second"


# ---- which root ----------------------------------------------------------------


def test_root_from_git_env_and_argument(real_tmp, chdir, monkeypatch):
    here = make_repo(real_tmp / "here", pyproject("project_id = 'here'"))
    there = make_repo(real_tmp / "there", pyproject("project_id = 'there'"))
    other = make_repo(real_tmp / "other", pyproject("project_id = 'other'"))
    (here / "sub").mkdir()
    chdir(here / "sub")
    assert t.resolve_project_id() == "here"
    assert t.state_dir() == f"{here}/.here"
    assert t.resolve_state_dir_name() == ".here"
    assert t.store_relative_path() == Path(".here/state/brackwater/bindings.json")

    monkeypatch.setenv("TESSARY_REPO_ROOT", "")  # empty counts as unset
    assert t.resolve_project_id() == "here"
    monkeypatch.setitem(os.environb, b"TESSARY_REPO_ROOT", os.fsencode(there) + b"\xff")
    assert t.resolve_project_id() == "here"  # so does one that is not UTF-8
    monkeypatch.setenv("TESSARY_REPO_ROOT", str(there))
    assert t.resolve_project_id() == "there"
    assert t.resolve_project_id(None) == "there"
    assert t.resolve_project_id("") == "there"  # an empty argument is no root
    assert t.state_dir() == f"{there}/.there"
    assert t.resolve_project_id(str(other)) == "other"
    assert t.state_dir(str(other)) == f"{other}/.other"


@pytest.mark.parametrize("where", ["outside", "repo without git on PATH"])
def test_no_repository_root(outside, repo, chdir, monkeypatch, where):
    (repo / "pyproject.toml").write_text(pyproject("project_id = 'unseen'"))
    chdir(outside)
    if where != "outside":
        chdir(repo)
        monkeypatch.setenv("PATH", str(outside))
    assert t.resolve_project_id() == "tessary"
    assert t.state_dir() == ""
    assert t.resolve_state_dir_name() == ".tessary"
    assert t.store_relative_path() == Path(".tessary/state/brackwater/bindings.json")


def test_state_dir_normalises_the_root(real_tmp):
    root = make_repo(real_tmp / "r", pyproject("project_id = 'alpha'"))
    (real_tmp / "alias").symlink_to(root)
    assert t.state_dir(str(real_tmp / "alias")) == f"{root}/.alpha"
    assert t.state_dir(f"{root}/") == f"{root}/.alpha"
    # A missing root has no pyproject.toml: the default project.
    assert t.state_dir(str(real_tmp / "gone")) == f"{real_tmp}/gone/.tessary"


# ---- given project ids ------------------------------------------------------------


@pytest.mark.parametrize(
    "project_id, name",
    [("", ".tessary"), ("alpha", ".alpha"), ("a" + "9" * 63, ".a" + "9" * 63)],
)
def test_given_project_id(outside, chdir, project_id, name):
    chdir(outside)
    assert t.resolve_state_dir_name(project_id) == name
    path = t.store_relative_path(project_id)
    assert type(path) is type(Path())
    assert path == Path(name, "state", "brackwater", "bindings.json")
    assert str(path) == f"{name}/state/brackwater/bindings.json"


@pytest.mark.parametrize("project_id", ["Bad", "a" * 65, "é", " alpha", "a/b"])
@pytest.mark.parametrize("func", [t.resolve_state_dir_name, t.store_relative_path])
def test_given_invalid_project_id(func, project_id):
    with pytest.raises(t.ProjectIdInvalidError) as info:
        func(project_id)
    (message,) = info.value.args
    assert message.startswith("project_id \"") and message.endswith(PATTERN)
    assert info.value.reason_code == "PROJECT_ID_INVALID"


def test_given_project_id_reads_nothing(real_tmp, chdir):
    # A broken configuration in the current repository is not consulted.
    root = make_repo(real_tmp / "r", "not = [toml")
    chdir(root)
    assert t.resolve_state_dir_name("alpha") == ".alpha"
    assert t.store_relative_path("") == Path(".tessary/state/brackwater/bindings.json")
