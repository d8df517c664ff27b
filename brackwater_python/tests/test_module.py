"""Module start-up, vocabulary, exception types and the calling conventions."""

import importlib
import inspect
import re
import sys
from pathlib import Path, PurePosixPath

import pytest

import _tidemark as t

# Every public name in registration order.
CONSTANTS = """
    CURRENT_SCHEMA_VERSION LEGACY_PROJECT_ID MAIN_BRANCHES AUDIT_KINDS AUDIT_INVOKERS
    AUDIT_OUTCOMES TESSARY_WORKTREE_ENV TESSARY_BRANCH_ENV TESSARY_WORKTREE_BASE_ENV
    TESSARY_PROJECT_ROOT_ENV TESSARY_REPO_ROOT_ENV TESSARY_STATE_DIR_ENV TESSARY_SHARED_DIR_ENV
    PLOWLINE_SHARED_DIR_ENV UV_PROJECT_ENV WORKTREE_IDENTITY_ENV_VARS WORKTREE_LOCATION_ENV_VARS
    WORKTREE_PROJECT_ENV_VARS BRACKWATER_ENV_VARS""".split()
CLASSES = """
    WorktreeBinding BindingValidationResult BindingValidationOptions GitWorktree
    WorktreePreconditionResult AuditRecord WorktreeBindingStore WorktreeListEntry
    GitHubPolicy""".split()
EXCEPTIONS = ["WorktreeListError", "ProjectIdInvalidError"]
# Every function in registration order, with its published parameter list.
SIGNATURES = {
    "normalize_path": '(raw_path="")',
    "path_fingerprint": "(input_path)",
    "resolve_project_id": "(repo_root=None)",
    "resolve_state_dir_name": "(project_id=None)",
    "state_dir": "(repo_root=None)",
    "store_relative_path": "(project_id=None)",
    "resolve_worktree_base": "(explicit_base=None, repo_root=None, home=None)",
    "resolve_known_worktree_bases": "(repo_root=None, home=None)",
    "resolve_worktree_dir": "(worktree_name, explicit_base=None, repo_root=None, home=None)",
    "set_tessary_project_root_for_worktree": "(target_path=None)",
    "register_binding": '(*, session_id, worktree, branch, main_worktree, state_path=None, commit_ish="")',
    "load_binding": "(session_id, main_worktree)",
    "list_bindings": "(main_worktree)",
    "remove_binding": "(session_id, main_worktree)",
    "recover_binding": "(session_id, main_worktree)",
    "validate_binding": "(binding, *, cwd=None, env=None, check_git=True, options=None)",
    "validate_current_binding": "(*, main_worktree, session_id, cwd, env=None, check_git=False, "
                                "require_registered_binding=True, require_env_worktree=False, "
                                "require_git_state=False)",
    "resolve_git_worktree": "(cwd=None)",
    "is_main_worktree": "(context)",
    "validate_main_worktree": "(cwd=None, allowed_branches=None)",
    "record_event": "(kind, branch, worktree, invoker, outcome, *, session_id=None, elapsed_ms=None, "
                    "correlation_id=None, extra=None, strict=False)",
    "read_records": "(branch=None, worktree=None, since=None, until=None)",
    "reap_rotation_sentinel": "()",
    "list_worktrees": "(repo_root, *, run=None)",
    "resolve_github_policy": "(project_root=None)",
    "resolve_main_branches": "(project_root=None)",
    "worktree_identity_env_vars": "()",
    "brackwater_env_vars": "()",
}
FUNCTIONS = list(SIGNATURES)
EXPECTED_ALL = CONSTANTS + CLASSES + EXCEPTIONS + FUNCTIONS

IDENTITY = ("TESSARY_WORKTREE", "TESSARY_BRANCH")
LOCATION = ("TESSARY_WORKTREE_BASE", "TESSARY_REPO_ROOT")
PROJECT = ("TESSARY_PROJECT_ROOT", "TESSARY_STATE_DIR", "TESSARY_SHARED_DIR", "UV_PROJECT")

NO_ARGS = ["worktree_identity_env_vars", "brackwater_env_vars"]
# Function name -> its one text parameter.
ONE_STR = {"normalize_path": "raw_path", "path_fingerprint": "input_path",
           "resolve_project_id": "repo_root",
           "resolve_state_dir_name": "project_id", "state_dir": "repo_root",
           "store_relative_path": "project_id"}


def test_all_follows_registration_order_and_names_attributes():
    assert (len(CONSTANTS), len(CLASSES), len(EXCEPTIONS), len(FUNCTIONS)) == (19, 9, 2, 28)
    assert len(set(EXPECTED_ALL)) == 58
    assert isinstance(t.__all__, list)
    assert t.__all__ == EXPECTED_ALL
    for name in t.__all__:
        assert hasattr(t, name), name
    public = {n for n in dir(t) if not n.startswith("_")}
    assert public == set(t.__all__)
    assert t.__doc__ == ""
    assert not hasattr(t, "__version__")


@pytest.mark.parametrize(
    "name, value, kind",
    [
        ("CURRENT_SCHEMA_VERSION", 2, int),
        ("LEGACY_PROJECT_ID", "tessary", str),
        ("MAIN_BRANCHES", frozenset({"main", "master"}), frozenset),
        ("AUDIT_KINDS", ("worktree_remove", "branch_delete"), tuple),
        ("AUDIT_INVOKERS", ("canonical_wrapper", "raw_git", "cleanup_merged",
                            "pending_cleanup_hook", "orphan_reaper", "unknown"), tuple),
        ("AUDIT_OUTCOMES", ("success", "failed", "refused", "attempted"), tuple),
        ("PLOWLINE_SHARED_DIR_ENV", "PLOWLINE_SHARED_DIR", str),
        ("UV_PROJECT_ENV", "UV_PROJECT", str),
        ("WORKTREE_IDENTITY_ENV_VARS", IDENTITY, tuple),
        ("WORKTREE_LOCATION_ENV_VARS", LOCATION, tuple),
        ("WORKTREE_PROJECT_ENV_VARS", PROJECT, tuple),
        ("BRACKWATER_ENV_VARS", IDENTITY + LOCATION + PROJECT, tuple),
    ]
    + [(f"{v}_ENV", v, str) for v in ("TESSARY_WORKTREE", "TESSARY_BRANCH",
       "TESSARY_WORKTREE_BASE", "TESSARY_PROJECT_ROOT", "TESSARY_REPO_ROOT",
       "TESSARY_STATE_DIR", "TESSARY_SHARED_DIR")],
)
def test_constants(name, value, kind):
    got = getattr(t, name)
    assert type(got) is kind
    assert got == value


def test_env_functions_match_constants_and_return_new_tuples():
    assert t.worktree_identity_env_vars() == t.WORKTREE_IDENTITY_ENV_VARS
    assert t.brackwater_env_vars() == t.BRACKWATER_ENV_VARS
    assert t.brackwater_env_vars() == (
        t.WORKTREE_IDENTITY_ENV_VARS + t.WORKTREE_LOCATION_ENV_VARS + t.WORKTREE_PROJECT_ENV_VARS
    )
    assert type(t.brackwater_env_vars()) is tuple
    assert t.brackwater_env_vars() is not t.BRACKWATER_ENV_VARS


@pytest.mark.parametrize(
    "name, base, doc",
    [
        ("WorktreeListError", Exception,
         "Raised when list_worktrees cannot produce a reliable enumeration."),
        ("ProjectIdInvalidError", ValueError,
         "Raised when a raw project_id fails the normative pattern."),
    ],
)
def test_exception_types(name, base, doc):
    exc = getattr(t, name)
    assert exc.__bases__ == (base,)
    assert (exc.__module__, exc.__name__, exc.__doc__) == ("_tidemark", name, doc)
    made = exc("boom")
    assert made.args == ("boom",) and str(made) == "boom"
    assert not hasattr(made, "reason_code")


def test_module_raised_project_error_carries_reason_code_and_message_only():
    with pytest.raises(t.ProjectIdInvalidError) as info:
        t.resolve_state_dir_name("Bad")
    assert info.value.reason_code == "PROJECT_ID_INVALID"
    assert info.value.args == (
        "project_id \"Bad\" does not match the normative pattern '^[a-z][a-z0-9_-]{0,63}$'",
    )
    assert "PROJECT_ID_INVALID" not in str(info.value)
    assert not hasattr(info.value, "__notes__")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: t.path_fingerprint(),
         "path_fingerprint() missing 1 required positional argument: 'input_path'"),
        (lambda: t.path_fingerprint(input_path="a", foo=1),
         "path_fingerprint() got an unexpected keyword argument 'foo'"),
        (lambda: t.normalize_path(foo="x"),
         "normalize_path() got an unexpected keyword argument 'foo'"),
        (lambda: t.normalize_path(**{"a\0b": 1}),
         "normalize_path() got an unexpected keyword argument 'a\0b'"),
        (lambda: t.normalize_path("a", raw_path="b"),
         "normalize_path() got multiple values for argument 'raw_path'"),
        (lambda: t.path_fingerprint("a", "b"),
         "path_fingerprint() takes 1 positional arguments but 2 were given"),
        (lambda: t.normalize_path("a", "b"),
         "normalize_path() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda: t.state_dir(None, None, None),
         "state_dir() takes from 0 to 1 positional arguments but 3 were given"),
        # Too many positionals is checked before any keyword.
        (lambda: t.resolve_project_id("a", "b", bogus=1),
         "resolve_project_id() takes from 0 to 1 positional arguments but 2 were given"),
        # Keywords are checked before missing parameters.
        (lambda: t.path_fingerprint(bogus=1),
         "path_fingerprint() got an unexpected keyword argument 'bogus'"),
    ],
)
def test_argument_error_texts(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert not hasattr(info.value, "__notes__")


# The list forms of "missing" and the "was" form need functions with two or
# more required parameters or none positional.
@pytest.mark.parametrize(
    "func, args, kwargs, message",
    [
        ("load_binding", (), {},
         "load_binding() missing 2 required positional arguments: 'session_id' and 'main_worktree'"),
        ("register_binding", (), {},
         "register_binding() missing 4 required keyword arguments: "
         "'session_id', 'worktree', 'branch', and 'main_worktree'"),
        ("register_binding", ("x",), {},
         "register_binding() takes 0 positional arguments but 1 was given"),
        ("validate_current_binding", (), {"cwd": "/"},
         "validate_current_binding() missing 2 required keyword arguments: "
         "'main_worktree' and 'session_id'"),
    ],
)
def test_argument_error_name_lists(func, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(t, func)(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("func", sorted(ONE_STR))
@pytest.mark.parametrize(
    "value, error, text",
    [
        (3, TypeError, "'int' object is not an instance of 'str'"),
        (b"x", TypeError, "'bytes' object is not an instance of 'str'"),
        ("\ud800", UnicodeEncodeError, None),
    ],
)
def test_conversion_errors_name_the_parameter(func, value, error, text):
    param = ONE_STR[func]
    for call in (lambda: getattr(t, func)(value), lambda: getattr(t, func)(**{param: value})):
        with pytest.raises(error) as info:
            call()
        assert type(info.value) is error
        if text is not None:
            assert str(info.value) == text
        assert info.value.__notes__ == [f"while processing '{param}'"]


@pytest.mark.parametrize("func", ["normalize_path", "path_fingerprint"])
@pytest.mark.parametrize(
    "value, text",
    [(None, "'None' is not an instance of 'str'"),  # None is no text where the default is not None
     (PurePosixPath("/"), "'PurePosixPath' object is not an instance of 'str'")],
)
def test_text_only_parameters(func, value, text):
    with pytest.raises(TypeError) as info:
        getattr(t, func)(value)
    assert str(info.value) == text
    assert info.value.__notes__ == [f"while processing '{ONE_STR[func]}'"]


def test_str_subclass_is_text():
    assert t.resolve_state_dir_name(type("S", (str,), {})("alpha")) == ".alpha"


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_objects(name):
    fn = getattr(t, name)
    assert fn.__text_signature__ == SIGNATURES[name]
    assert fn.__doc__ is None
    assert str(inspect.signature(fn)) == SIGNATURES[name].replace('""', "''")
    assert fn.__self__ is t
    assert fn.__module__ == "_tidemark"
    assert fn.__name__ == name


@pytest.mark.parametrize("name", NO_ARGS)
@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((None,), {}), ((), {"x": 1})])
def test_no_argument_functions_refuse_any(name, args, kwargs):
    with pytest.raises(TypeError):
        getattr(t, name)(*args, **kwargs)


def test_reimport_makes_new_module_sharing_exception_types(monkeypatch):
    old = sys.modules["_tidemark"]
    monkeypatch.delitem(sys.modules, "_tidemark")
    new = importlib.import_module("_tidemark")
    monkeypatch.setitem(sys.modules, "_tidemark", old)  # restored at teardown
    assert new is not old
    assert new.__all__ == old.__all__ and new.__all__ is not old.__all__
    for name in EXCEPTIONS:
        assert getattr(new, name) is getattr(old, name)
    # Small ints are shared by the interpreter; every other constant is rebuilt.
    for name in CONSTANTS[1:] + FUNCTIONS:
        assert getattr(new, name) is not getattr(old, name), name
    assert new.BRACKWATER_ENV_VARS == old.BRACKWATER_ENV_VARS
    assert new.normalize_path.__self__ is new
    with pytest.raises(old.ProjectIdInvalidError):
        new.resolve_state_dir_name("Bad")


CLASS_METHOD = type(dict.__dict__["fromkeys"])


def reference():
    """The README's reference as the module itself gives it: functions, then
    classes with their methods and attributes, then exceptions and constants."""
    def sig(obj, bound=False):
        s = inspect.signature(obj)
        return str(s.replace(parameters=list(s.parameters.values())[1:]) if bound else s)

    functions, classes, exceptions, constants = [], [], [], []
    for name in t.__all__:
        obj = getattr(t, name)
        if isinstance(obj, type) and issubclass(obj, BaseException):
            exceptions.append(f"exception {name}({obj.__base__.__name__})")
        elif isinstance(obj, type):
            members = {k: v for k, v in vars(obj).items() if not k.startswith("_")}
            classes.append(f"class {name}{sig(obj) if obj.__text_signature__ else ''}")
            classes += [f"    .{k}{sig(v, bound=True)}{'  (class method)' if isinstance(v, CLASS_METHOD) else ''}"
                        for k, v in members.items() if callable(v)]
            classes.append("    attributes: " + ", ".join(k for k, v in members.items() if not callable(v)))
        elif callable(obj):
            functions.append(f"{name}{sig(obj)}")
        else:
            constants.append(name)
    return "\n".join([*functions, "", *classes, "", *exceptions, "", "constants: " + ", ".join(constants)])


def test_readme_reference_is_the_modules_own():
    readme = (Path(__file__).resolve().parents[2] / "README.md").read_text(encoding="utf-8")
    block = re.search(r"^## Reference\n.*?^```\n(.*?)^```$", readme, re.M | re.S)
    assert block, "README.md has no ## Reference section with a code block"
    assert block.group(1).rstrip("\n") == reference(), f"README.md's reference should read:\n{reference()}"
