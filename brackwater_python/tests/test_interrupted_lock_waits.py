"""Ctrl-C ends a call that waits for a file lock held by another process,
with KeyboardInterrupt, and the call writes nothing."""

import signal
import subprocess
import sys
import textwrap
import time

import pytest

import _tidemark as t
from test_hostile_files import CHILD_TIMEOUT, HOLD_LOCK

LIVE = "worktree-events.ndjson"

# Prints its pid, then runs the statement sys.argv[2] against the root sys.argv[1].
CALLER = textwrap.dedent("""
    import os, sys, _tidemark as t
    root = sys.argv[1]
    store = t.WorktreeBindingStore(main_worktree=root)
    print(os.getpid(), flush=True)
    exec(sys.argv[2])
""")

CALLS = {
    "load_binding": "t.load_binding('s', root)",
    "list_bindings": "t.list_bindings(root)",
    "remove_binding": "t.remove_binding('s', root)",
    "store.upsert": "store.upsert(t.WorktreeBinding('n', '/w', 'b', '/s', '', root))",
    "store.remove": "store.remove('s')",
    "record_event": "t.record_event('k', 'b', '/w', 'i', 'o')",
    "record_event-strict": "t.record_event('k', 'b', '/w', 'i', 'o', strict=True)",
}


def waiting_for_flock(pid):
    with open("/proc/locks") as f:
        return any(line.split()[1:3] == ["->", "FLOCK"] and line.split()[5] == str(pid) for line in f)


@pytest.mark.parametrize("call", CALLS)
def test_ctrl_c_ends_a_lock_wait_and_writes_nothing(outside, monkeypatch, call):
    monkeypatch.setenv("PLOWLINE_SHARED_DIR", str(outside / "shared"))
    if call.startswith("record_event"):
        t.record_event("k", "b", "/w", "i", "o", strict=True)
        target = lock = str(outside / "shared" / "audit" / LIVE)
    else:
        store = t.WorktreeBindingStore(main_worktree=outside)
        store.upsert(t.WorktreeBinding("s", "/w", "b", "/s", "", str(outside)))
        target, lock = store.path, f"{store.path}.lock"
    before = open(target, "rb").read()

    holder = subprocess.Popen([sys.executable, "-c", HOLD_LOCK, lock, str(CHILD_TIMEOUT)],
                              stdout=subprocess.PIPE, text=True)
    assert holder.stdout.readline() == "locked\n"
    caller = subprocess.Popen([sys.executable, "-c", CALLER, str(outside), CALLS[call]],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        pid = int(caller.stdout.readline())
        deadline = time.monotonic() + CHILD_TIMEOUT
        while not waiting_for_flock(pid):
            assert time.monotonic() < deadline and caller.poll() is None, "the call never waited"
            time.sleep(0.01)
        caller.send_signal(signal.SIGINT)
        _, err = caller.communicate(timeout=10)
    finally:
        for child in (caller, holder):
            child.kill()
            child.wait()
    assert caller.returncode == -signal.SIGINT, err
    assert err.rstrip().endswith("\nKeyboardInterrupt"), err
    assert "RuntimeError" not in err and "[WORKTREE-AUDIT-FAILOPEN]" not in err, err
    assert open(target, "rb").read() == before
