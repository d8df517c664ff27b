"""WorktreeBinding, BindingValidationResult and BindingValidationOptions."""

import inspect
import json
import math
import weakref
from pathlib import Path

import numpy
import pytest

import _tidemark as t

WB = t.WorktreeBinding
RESULT = t.BindingValidationResult
OPTIONS = t.BindingValidationOptions

KEYS = ["branch", "commit_ish", "git_common_dir", "main_worktree",
        "schema_version", "session_id", "state_path", "worktree"]


def binding(**over):
    args = dict(session_id="sess", worktree="/w", branch="main", state_path="/s",
                git_common_dir="/w/.git", main_worktree="/w")
    args.update(over)
    return WB(**args)


def notes(excinfo):
    return getattr(excinfo.value, "__notes__", [])


# ---- WorktreeBinding -----------------------------------------------------------


def test_constructor_normalises_paths_only(real_tmp):
    (real_tmp / "a").mkdir()
    (real_tmp / "b").mkdir()
    b = WB(" s ", f"{real_tmp}/a/../b", " feat ", f"{real_tmp}/b/./st", "", f"{real_tmp}//b/")
    assert b.worktree == f"{real_tmp}/b"
    assert b.state_path == f"{real_tmp}/b/st"
    assert b.main_worktree == f"{real_tmp}/b"
    assert (b.session_id, b.branch, b.git_common_dir) == (" s ", " feat ", "")
    assert (b.commit_ish, b.schema_version) == ("", 2)
    assert b.schema_version == t.CURRENT_SCHEMA_VERSION


@pytest.mark.parametrize("given, held", [(None, 2), (-1, -1), (7, 7),
                                         (2**63 - 1, 2**63 - 1), (-(2**63), -(2**63))])
def test_schema_version_range(given, held):
    assert binding(schema_version=given).schema_version == held


@pytest.mark.parametrize(
    "over, error, text, param",
    [
        ({"schema_version": 2.0}, TypeError, "'float' object is not an instance of 'int'", "schema_version"),
        ({"schema_version": "2"}, TypeError, "'str' object is not an instance of 'int'", "schema_version"),
        ({"schema_version": 2**63}, OverflowError, None, "schema_version"),
        ({"schema_version": -(2**63) - 1}, OverflowError, None, "schema_version"),
        ({"worktree": Path("/w")}, TypeError, "'PosixPath' object is not an instance of 'str'", "worktree"),
        ({"session_id": None}, TypeError, "'None' is not an instance of 'str'", "session_id"),
        ({"commit_ish": None}, TypeError, "'None' is not an instance of 'str'", "commit_ish"),
        ({"branch": "\udc80"}, UnicodeEncodeError, None, "branch"),
        # Converted in parameter order: the first bad one is reported.
        ({"session_id": 1, "worktree": Path("/w")}, TypeError, None, "session_id"),
        ({"main_worktree": b"/w", "schema_version": 1.5}, TypeError, None, "main_worktree"),
    ],
)
def test_constructor_conversion_errors(over, error, text, param):
    with pytest.raises(error) as excinfo:
        binding(**over)
    assert type(excinfo.value) is error
    if text is not None:
        assert str(excinfo.value) == text
    assert notes(excinfo) == [f"while processing '{param}'"]


def test_repr_shows_two_fields_unquoted():
    assert repr(binding(session_id="abc", branch="main")) == "WorktreeBinding(session_id=abc, branch=main)"
    assert repr(binding(session_id="a'b", branch="x y")) == "WorktreeBinding(session_id=a'b, branch=x y)"


def test_identity_equality_and_hash():
    a, b = binding(), binding()
    assert a == a and a != b
    assert hash(a) == hash(a) and hash(a) != hash(b)
    assert len({a, b}) == 2


def test_to_dict_keys_sorted_and_schema_always_current():
    b = binding(schema_version=7, commit_ish="abc123")
    d = b.to_dict()
    assert list(d) == KEYS
    assert d["schema_version"] == 2 and b.schema_version == 7
    assert d["commit_ish"] == "abc123" and d["git_common_dir"] == "/w/.git"
    again = WB.from_dict(d)
    assert again.schema_version == 2
    assert again.to_dict() == d


def test_to_dict_normalises_again(real_tmp):
    (real_tmp / "w").mkdir()
    (real_tmp / "other").mkdir()
    b = binding(worktree=str(real_tmp / "w"))
    (real_tmp / "w").rmdir()
    (real_tmp / "w").symlink_to(real_tmp / "other")
    assert b.worktree == str(real_tmp / "w")
    assert b.to_dict()["worktree"] == str(real_tmp / "other")


def test_from_dict_reads_aliases_and_writes_canonical_keys():
    b = WB.from_dict(payload={"session_id": "s", "worktree_path": "/w", "branch": "b",
                              "state_path": "/s", "repo_root": "/m", "source_ref": "HEAD~1",
                              "schema_version": 1, "extra": [1, 2]})
    assert (b.worktree, b.main_worktree, b.commit_ish, b.schema_version) == ("/w", "/m", "HEAD~1", 1)
    assert b.git_common_dir == ""
    d = b.to_dict()
    assert list(d) == KEYS and d["schema_version"] == 2


FULL = {"session_id": "s", "worktree": "/w", "branch": "b", "state_path": "/s", "main_worktree": "/m"}


@pytest.mark.parametrize(
    "payload, text",
    [
        ([], "worktree binding payload must be an object"),
        ((), "worktree binding payload must be an object"),
        (None, "worktree binding payload must be an object"),
        ("{}", "worktree binding payload must be an object"),
        ({"session_id": "x"}, "missing required worktree binding field: worktree_path"),
        ({**FULL, "worktree": 5, "worktree_path": "/w"}, "missing required worktree binding field: worktree"),
        ({k: v for k, v in FULL.items() if k not in ("session_id", "branch")},
         "missing required worktree binding field: session_id"),
        ({**FULL, "branch": "\u00a0"}, "missing required worktree binding field: branch"),
        ({**FULL, "main_worktree": None, "repo_root": "/m"},
         "missing required worktree binding field: main_worktree"),
    ],
)
def test_from_dict_rejections(payload, text):
    with pytest.raises(ValueError) as excinfo:
        WB.from_dict(payload)
    assert type(excinfo.value) is ValueError
    assert excinfo.value.args == (text,)
    assert not hasattr(excinfo.value, "reason_code")


def test_from_dict_json_conversion_failures():
    with pytest.raises(TypeError) as excinfo:
        WB.from_dict({**FULL, "x": object()})
    assert "is not JSON serializable" in str(excinfo.value)
    # Non-finite floats, and an integer too large even for a double, are not
    # JSON the parser takes.
    for value in (math.nan, 10**400):
        with pytest.raises(ValueError):
            WB.from_dict({**FULL, "x": value})
    # What json.dumps makes of keys and tuples is what the parser sees.
    assert WB.from_dict({**FULL, 1: (1, 2), None: True}).session_id == "s"


# ---- BindingValidationResult --------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, text, param",
    [
        ({"ok": 1}, "'int' object is not an instance of 'bool'", "ok"),
        ({"ok": None}, "'None' is not an instance of 'bool'", "ok"),
        ({"reason_code": b"X"}, "'bytes' object is not an instance of 'str'", "reason_code"),
        ({"binding": "x"}, "'str' object is not an instance of 'WorktreeBinding'", "binding"),
        ({"binding": {}}, "'dict' object is not an instance of 'WorktreeBinding'", "binding"),
        ({"ok": 0, "binding": "x"}, None, "ok"),
        ({"message": 3, "binding": "x"}, None, "message"),
    ],
)
def test_result_constructor_errors(kwargs, text, param):
    args = {"ok": True, "reason_code": "R", "message": "m", **kwargs}
    with pytest.raises(TypeError) as excinfo:
        RESULT(**args)
    if text is not None:
        assert str(excinfo.value) == text
    assert notes(excinfo) == [f"while processing '{param}'"]


@pytest.mark.parametrize("ok", [True, False, numpy.bool_(True), numpy.bool_(False)])
def test_result_holds_what_it_was_given(ok):
    r = RESULT(ok, "", "")
    assert r.ok is bool(ok)
    assert (r.reason_code, r.message, r.binding) == ("", "", None)
    assert RESULT(ok=ok, reason_code="ANY", message="x", binding=None).binding is None


def test_result_binding_is_a_fresh_copy_on_every_read():
    b = binding(worktree="/nonexistent/a/../b", schema_version=9)
    r = RESULT(False, "WORKTREE_CWD_MISMATCH", "cwd does not match worktree binding", b)
    first, second = r.binding, r.binding
    assert first is not second and first is not b
    for attr in ["session_id", "worktree", "branch", "state_path", "git_common_dir",
                 "main_worktree", "commit_ish", "schema_version"]:
        assert getattr(first, attr) == getattr(second, attr) == getattr(b, attr)


# ---- BindingValidationOptions -------------------------------------------------


def test_options_defaults_and_assignment():
    o = OPTIONS()
    assert (o.require_env_worktree, o.require_git_state) == (False, False)
    o.require_git_state = True
    o.require_env_worktree = numpy.bool_(True)
    assert o.require_env_worktree is True and o.require_git_state is True
    o = OPTIONS(numpy.bool_(True), require_git_state=numpy.bool_(False))
    assert (o.require_env_worktree, o.require_git_state) == (True, False)


@pytest.mark.parametrize("value", [1, 0, None, "yes", numpy.int64(1)])
def test_options_assignment_needs_a_bool(value):
    o = OPTIONS(require_git_state=True)
    with pytest.raises(TypeError) as excinfo:
        o.require_git_state = value
    assert notes(excinfo) == ["while processing 'v'"]
    assert o.require_git_state is True
    with pytest.raises(TypeError) as excinfo:
        OPTIONS(require_env_worktree=value)
    assert notes(excinfo) == ["while processing 'require_env_worktree'"]


def test_options_delete_refused():
    o = OPTIONS(True, True)
    for name in ("require_env_worktree", "require_git_state"):
        with pytest.raises(AttributeError, match="^property has no deleter$"):
            delattr(o, name)
    assert (o.require_env_worktree, o.require_git_state) == (True, True)


def numpy_like(on_bool):
    """An object the module takes for a numpy boolean: its __bool__ runs
    `on_bool` and answers True."""

    class bool_:
        __module__ = "numpy"

        def __bool__(self):
            on_bool()
            return True

    return bool_()


@pytest.mark.parametrize(
    "inside, text",
    [
        (lambda o: o.require_git_state, "Already mutably borrowed"),
        (lambda o: o.require_env_worktree, "Already mutably borrowed"),
        (lambda o: setattr(o, "require_git_state", True), "Already borrowed"),
        (lambda o: setattr(o, "require_env_worktree", False), "Already borrowed"),
    ],
)
def test_access_during_assignment_is_a_borrow_conflict(inside, text):
    o = OPTIONS()
    with pytest.raises(RuntimeError) as excinfo:
        o.require_env_worktree = numpy_like(lambda: inside(o))
    assert excinfo.value.args == (text,)
    assert notes(excinfo)[-1] == "while processing 'v'"
    assert (o.require_env_worktree, o.require_git_state) == (False, False)
    # The flag was given back: the object works as before.
    o.require_env_worktree = True
    assert o.require_env_worktree is True


def test_validation_cannot_borrow_options_being_written():
    o = OPTIONS()
    seen = []

    def validate():
        with pytest.raises(RuntimeError) as excinfo:
            t.validate_binding(binding(), check_git=False, options=o)
        seen.append((excinfo.value.args, notes(excinfo)))

    o.require_git_state = numpy_like(validate)
    assert seen == [(("Already mutably borrowed",), ["while processing 'options'"])]
    assert o.require_git_state is True
    assert t.validate_binding(binding(), check_git=False, options=o).ok


def test_numpy_like_bool_must_answer_a_bool():
    class bool_:
        __module__ = "numpy"

        def __bool__(self):
            return 1

    with pytest.raises(TypeError) as excinfo:
        OPTIONS(require_git_state=bool_())
    assert notes(excinfo) == ["while processing 'require_git_state'"]


# ---- what the four constructible classes share ---------------------------------


@pytest.fixture
def instances(outside):
    return {
        "WorktreeBinding": binding(),
        "BindingValidationResult": RESULT(True, "WORKTREE_BINDING_OK", "ok"),
        "BindingValidationOptions": OPTIONS(),
        "WorktreeBindingStore": t.WorktreeBindingStore(main_worktree=outside),
    }


SIGNATURES = {
    "WorktreeBinding": '(session_id, worktree, branch, state_path, git_common_dir, main_worktree, '
                       'commit_ish="", schema_version=None)',
    "BindingValidationResult": "(ok, reason_code, message, binding=None)",
    "BindingValidationOptions": "(require_env_worktree=False, require_git_state=False)",
    "WorktreeBindingStore": "(*, main_worktree)",
}
READ_ONLY = {
    "WorktreeBinding": ["session_id", "worktree", "schema_version", "commit_ish"],
    "BindingValidationResult": ["ok", "reason_code", "message", "binding"],
    "BindingValidationOptions": [],
    "WorktreeBindingStore": ["path", "main_worktree"],
}


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_class_traits(name, instances):
    cls = getattr(t, name)
    obj = instances[name]
    assert cls.__module__ == "brackwater.api" and cls.__name__ == cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    # The documentation is the signature alone, which the interpreter
    # moves to __text_signature__.
    assert cls.__doc__ == ""
    assert cls.__text_signature__ == SIGNATURES[name]
    assert str(inspect.signature(cls)) == SIGNATURES[name].replace('""', "''")
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(AttributeError):
        obj.undefined = 1
    for attr in READ_ONLY[name]:
        before = getattr(obj, attr)
        with pytest.raises(AttributeError):
            setattr(obj, attr, before)
    assert type(obj).__eq__ is object.__eq__ and type(obj).__hash__ is object.__hash__


@pytest.mark.parametrize(
    "method, text_signature, signature",
    [
        (WB.to_dict, "($self)", "(self, /)"),
        (WB.from_dict, "($cls, payload)", "(payload)"),
        (t.WorktreeBindingStore.load, "($self, session_id)", "(self, /, session_id)"),
        (t.WorktreeBindingStore.upsert, "($self, binding)", "(self, /, binding)"),
        (t.WorktreeBindingStore.list, "($self)", "(self, /)"),
        (t.WorktreeBindingStore.remove, "($self, session_id)", "(self, /, session_id)"),
    ],
)
def test_method_signatures(method, text_signature, signature):
    assert method.__text_signature__ == text_signature
    assert str(inspect.signature(method)) == signature


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: binding().to_dict(1), "WorktreeBinding.to_dict() takes 0 positional arguments but 1 was given"),
        (lambda: WB.from_dict(), "WorktreeBinding.from_dict() missing 1 required positional argument: 'payload'"),
        (lambda: WB.from_dict({}, payload={}),
         "WorktreeBinding.from_dict() got multiple values for argument 'payload'"),
    ],
)
def test_method_argument_errors(call, text):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert str(excinfo.value) == text


def test_texts_with_nul_and_non_ascii_survive_the_dict_form():
    b = binding(session_id="ü\n\"", branch="a\x00b", commit_ish="\x00")
    again = WB.from_dict(json.loads(json.dumps(b.to_dict())))
    assert (again.session_id, again.branch, again.commit_ish) == ("ü\n\"", "a\x00b", "\x00")
    assert repr(again) == "WorktreeBinding(session_id=ü\n\", branch=a\x00b)"
