"""A C++ exception inside an entry from the interpreter becomes a Python
exception instead of aborting the process; the unwind that ends a thread at
interpreter exit passes through."""

import os
import subprocess
import sys
import textwrap

import pytest

import _tidemark as t
from conftest import git
from pythons import cpythons

# In a child: a binding holding a 64 MiB text, then an address-space limit
# 32 MiB above what the process maps, so that copying the text in C++ fails
# while the interpreter's own small allocations still succeed.
CHILD = textwrap.dedent("""
    import resource, sys, _tidemark as t
    big = "x" * (64 << 20)
    b = t.WorktreeBinding(big, "/w", "b", "/s", "", "/m")
    with open("/proc/self/status") as f:
        vm = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (vm + (32 << 20), resource.RLIM_INFINITY))
    entry = {"constructor": lambda: t.WorktreeBinding(big, "/w", "b", "/s", "", "/m"),
             "repr": lambda: repr(b)}[sys.argv[1]]
    try:
        entry()
    except MemoryError:
        print("MemoryError")
""")


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's allocator aborts on an exhausted address space")
@pytest.mark.parametrize("entry", ["constructor", "repr"])
def test_exhausted_memory_is_a_memory_error(entry):
    out = subprocess.run([sys.executable, "-c", CHILD, entry], capture_output=True, text=True, timeout=60)
    assert (out.returncode, out.stdout.strip()) == (0, "MemoryError"), out.stderr[-2000:]


# In a child: daemon threads call `sys.argv[2]` over and over on the
# repository `sys.argv[1]` until the main thread returns. Each call gives the
# interpreter lock up while git runs; threads that come back while the
# interpreter finalises are ended by it from inside the call.
DAEMONS = textwrap.dedent("""
    import sys, threading, time, _tidemark as t
    repo, name = sys.argv[1], sys.argv[2]
    call = {
        "list_worktrees": lambda: t.list_worktrees(repo),
        "validate_main_worktree": lambda: t.validate_main_worktree(repo),
        "resolve_git_worktree": lambda: t.resolve_git_worktree(repo),
        "register_binding": lambda: t.register_binding(session_id="s", worktree=repo, branch="main",
                                                       main_worktree=repo),
        "validate_current_binding": lambda: t.validate_current_binding(main_worktree=repo, session_id="s",
                                                                       cwd=repo, check_git=True),
    }[name]

    def loop():
        while True:
            call()

    for _ in range(6):
        threading.Thread(target=loop, daemon=True).start()
    time.sleep(0.3)
""")


# Real git, not a slow one: the threads must come back often enough that
# some of them ask for the lock during the short finalisation.
@pytest.mark.parametrize("python", [pytest.param(exe, id="%d.%d" % v) for v, exe in cpythons()])
@pytest.mark.parametrize("call", ["list_worktrees", "validate_main_worktree", "resolve_git_worktree",
                                  "register_binding", "validate_current_binding"])
def test_exit_with_daemon_threads_inside_calls(repo, call, python):
    git(repo, "commit", "-q", "--allow-empty", "-m", "initial")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(t.__file__))
    out = subprocess.run([python, "-c", DAEMONS, str(repo), call], env=env, capture_output=True, text=True,
                         timeout=60)
    assert (out.returncode, out.stderr) == (0, "")
