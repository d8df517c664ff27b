"""Ctrl-C ends a call that waits for a file lock held by another process,
or for a git that hangs, with KeyboardInterrupt, and the call writes nothing."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import _tidemark as t
from pythons import cpythons
from test_hostile_files import CHILD_TIMEOUT, HOLD_LOCK

LIVE = "worktree-events.ndjson"
# Seconds into the call with the large `extra` when Ctrl-C comes: past the
# interpreter's own json.dumps, in the core's work before the lock. On a
# loaded machine it may come earlier in the call, which ends the same way.
BUILD_DELAY = 0.8



# Python keeps a SIGINT its parent ignored ignored (under nohup, or a CI runner
# that starts jobs so): a program that expects KeyboardInterrupt says so itself.
CTRL_C_RAISES = "import signal; signal.signal(signal.SIGINT, signal.default_int_handler)"

# Prints its pid, then runs the statement sys.argv[2] against the root sys.argv[1].
CALLER = textwrap.dedent(f"""
    import os, sys, _tidemark as t
    {CTRL_C_RAISES}
    root = sys.argv[1]
    print(os.getpid(), flush=True)
    exec(sys.argv[2])
""")

REGISTER = "t.register_binding(session_id='n', worktree=root, branch='main', main_worktree=root)"

# name: (statement, what it waits for when the signal comes: a lock, a git,
# or the line it builds before it takes the lock)
CALLS = {
    "load_binding": ("t.load_binding('s', root)", "lock"),
    "list_bindings": ("t.list_bindings(root)", "lock"),
    "remove_binding": ("t.remove_binding('s', root)", "lock"),
    "store.upsert": ("t.WorktreeBindingStore(main_worktree=root).upsert(t.WorktreeBinding('n', '/w', 'b', '/s', '', root))",
                     "lock"),
    "store.remove": ("t.WorktreeBindingStore(main_worktree=root).remove('s')", "lock"),
    "record_event": ("t.record_event('k', 'b', '/w', 'i', 'o')", "lock"),
    "record_event-strict": ("t.record_event('k', 'b', '/w', 'i', 'o', strict=True)", "lock"),
    "record_event-building": ("extra = {f'k{i}': 'v' * 20 for i in range(1_000_000)}; print(flush=True); "
                              "t.record_event('k', 'b', '/w', 'i', 'o', extra=extra)", "build"),
    # These give the interpreter lock up while they wait.
    "register_binding": (REGISTER, "lock"),
    "validate_current_binding": ("t.validate_current_binding(main_worktree=root, session_id='s', cwd=root)", "lock"),
    "git-list_worktrees": ("t.list_worktrees(root)", "git"),
    "git-load_binding": ("t.load_binding('s', root)", "git"),
    "git-register_binding": (REGISTER, "git"),
}

# A git that records its pid and hangs far beyond any limit.
HUNG_GIT = "#!/bin/sh\necho $$ >> \"$0.pids\"\nexec sleep 100\n"


def waiting_for_flock(pid):
    with open("/proc/locks") as f:
        return any(line.split()[1:3] == ["->", "FLOCK"] and line.split()[5] == str(pid) for line in f)


def end(*children):
    """Kills and reaps the child processes given (None stands for none)."""
    for child in filter(None, children):
        child.kill()
        child.wait()


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True


@pytest.mark.parametrize("call", CALLS)
def test_ctrl_c_ends_a_wait_and_writes_nothing(repo, tmp_path, monkeypatch, call):
    statement, waits_for = CALLS[call]
    monkeypatch.setenv("PLOWLINE_SHARED_DIR", str(repo / "shared"))
    if call.startswith("record_event"):
        t.record_event("k", "b", "/w", "i", "o", strict=True)
        target = lock = str(repo / "shared" / "audit" / LIVE)
    else:
        store = t.WorktreeBindingStore(main_worktree=repo)
        store.upsert(t.WorktreeBinding("s", "/w", "b", "/s", "", str(repo)))
        target, lock = store.path, f"{store.path}.lock"
    before = open(target, "rb").read()

    env = dict(os.environ)
    holder = None
    if waits_for != "git":
        # Held until the test ends: a call that waited for it would never end by itself.
        holder = subprocess.Popen([sys.executable, "-c", HOLD_LOCK, lock, str(10 * CHILD_TIMEOUT)],
                                  stdout=subprocess.PIPE, text=True)
        assert holder.stdout.readline() == "locked\n"
    else:
        (tmp_path / "git").write_text(HUNG_GIT)
        (tmp_path / "git").chmod(0o755)
        env["PATH"] = f"{tmp_path}:{env['PATH']}"
    git_pids = tmp_path / "git.pids"
    caller = subprocess.Popen([sys.executable, "-c", CALLER, str(repo), statement], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        pid = int(caller.stdout.readline())
        if waits_for == "build":
            caller.stdout.readline()  # the call starts now, converts `extra` with json.dumps, then builds its line
            time.sleep(BUILD_DELAY)
        deadline = time.monotonic() + CHILD_TIMEOUT
        while waits_for != "build" and not (waiting_for_flock(pid) if holder else git_pids.exists()):
            assert time.monotonic() < deadline and caller.poll() is None, "the call never waited"
            time.sleep(0.01)
        caller.send_signal(signal.SIGINT)
        # A hung git's wait would end without the signal once git's limit passed (10 s at the
        # shortest); a lock wait never does, so a call that ended did so while the lock was held,
        # however long a loaded machine took to build the line.
        _, err = caller.communicate(timeout=5 if waits_for == "git" else CHILD_TIMEOUT)
        held = holder is None or holder.poll() is None
    finally:
        end(caller, holder)
    assert held and caller.returncode == -signal.SIGINT, err
    assert err.rstrip().endswith("\nKeyboardInterrupt"), err
    assert "RuntimeError" not in err and "[WORKTREE-AUDIT-FAILOPEN]" not in err, err
    assert open(target, "rb").read() == before
    if waits_for == "git":
        assert not any(alive(int(p)) for p in git_pids.read_text().split())


# A daemon thread waits for the store lock with the interpreter lock given up;
# the main thread blocks SIGWINCH, so every one sent reaches that thread, whose
# wait then takes the interpreter lock back, also while the interpreter
# finalises: that ends the thread from inside the wait. The handler is a C
# function (srand, harmless) that the interpreter does not reset at exit, and
# it does not restart what it interrupts.
EXITING = textwrap.dedent("""
    import ctypes, signal, sys, threading, _tidemark as t
    root = sys.argv[1]
    libc = ctypes.CDLL(None)
    libc.signal.argtypes, libc.signal.restype = (ctypes.c_int, ctypes.c_void_p), ctypes.c_void_p
    libc.signal(signal.SIGWINCH, ctypes.cast(libc.srand, ctypes.c_void_p).value)
    libc.siginterrupt(signal.SIGWINCH, 1)
    threading.Thread(target=lambda: t.register_binding(session_id='n', worktree=root, branch='main',
                                                       main_worktree=root), daemon=True).start()
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGWINCH})
    sys.stdin.readline()
""")


@pytest.mark.parametrize("python", [pytest.param(exe, id="%d.%d" % v) for v, exe in cpythons()])
def test_exit_while_a_signalled_thread_waits_for_a_lock(repo, python):
    lock = t.WorktreeBindingStore(main_worktree=repo).path + ".lock"
    os.makedirs(os.path.dirname(lock), exist_ok=True)
    holder = subprocess.Popen([sys.executable, "-c", HOLD_LOCK, lock, str(CHILD_TIMEOUT)],
                              stdout=subprocess.PIPE, text=True)
    assert holder.stdout.readline() == "locked\n"
    env = dict(os.environ, PYTHONPATH=os.path.dirname(t.__file__))
    caller = subprocess.Popen([python, "-c", EXITING, str(repo)], env=env, stdin=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + CHILD_TIMEOUT
        while not waiting_for_flock(caller.pid):
            assert time.monotonic() < deadline and caller.poll() is None, "the call never waited"
            time.sleep(0.01)
        caller.stdin.write("exit\n")
        caller.stdin.close()
        while caller.poll() is None and time.monotonic() < deadline:
            os.kill(caller.pid, signal.SIGWINCH)
            time.sleep(0.0005)
        err = caller.stderr.read()
    finally:
        end(caller, holder)
    assert (caller.returncode, err) == (0, "")
