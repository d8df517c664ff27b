"""The module in sub-interpreters of the newest CPython present."""

import os
import subprocess
import textwrap

import pytest

import _tidemark as t
from pythons import cpythons

# Runs in one CPython: a first sub-interpreter imports the module and is
# destroyed; then the main interpreter and a second sub-interpreter use it.
# Each checks that store_relative_path gives a pathlib.Path of its own
# interpreter. Prints "ok" when all three pass.
SCRIPT = textwrap.dedent("""
    import sys
    CHECK = '''
    import pathlib, _tidemark
    p = _tidemark.store_relative_path("alpha")
    assert isinstance(p, pathlib.Path), type(p)
    assert p == pathlib.Path(".alpha/state/brackwater/bindings.json"), p
    '''
    try:
        import _interpreters as subs          # 3.13
        def create(): return subs.create("legacy")
        def run(i, code):
            failure = subs.exec(i, code)
            if failure is not None:
                raise SystemExit(f"failed in a sub-interpreter: {failure.formatted}")
    except ImportError:
        import _xxsubinterpreters as subs     # 3.11, 3.12
        def create():
            try:
                return subs.create(isolated=False)
            except TypeError:
                return subs.create()
        run = subs.run_string

    first = create()
    run(first, CHECK)
    subs.destroy(first)
    exec(CHECK)
    second = create()
    run(second, CHECK)
    run(second, CHECK)
    subs.destroy(second)
    print("ok")
""")


def newest_python():
    """The newest CPython 3.12+ found here, as (version, path), or None."""
    found = cpythons((3, 12))
    return found[-1] if found else None


def test_each_interpreter_gets_its_own_path_class():
    found = newest_python()
    if found is None:
        pytest.skip("no CPython 3.12 or newer with sub-interpreters")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(t.__file__))
    out = subprocess.run([found[1], "-c", SCRIPT], env=env, capture_output=True, text=True, timeout=60)
    assert (out.returncode, out.stdout.strip()) == (0, "ok"), out.stderr
