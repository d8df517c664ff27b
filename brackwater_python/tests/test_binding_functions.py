"""The binding store class and the binding functions, against real repositories."""

import json
import os
from pathlib import Path

import numpy
import pytest

import _tidemark as t
from conftest import git
from gitrepo import add_worktree, committed_repo

STORE_REL = ".tessary/state/brackwater/bindings.json"
CORRUPT = "WORKTREE_BINDING_STORE_CORRUPT"


@pytest.fixture
def main(real_tmp):
    return committed_repo(real_tmp / "repo")


@pytest.fixture
def linked(main, real_tmp):
    return add_worktree(main, real_tmp / "wt", "feat")


@pytest.fixture
def detached(main, real_tmp):
    return add_worktree(main, real_tmp / "det")


def register(worktree, branch, main, session_id="s1", **kw):
    return t.register_binding(session_id=session_id, worktree=worktree, branch=branch,
                              main_worktree=main, **kw)


def fields(b):
    return (b.session_id, b.worktree, b.branch, b.state_path, b.git_common_dir,
            b.main_worktree, b.commit_ish, b.schema_version)


def notes(excinfo):
    return getattr(excinfo.value, "__notes__", [])


# ---- registration ---------------------------------------------------------------


@pytest.mark.parametrize("where, branch", [("main", "main"), ("linked", "feat"), ("detached", "any-name")])
@pytest.mark.parametrize("as_path", [False, True])
def test_register_then_load_from_any_path_of_the_repository(request, main, where, branch, as_path):
    wt = request.getfixturevalue(where)
    (main / "sub").mkdir()
    arg = (lambda p: p) if as_path else str
    b = register(arg(wt), branch, arg(wt), commit_ish="abc")
    assert fields(b) == ("s1", str(wt), branch, f"{wt}/.tessary/state/plowline", f"{main}/.git",
                         str(main), "abc", 2)
    for root in (main, main / "sub", wt):
        assert fields(t.load_binding("s1", arg(root))) == fields(b)
    assert [fields(x) for x in t.list_bindings(main)] == [fields(b)]
    stored = json.loads((main / STORE_REL).read_text())
    assert stored["bindings"] == [b.to_dict()] and stored["schema_version"] == 2


def test_register_state_path_given_or_empty(main, real_tmp):
    b = register(main, "main", main, state_path=real_tmp / "st" / "x")
    assert b.state_path == f"{real_tmp}/st/x"
    # A blank state path would be stored as an entry no read accepts.
    with pytest.raises(ValueError, match="^WORKTREE_BINDING_FIELD_MISSING: .*: state_path$"):
        register(main, "main", main, session_id="s2", state_path="")
    assert t.load_binding("s2", main) is None
    b = register(main, "main", main, session_id="s3", state_path=None)
    assert b.state_path == f"{main}/.tessary/state/plowline"


def test_register_again_keeps_the_later_entry_at_the_end(main, linked):
    register(main, "main", main, session_id="a")
    register(main, "main", main, session_id="b")
    register(linked, "feat", main, session_id="a")
    assert [(b.session_id, b.worktree) for b in t.list_bindings(main)] == [
        ("b", str(main)), ("a", str(linked))]


@pytest.mark.parametrize(
    "where, branch, text",
    [
        ("outside", "main", "WORKTREE_GIT_COMMON_DIR_MISSING: worktree git common dir is required"),
        ("linked", "main", "WORKTREE_BRANCH_MISMATCH: git branch does not match worktree binding"),
        ("missing", "main", "WORKTREE_GIT_UNAVAILABLE: git could not be run: "),
    ],
)
def test_register_rejections_write_nothing(request, main, linked, real_tmp, where, branch, text):
    wt = real_tmp / "nowhere" if where == "missing" else request.getfixturevalue(where)
    with pytest.raises(ValueError) as excinfo:
        register(wt, branch, main)
    assert type(excinfo.value) is ValueError
    assert str(excinfo.value).startswith(text) and len(excinfo.value.args) == 1
    assert not hasattr(excinfo.value, "reason_code")
    assert not (main / ".tessary").exists()


@pytest.mark.parametrize(
    "kwargs, error, param",
    [
        ({"session_id": 1, "worktree": 1}, TypeError, "session_id"),
        ({"branch": None, "worktree": 1}, TypeError, "branch"),
        ({"commit_ish": None, "worktree": 1}, TypeError, "commit_ish"),
        ({"worktree": b"/x", "main_worktree": 1}, TypeError, None),
    ],
)
def test_register_conversion_order(main, kwargs, error, param):
    args = {"session_id": "s", "worktree": main, "branch": "main", "main_worktree": main, **kwargs}
    with pytest.raises(error) as excinfo:
        t.register_binding(**args)
    if param is None:
        assert str(excinfo.value) == "expected str or os.PathLike, got bytes"
        assert notes(excinfo) == []
    else:
        assert notes(excinfo) == [f"while processing '{param}'"]
    assert not (main / ".tessary").exists()


def test_register_refuses_positional_arguments(main):
    with pytest.raises(TypeError, match="^register_binding\\(\\) takes 0 positional arguments but 1 was given$"):
        t.register_binding("s", worktree=main, branch="main", main_worktree=main)


# ---- the store class ------------------------------------------------------------


def test_store_root_is_the_main_worktree(main, linked):
    (main / "sub").mkdir()
    for given in (main, str(main / "sub"), linked, f"{linked}/"):
        store = t.WorktreeBindingStore(main_worktree=given)
        assert store.main_worktree == str(main)
        assert store.path == f"{main}/{STORE_REL}"


def test_store_path_follows_the_project_id(real_tmp, outside):
    repo = committed_repo(real_tmp / "p", pyproject='[tool.plowline]\nproject_id = "acme"\n')
    assert t.WorktreeBindingStore(main_worktree=repo).path == f"{repo}/.acme/state/brackwater/bindings.json"
    store = t.WorktreeBindingStore(main_worktree=outside)
    assert (store.main_worktree, store.path) == (str(outside), f"{outside}/{STORE_REL}")


def test_store_round_trip(main):
    store = t.WorktreeBindingStore(main_worktree=main)
    assert store.list() == () and store.load("x") is None and store.remove("x") is None
    assert t.list_bindings(main) == () and t.remove_binding("x", main) is None
    assert not (main / ".tessary").exists()

    a = t.WorktreeBinding("a", str(main), "main", "/s", "", str(main), schema_version=5)
    store.upsert(a)
    store.upsert(binding=t.WorktreeBinding("b", "/w", "x", "/s", "", "/m"))
    assert os.stat(store.path).st_mode & 0o777 == 0o600
    assert [b.session_id for b in store.list()] == ["a", "b"]
    got = store.load(session_id="a")
    assert got is not store.load("a")
    assert fields(got)[:-1] == fields(a)[:-1] and got.schema_version == 2
    assert fields(t.remove_binding("a", main)) == fields(got)
    assert store.remove("a") is None
    assert fields(store.remove("b")) == fields(t.WorktreeBinding("b", "/w", "x", "/s", "", "/m"))
    assert json.loads(Path(store.path).read_text()) == {"bindings": [], "schema_version": 2}


@pytest.mark.parametrize("value, text", [({}, "'dict' object is not an instance of 'WorktreeBinding'"),
                                         (None, "'None' is not an instance of 'WorktreeBinding'")])
def test_upsert_needs_a_binding(main, value, text):
    store = t.WorktreeBindingStore(main_worktree=main)
    store.upsert(t.WorktreeBinding("a", "/w", "b", "/s", "", "/m"))
    before = Path(store.path).read_bytes()
    with pytest.raises(TypeError) as excinfo:
        store.upsert(value)
    assert str(excinfo.value) == text and notes(excinfo) == ["while processing 'binding'"]
    assert Path(store.path).read_bytes() == before


@pytest.mark.parametrize("content", ["{not json", "[]", '"text"'])
def test_corrupt_store(main, content):
    path = main / STORE_REL
    path.parent.mkdir(parents=True)
    path.write_text(content)
    store = t.WorktreeBindingStore(main_worktree=main)
    for call in (lambda: t.load_binding("s", main), lambda: store.load("s"), store.list,
                 lambda: t.list_bindings(main), lambda: t.remove_binding("s", main),
                 lambda: store.upsert(t.WorktreeBinding("s", "/w", "b", "/s", "", "/m"))):
        with pytest.raises(RuntimeError) as excinfo:
            call()
        assert type(excinfo.value) is RuntimeError
        assert str(excinfo.value).startswith(f"{CORRUPT}: binding store {path} is not valid JSON: ")
        assert not hasattr(excinfo.value, "reason_code")
    r = t.validate_current_binding(main_worktree=main, session_id="s", cwd=main)
    assert (r.ok, r.reason_code, r.binding) == (False, CORRUPT, None)
    assert r.message.startswith(f"{CORRUPT}: binding store {path}")
    assert path.read_text() == content


# ---- validate_binding -----------------------------------------------------------


def test_validate_binding_defaults_run_git(main, linked):
    b = register(linked, "feat", main)
    git(linked, "checkout", "-q", "-b", "moved")
    assert t.validate_binding(b).reason_code == "WORKTREE_BRANCH_MISMATCH"
    assert t.validate_binding(b, check_git=numpy.bool_(True)).reason_code == "WORKTREE_BRANCH_MISMATCH"
    r = t.validate_binding(b, check_git=False, cwd=str(linked), env={"TESSARY_WORKTREE": f" {linked} "})
    assert (r.ok, r.reason_code, r.message) == (True, "WORKTREE_BINDING_OK", "worktree binding is valid")
    assert fields(r.binding) == fields(b)
    assert t.validate_binding(b, cwd=str(main), check_git=False).reason_code == "WORKTREE_CWD_MISMATCH"


@pytest.mark.parametrize("env", [None, {}, {"TESSARY_BRANCH": "feat"}])
def test_validate_binding_options_none_is_fresh_options(main, detached, env):
    b = register(detached, "feat", main)
    answers = {t.validate_binding(b, env=env, options=o).reason_code
               for o in (None, t.BindingValidationOptions())}
    assert answers == {"WORKTREE_BINDING_OK"}
    strict = t.BindingValidationOptions(require_git_state=True, require_env_worktree=True)
    expected = "WORKTREE_BRANCH_UNAVAILABLE" if env is None else "WORKTREE_ENV_MISSING"
    assert t.validate_binding(b, env=env, options=strict).reason_code == expected


@pytest.mark.parametrize(
    "kwargs, text, param",
    [
        ({"check_git": 1}, "'int' object is not an instance of 'bool'", "check_git"),
        ({"cwd": Path("/")}, "'PosixPath' object is not an instance of 'str'", "cwd"),
        ({"options": {}}, "'dict' object is not an instance of 'BindingValidationOptions'", "options"),
        ({"cwd": 1, "check_git": 1}, None, "cwd"),
        ({"check_git": 0, "options": 1}, None, "check_git"),
    ],
)
def test_validate_binding_conversion_errors(kwargs, text, param):
    b = t.WorktreeBinding("s", "/w", "b", "/s", "", "/m")
    with pytest.raises(TypeError) as excinfo:
        t.validate_binding(b, **kwargs)
    if text is not None:
        assert str(excinfo.value) == text
    assert notes(excinfo) == [f"while processing '{param}'"]
    with pytest.raises(TypeError, match="takes 1 positional argument"):
        t.validate_binding(b, "/w")
    with pytest.raises(TypeError) as excinfo:
        t.validate_binding("s")
    assert notes(excinfo) == ["while processing 'binding'"]


# ---- environment maps -----------------------------------------------------------


class EnvDict(dict):
    pass


@pytest.mark.parametrize(
    "env, tail",
    [
        (os.environ, "TypeError: '_Environ' object is not an instance of 'dict'"),
        ([("TESSARY_WORKTREE", "/w")], "TypeError: 'list' object is not an instance of 'dict'"),
        ({"TESSARY_WORKTREE": 1}, "TypeError: 'int' object is not an instance of 'str'"),
        ({1: "x"}, "TypeError: 'int' object is not an instance of 'str'"),
        ({"TESSARY_BRANCH": "\udcff"}, "UnicodeEncodeError: "),
    ],
)
def test_env_must_be_a_dict_of_str(main, env, tail):
    b = t.WorktreeBinding("s", str(main), "main", "/s", "", str(main))
    for call in (lambda: t.validate_binding(b, env=env, check_git=False),
                 lambda: t.validate_current_binding(main_worktree=main, session_id=None, cwd=main, env=env)):
        with pytest.raises(TypeError) as excinfo:
            call()
        text = str(excinfo.value)
        assert text.startswith("env must be a mapping of str to str: " + tail)
        assert notes(excinfo) == [] and excinfo.value.__cause__ is None


def test_env_borrow_released_when_env_is_refused(main):
    b = t.WorktreeBinding("s", str(main), "main", "/s", "", str(main))
    o = t.BindingValidationOptions()
    with pytest.raises(TypeError):
        t.validate_binding(b, env=[], options=o, check_git=False)
    o.require_env_worktree = True
    assert t.validate_binding(b, env=EnvDict(), options=o, check_git=False).reason_code == "WORKTREE_ENV_MISSING"
    assert t.validate_binding(b, env={}, check_git=False).ok


# ---- validate_current_binding ---------------------------------------------------


def test_current_binding_required_arguments_and_cwd(main, linked):
    with pytest.raises(TypeError, match="missing 1 required keyword argument: 'session_id'$"):
        t.validate_current_binding(main_worktree=main, cwd=main)
    with pytest.raises(TypeError, match="^expected str or os.PathLike, got NoneType$"):
        t.validate_current_binding(main_worktree=main, session_id=None, cwd=None)
    register(linked, "feat", main)
    r = t.validate_current_binding(main_worktree=linked, session_id="s1", cwd=Path(linked))
    assert r.ok and r.binding.session_id == "s1"
    r = t.validate_current_binding(main_worktree=main, session_id="s1", cwd=main)
    assert r.reason_code == "WORKTREE_CWD_MISMATCH" and r.binding.worktree == str(linked)


def test_current_binding_defaults(main, linked):
    r = t.validate_current_binding(main_worktree=main, session_id="nobody", cwd=main,
                                   env={"TESSARY_WORKTREE": str(main)})
    assert (r.ok, r.reason_code, r.message, r.binding) == (
        False, "WORKTREE_BINDING_MISSING", "no worktree binding found for session", None)
    register(linked, "feat", main)
    git(linked, "checkout", "-q", "-b", "moved")
    assert t.validate_current_binding(main_worktree=main, session_id="s1", cwd=linked).ok
    r = t.validate_current_binding(main_worktree=main, session_id="s1", cwd=linked, check_git=True)
    assert r.reason_code == "WORKTREE_BRANCH_MISMATCH"


def test_current_binding_falls_back_to_env(main, linked):
    env = {"TESSARY_WORKTREE": str(linked), "TESSARY_BRANCH": "feat"}
    for session_id, kw in ((None, {}), ("unknown", {"require_registered_binding": numpy.bool_(False)})):
        r = t.validate_current_binding(main_worktree=main, session_id=session_id, cwd=linked, env=env,
                                       check_git=True, require_git_state=True, **kw)
        assert r.ok, r.reason_code
        assert (r.binding.session_id, r.binding.commit_ish, r.binding.git_common_dir) == (
            session_id or "", "env-fallback", "")
    r = t.validate_current_binding(main_worktree=main, session_id=None, cwd=linked)
    assert (r.reason_code, r.binding) == ("WORKTREE_ENV_MISSING", None)
    assert t.list_bindings(main) == ()


# ---- recovery ---------------------------------------------------------------------


def write_metadata(path, worktree, branch="feat"):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps({"worktree_path": str(worktree), "branch": branch, "source_ref": "origin/main"}))


SESSIONS = ".tessary/state/plowline/sessions"


def test_recover_from_metadata_then_load(main, linked):
    write_metadata(main / SESSIONS / "s9" / "metadata.json", linked)
    b = t.recover_binding("s9", linked)
    assert (b.session_id, b.worktree, b.branch, b.commit_ish, b.main_worktree) == (
        "s9", str(linked), "feat", "origin/main", str(main))
    assert fields(t.load_binding("s9", main)) == fields(b)
    assert t.recover_binding("other", main) is None
    write_metadata(main / SESSIONS / "bad" / "metadata.json", linked, branch="main")
    assert t.recover_binding("bad", main) is None


@pytest.mark.parametrize(
    "session_id, where",
    [
        ("", f"{SESSIONS}/metadata.json"),
        (".", f"{SESSIONS}/metadata.json"),
        ("..", ".tessary/state/plowline/metadata.json"),
        ("a/b", f"{SESSIONS}/a/b/metadata.json"),
        ("/ABS", "elsewhere/metadata.json"),
        ("n\x00b", f"{SESSIONS}/n"),
    ],
)
def test_recover_refuses_ids_that_are_no_path_component(main, linked, session_id, where):
    write_metadata(main / where, linked)
    if session_id.startswith("/"):
        session_id = str(main / "elsewhere")
    assert t.recover_binding(session_id, main) is None
    assert t.list_bindings(main) == ()
    r = t.validate_current_binding(main_worktree=main, session_id=session_id, cwd=linked)
    assert r.reason_code == "WORKTREE_BINDING_MISSING"


@pytest.mark.parametrize("name, params", [
    ("register_binding", '(*, session_id, worktree, branch, main_worktree, state_path=None, commit_ish="")'),
    ("load_binding", "(session_id, main_worktree)"),
    ("list_bindings", "(main_worktree)"),
    ("remove_binding", "(session_id, main_worktree)"),
    ("recover_binding", "(session_id, main_worktree)"),
    ("validate_binding", "(binding, *, cwd=None, env=None, check_git=True, options=None)"),
    ("validate_current_binding", "(*, main_worktree, session_id, cwd, env=None, check_git=False, "
                                 "require_registered_binding=True, require_env_worktree=False, "
                                 "require_git_state=False)"),
])
def test_function_signatures(name, params):
    fn = getattr(t, name)
    assert (fn.__text_signature__, fn.__doc__, fn.__module__) == (params, None, "_tidemark")


def test_store_error_text_keeps_a_nul(outside):
    root = f"{outside}/a\x00b"
    with pytest.raises(RuntimeError) as excinfo:
        t.load_binding("s", root)
    assert str(excinfo.value).startswith(f"WORKTREE_PROJECT_CONFIG_UNREADABLE: pyproject.toml at {root}/")
