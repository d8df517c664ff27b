"""The module inside real host programs, which own their signals and their
children: git is a child like any other of theirs, Ctrl-C at a terminal ends
the program and git with it, handlers see the program's own signal mask, and
a host that reaps its children itself, or ignores SIGCHLD, still gets the
right answers."""

import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from gitrepo import committed_repo, slow_git
from old_kernel import old_kernel  # noqa: F401 (a fixture)
from test_interrupted_lock_waits import CALLER, HUNG_GIT
from test_worktree import still_running

# name: where the call that meets a hung git runs
TERMINAL_HOSTS = {
    "main thread beside an idle one": """
        import threading, time
        threading.Thread(target=time.sleep, args=(100,), daemon=True).start()
        t.list_worktrees(root)
    """,
    "thread-pool worker": """
        import concurrent.futures
        with concurrent.futures.ThreadPoolExecutor(1) as pool:
            pool.submit(t.list_worktrees, root).result()
    """,
    "daemon thread": """
        import threading, time
        threading.Thread(target=t.list_worktrees, args=(root,), daemon=True).start()
        time.sleep(100)
    """,
}


def fake_git(tmp_path, script):
    (tmp_path / "git").write_text(script)
    (tmp_path / "git").chmod(0o755)
    return dict(os.environ, PATH=f"{tmp_path}:{os.environ['PATH']}")


@pytest.mark.parametrize("host", TERMINAL_HOSTS)
def test_terminal_ctrl_c_ends_the_program_and_git(repo, tmp_path, host):
    env = fake_git(tmp_path, HUNG_GIT)
    # A session of its own stands for the terminal: Ctrl-C signals its group.
    caller = subprocess.Popen([sys.executable, "-c", CALLER, str(repo), textwrap.dedent(TERMINAL_HOSTS[host])], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
    git_pids = tmp_path / "git.pids"
    try:
        caller.stdout.readline()
        deadline = time.monotonic() + 10
        while not git_pids.exists():
            assert time.monotonic() < deadline and caller.poll() is None, caller.stderr.read()
            time.sleep(0.01)
        os.killpg(caller.pid, signal.SIGINT)
        _, err = caller.communicate(timeout=5)  # git's own limit is 30 s
    finally:
        caller.kill()
        caller.wait()
    assert "KeyboardInterrupt" in err, err
    assert not [pid for pid in git_pids.read_text().split() if still_running(int(pid))]


def test_handlers_run_with_the_programs_signal_mask(repo, tmp_path):
    env = dict(os.environ, PATH=f"{slow_git(tmp_path / 'bin', 1)}:{os.environ['PATH']}")
    statement = textwrap.dedent("""
        import signal, threading
        masks = []
        signal.signal(signal.SIGUSR1, lambda *_: masks.append(signal.pthread_sigmask(signal.SIG_BLOCK, [])))
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGUSR1)).start()
        t.list_worktrees(root)
        print(masks)
    """)
    out = subprocess.run([sys.executable, "-c", CALLER, str(repo), statement], env=env,
                         capture_output=True, text=True, timeout=30)
    assert out.stdout.split("\n")[1:] == ["[set()]", ""], out


# The host's own children keep ending while it asks; `reap` collects them with
# waitpid(-1) from its SIGCHLD handler, `ignore` lets the kernel reap them, and
# the hosts "in C" reap them from a handler of the preloaded library, on a
# kernel that cannot tell a reaped child's status (or has no pidfds at all).
# Every git started is counted: a call runs its one command at most twice.
REAPING_HOST = textwrap.dedent("""
    import signal, threading, time
    from pathlib import Path
    if HOST == "reap":
        def reap(*_):
            try:
                while os.waitpid(-1, os.WNOHANG)[0]:
                    pass
            except ChildProcessError:
                pass
        signal.signal(signal.SIGCHLD, reap)
    elif HOST == "ignore":
        signal.signal(signal.SIGCHLD, signal.SIG_IGN)
    done = False
    def spawn():
        while not done:
            os.posix_spawn("/bin/true", ["true"], os.environ)
            time.sleep(0.001)
    threading.Thread(target=spawn, daemon=True).start()
    os.chdir(root)
    starts = Path(os.environ["GIT_STARTS"])
    calls = (t.resolve_project_id, lambda: [e.worktree for e in t.list_worktrees(root)],
             lambda: t.resolve_git_worktree(root).toplevel)
    expected = ["configured", [Path(root)], Path(root)]
    wrong = most = 0
    for _ in range(ROUNDS):
        got = []
        for call in calls:
            before = starts.stat().st_size
            try:
                got.append(call())
            except Exception as e:
                got.append(e)
            most = max(most, starts.stat().st_size - before)
        wrong += got != expected
    done = True
    print(wrong, most)
""")
REAPING_HOSTS = {
    "reap": {},
    "ignore": {},
    "reap in C, no PIDFD_GET_INFO": {"refuses": ["pidfd_info"], "reap": True},
    "reap in C, no pidfds": {"refuses": ["pidfd_info", "pidfd_open", "close_range"], "reap": True},
}


@pytest.mark.slow
@pytest.mark.parametrize("host", REAPING_HOSTS)
def test_a_host_that_reaps_or_ignores_its_children_gets_right_answers(real_tmp, host, old_kernel):
    root = committed_repo(real_tmp / "configured", '[tool.plowline]\nproject_id = "configured"\n')
    starts = real_tmp / "git.starts"
    starts.touch()
    env = fake_git(real_tmp, f'#!/bin/sh\necho >> "{starts}"\nexec {shutil.which("git")} "$@"\n')
    env = old_kernel(**REAPING_HOSTS[host], base=dict(env, GIT_STARTS=str(starts)))
    statement = REAPING_HOST.replace("HOST", repr(host)).replace("ROUNDS", "200")
    out = subprocess.run([sys.executable, "-c", CALLER, str(root), statement], env=env,
                         capture_output=True, text=True, timeout=300)
    wrong, most = map(int, out.stdout.split("\n")[1].split())
    assert (wrong, most <= 2) == (0, True), out
