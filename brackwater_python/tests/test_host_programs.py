"""The module inside real host programs, which own their signals and their
children: git is a child like any other of theirs, Ctrl-C at a terminal ends
the program and git with it, handlers see the program's own signal mask, and
a host that reaps its children itself, or ignores SIGCHLD, still gets the
right answers."""

import glob
import os
import shutil
import signal
import subprocess
import sys
import sysconfig
import textwrap
import time
from pathlib import Path

import pytest

import _tidemark as t
from gitrepo import committed_repo, slow_git
from old_kernel import REFUSED, old_kernel  # noqa: F401 (a fixture)
from test_hostile_files import HOLD_LOCK
from test_interrupted_lock_waits import CALLER, CTRL_C_RAISES, HUNG_GIT, end
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


def none_running(pids):
    """Whether no process whose pid the file lists still runs."""
    return not [pid for pid in pids.read_text().split() if still_running(int(pid))]


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
        end(caller)
    assert "KeyboardInterrupt" in err, err
    assert none_running(git_pids)


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
# A git older than 2.36 refuses -z: the listing runs the line form after it,
# and may run each once more after a lost status, but not both.
REAPING_HOSTS = {
    "reap": ({}, ""),
    "ignore": ({}, ""),
    "reap in C, no PIDFD_GET_INFO": ({"refuses": ["pidfd_info"], "reap": True}, ""),
    "reap in C, no PIDFD_GET_INFO, git refuses -z": ({"refuses": ["pidfd_info"], "reap": True}, "refuses -z"),
    "reap in C, no pidfds": ({"refuses": ["pidfd_info", "pidfd_open", "close_range"], "reap": True}, ""),
}


@pytest.mark.slow
@pytest.mark.parametrize("host", REAPING_HOSTS)
def test_a_host_that_reaps_or_ignores_its_children_gets_right_answers(real_tmp, host, old_kernel):
    kernel, old_git = REAPING_HOSTS[host]
    root = committed_repo(real_tmp / "configured", '[tool.plowline]\nproject_id = "configured"\n')
    starts = real_tmp / "git.starts"
    starts.touch()
    refuse_z = 'case "$*" in *-z*) exit 129;; esac\n' if old_git else ""
    env = fake_git(real_tmp, f'#!/bin/sh\necho >> "{starts}"\n{refuse_z}exec {shutil.which("git")} "$@"\n')
    env = old_kernel(**kernel, base=dict(env, GIT_STARTS=str(starts)))
    statement = REFUSED + REAPING_HOST.replace("HOST", repr(host)).replace("ROUNDS", "100" if old_git else "200")
    out = subprocess.run([sys.executable, "-c", CALLER, str(root), statement], env=env,
                         capture_output=True, text=True, timeout=300)
    lines = out.stdout.split("\n")
    wrong, most = map(int, lines[2].split())
    assert (lines[1], wrong, most <= (3 if old_git else 2)) == (str(sorted(kernel.get("refuses", []))), 0, True), out



# Without pidfds, in a host that reaps in C: git exits while a process it
# started keeps its pipes, the host reaps what it can, and a new process of
# the host's takes git's pid (chosen through ns_last_pid in a pid namespace
# of its own) before Ctrl-C ends the call. That process is no one's to end.
# SIGCHLD stays blocked until git has ended, so that a call that looks at
# git by pid sees it end before the host's reaper takes its status.
TAKEN_PID_HOST = textwrap.dedent("""
    import signal, subprocess, threading, time
    from pathlib import Path
    signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGCHLD])
    pids, main, taker = Path(os.environ["GIT_PIDS"]), threading.get_ident(), []
    def state(pid):
        try:
            return Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()[0]
        except FileNotFoundError:
            return "gone"
    def take_over():
        while not pids.exists() or state(git := int(pids.read_text())) not in ("Z", "gone"):
            time.sleep(0.01)
        time.sleep(0.2)  # a call that looks at git every few ms has seen it end
        signal.pthread_sigmask(signal.SIG_UNBLOCK, [signal.SIGCHLD])
        while state(git) != "gone":
            time.sleep(0.01)
        Path("/proc/sys/kernel/ns_last_pid").write_text(str(git - 1))
        taker.append(subprocess.Popen(["sleep", "100"]))
        print(taker[0].pid == git, flush=True)
        signal.pthread_kill(main, signal.SIGINT)
    threading.Thread(target=take_over).start()
    try:
        t.list_worktrees(root)
    except KeyboardInterrupt:
        print(taker[0].poll() is None and state(taker[0].pid) in "RS")
""")


def test_a_pid_the_host_reaped_and_gave_away_is_left_alone(repo, tmp_path, old_kernel):
    in_namespace = ["unshare", "--pid", "--fork", "--mount-proc"]
    if subprocess.run([*in_namespace, "sh", "-c", "echo 9 > /proc/sys/kernel/ns_last_pid"],
                      capture_output=True).returncode:
        pytest.skip("no pid namespace whose next pid can be chosen")
    env = fake_git(tmp_path, '#!/bin/sh\nsleep 100 &\necho $$ > "$0.new"\nmv "$0.new" "$0.pids"\n')
    env = old_kernel(["pidfd_open", "pidfd_info"], reap=True, base=dict(env, GIT_PIDS=str(tmp_path / "git.pids")))
    out = subprocess.run([*in_namespace, sys.executable, "-c", CALLER, str(repo), REFUSED + TAKEN_PID_HOST],
                         env=env, capture_output=True, text=True, timeout=60)  # git's own limit is 30 s
    assert out.stdout.split("\n")[1:] == ["['pidfd_info', 'pidfd_open']", "True", "True", ""], out


# git writes to standard error every 30 ms for some seconds, so no wait for it
# times out, and SIGINT is handled on another thread, so it interrupts no wait
# of the call: only the hook, asked every tenth of a second whatever wakes the
# wait, can end the call before git finishes. Without pidfds and with SIGCHLD
# ignored, git runs under the relay, which must be killed with it.
CHATTY_GIT = ('#!/bin/sh\necho $$ >> "$0.pids"\n'
              'i=0; while [ $i -lt 300 ]; do echo progress >&2; sleep 0.03; i=$((i + 1)); done\n'
              'echo $$ >> "$0.finished"\n')
INTERRUPTED_ELSEWHERE = textwrap.dedent("""
    import signal, threading, time
    from pathlib import Path
    if IGNORE:
        signal.signal(signal.SIGCHLD, signal.SIG_IGN)
    pids = Path(os.environ["GIT_PIDS"])
    def interrupt():
        while not pids.exists():
            time.sleep(0.01)
        signal.pthread_kill(threading.get_ident(), signal.SIGINT)
    threading.Thread(target=interrupt).start()
    try:
        t.list_worktrees(root)
    except KeyboardInterrupt:
        print("interrupted")
""")


@pytest.mark.parametrize("host", ["plain", "SIGCHLD ignored, no pidfds"])
def test_ctrl_c_on_another_thread_ends_a_call_whose_git_keeps_writing(repo, tmp_path, host, old_kernel):
    env = fake_git(tmp_path, CHATTY_GIT)
    git_pids = tmp_path / "git.pids"
    env = old_kernel(["pidfd_open", "pidfd_info"] if host != "plain" else [], base=dict(env, GIT_PIDS=str(git_pids)))
    statement = INTERRUPTED_ELSEWHERE.replace("IGNORE", str(host != "plain"))
    out = subprocess.run([sys.executable, "-c", CALLER, str(repo), statement], env=env,
                         capture_output=True, text=True, timeout=60)  # git's own limit is 30 s
    assert out.stdout.split("\n")[1:] == ["interrupted", ""], out
    assert not (tmp_path / "git.finished").exists()
    assert none_running(git_pids)


# A program that starts the interpreter on a thread of its own, as an
# application embedding Python may: that thread, not the process's first,
# is where the interpreter runs its signal handlers.
EMBEDDING = r"""
#include <Python.h>
#include <pthread.h>
#include <stdint.h>

static void* run(void* code) {
  Py_InitializeEx(1);
  int rc = PyRun_SimpleString((const char*)code);
  Py_FinalizeEx();
  return (void*)(intptr_t)rc;
}

int main(int argc, char** argv) {
  pthread_t thread;
  void* rc;
  if (argc != 2 || pthread_create(&thread, NULL, run, argv[1]) != 0) return 2;
  pthread_join(thread, &rc);
  return (int)(intptr_t)rc;
}
"""


def embedding_program(tmp_path):
    include, libdir = sysconfig.get_paths()["include"], sysconfig.get_config_var("LIBDIR")
    library = f"python{sysconfig.get_config_var('LDVERSION')}"
    if not shutil.which("gcc") or not os.path.exists(os.path.join(include, "Python.h")) or not glob.glob(
            os.path.join(libdir or "/nonexistent", f"lib{library}.so*")):
        pytest.skip("embedding needs gcc, Python's headers and its shared library")
    (tmp_path / "embed.c").write_text(EMBEDDING)
    program = tmp_path / "embed"
    subprocess.run(["gcc", "-o", str(program), str(tmp_path / "embed.c"), f"-I{include}", f"-L{libdir}",
                    f"-Wl,-rpath,{libdir}", f"-l{library}", "-lpthread"], check=True)
    return program


# What the interpreter's main thread waits for when SIGINT comes: a hung git,
# or the store's lock, held by another process; and how to tell it waits.
EMBEDDED_WAITS = {
    "git": "t.list_worktrees(ROOT)",
    "lock": "t.load_binding('s', ROOT)",
}


def thread_sleeps(pid, tid):
    try:
        return Path(f"/proc/{pid}/task/{tid}/stat").read_text().rpartition(")")[2].split()[0] == "S"
    except FileNotFoundError:
        return False


@pytest.mark.parametrize("wait", EMBEDDED_WAITS)
def test_an_interpreter_on_a_second_thread_runs_its_handlers_during_a_wait(repo, tmp_path, wait):
    program = embedding_program(tmp_path)
    env = dict(fake_git(tmp_path, HUNG_GIT) if wait == "git" else os.environ, PYTHONHOME=sys.base_prefix,
               PYTHONPATH=os.path.dirname(t.__file__))
    holder = None
    if wait == "lock":
        lock = t.WorktreeBindingStore(main_worktree=repo).path + ".lock"
        os.makedirs(os.path.dirname(lock), exist_ok=True)
        holder = subprocess.Popen([sys.executable, "-c", HOLD_LOCK, lock, "600"], stdout=subprocess.PIPE, text=True)
        assert holder.stdout.readline() == "locked\n"
    code = textwrap.dedent(f"""
        import os, threading, _tidemark as t
        {CTRL_C_RAISES}
        print(os.getpid(), threading.get_native_id(), flush=True)
        try:
            {EMBEDDED_WAITS[wait].replace("ROOT", repr(str(repo)))}
        except KeyboardInterrupt:
            print("interrupted", flush=True)
    """)
    caller = subprocess.Popen([str(program), code], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    git_pids = tmp_path / "git.pids"
    try:
        pid, tid = map(int, caller.stdout.readline().split())
        # The thread sleeps only once it waits (for git's output, or the lock).
        while not (git_pids.exists() if wait == "git" else thread_sleeps(pid, tid)):
            assert caller.poll() is None, caller.stderr.read()
            time.sleep(0.01)
        os.kill(pid, signal.SIGINT)
        out, err = caller.communicate(timeout=60)  # git's own limit is 30 s; the lock is held for 600
    finally:
        end(caller, holder)
    assert (out, caller.returncode) == ("interrupted\n", 0), err
    if wait == "git":
        assert none_running(git_pids)


# With bash as /bin/sh (a private mount namespace makes it so, where one can
# be made), no variable of the caller's may change what the relay's shell
# does: options that end it early or trace it into git's error text, a file
# it would run first. git, an old one that refuses -z, gets them unchanged.
STEERING_SHELLS = textwrap.dedent("""
    import signal
    if IGNORE:
        signal.signal(signal.SIGCHLD, signal.SIG_IGN)
    print([e.worktree for e in t.list_worktrees(root)])
    try:
        t.list_worktrees(os.environ["OUTSIDE"])
    except t.WorktreeListError as e:
        print(e.reason_code, e)
""")
OLD_GIT = '#!/bin/sh\ncase "$*" in *-z*) echo "error: unknown switch \\`z\'" >&2; exit 129;; esac\nexec {git} "$@"\n'


def test_the_relay_answers_as_git_does_whatever_the_environment_says_to_a_shell(repo, tmp_path, outside):
    bash_env = tmp_path / "bash_env"
    bash_env.write_text("echo from BASH_ENV >&2\n")
    env = dict(fake_git(tmp_path, OLD_GIT.format(git=shutil.which("git"))), OUTSIDE=str(outside),
               SHELLOPTS="errexit:xtrace", PS4="+ traced ", BASH_ENV=str(bash_env), ENV=str(bash_env))
    as_bash = ["unshare", "--mount", "--propagation", "private", "--", "sh", "-c",
               'mount --bind /usr/bin/bash "$(readlink -f /bin/sh)" && exec "$@"', "sh"]
    if subprocess.run([*as_bash, "/bin/sh", "-c", '[ -n "$BASH_VERSION" ]'], capture_output=True).returncode:
        pytest.skip("no private mount namespace with bash as /bin/sh")
    answers = [subprocess.run([*as_bash, sys.executable, "-c", CALLER, str(repo),
                               STEERING_SHELLS.replace("IGNORE", str(ignore))],
                              env=env, capture_output=True, text=True, timeout=60) for ignore in (False, True)]
    assert answers[0].returncode == 0 and f"[PosixPath('{repo}')]" in answers[0].stdout, answers[0]
    assert answers[1].stdout.split("\n")[1:] == answers[0].stdout.split("\n")[1:], answers


# git is started with the environment as it was when the call began, in
# every host, whatever another thread does to os.environ meanwhile; and no
# process shows any of it on its command line while git runs.
CHURNING_HOST = textwrap.dedent("""
    import signal, threading
    if IGNORE:
        signal.signal(signal.SIGCHLD, signal.SIG_IGN)
    def answer():
        try:
            r = t.validate_main_worktree(root)
            return (r.ok, r.reason_code, r.message)
        except Exception as e:
            return repr(e)
    expected = answer()
    done = False
    def churn():
        i = 0
        while not done:
            os.environ[f"CHURN_{i % 400}"] = "x" * (i % 300)
            os.environ.pop(f"CHURN_{i * 7 % 400}", None)
            i += 1
    answers = []
    def calls():
        answers.extend(answer() for _ in range(15))
    threads = [threading.Thread(target=churn)] + [threading.Thread(target=calls) for _ in range(6)]
    [th.start() for th in threads]
    [th.join() for th in threads[1:]]
    done = True
    print(expected[1], len(answers), [a for a in answers if a != expected][:3])
""")
# The secret's value is looked for (by the first runs: a scan takes a while)
# with a pattern that its own command line does not match.
SCANNING_GIT = ('#!/bin/sh\n[ -e "$SEEN" ] || for f in /proc/[0-9]*/cmdline; do tr "\\0" "\\n" < "$f"; done 2>/dev/null | '
                'grep -c "tokenvalue7\\{{20\\}}" >> "$SEEN"\nexec {git} "$@"\n')


@pytest.mark.parametrize("ignore", [False, True], ids=["plain", "SIGCHLD ignored"])
def test_git_gets_the_calls_environment_and_no_command_line_shows_it(repo, tmp_path, ignore):
    seen = tmp_path / "seen"
    env = dict(fake_git(tmp_path, SCANNING_GIT.format(git=shutil.which("git"))), SEEN=str(seen),
               TIDEMARK_SECRET="tokenvalue" + "7" * 20)
    out = subprocess.run([sys.executable, "-c", CALLER, str(repo), CHURNING_HOST.replace("IGNORE", str(ignore))],
                         env=env, capture_output=True, text=True, timeout=120)
    reason, answers = out.stdout.split("\n")[1].split(" ", 1)
    assert (out.returncode, reason != "WORKTREE_GIT_UNAVAILABLE", answers) == (0, True, "90 []"), out
    assert set(seen.read_text().split()) == {"0"}, out


# git gets the environment as it stands, a name given twice and entries
# without a name included, and "git" as its argv[0], in every host. A small C
# program starts the host with such an environment and stands in for git.
ODD_ENVIRONMENT = r"""
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
extern char** environ;
int main(int argc, char** argv) {
  if (argc > 2 && strcmp(argv[1], "--launch") == 0) {
    char* env[256] = {"DOUBLED=first", "DOUBLED=second", "=nameless", "noequals"};
    int n = 4;
    for (char** e = environ; *e != NULL && n < 255; ++e) env[n++] = *e;
    env[n] = NULL;
    execve(argv[2], argv + 2, env);
    return 127;
  }
  FILE* seen = fopen(getenv("SEEN"), "a");
  fprintf(seen, "%s", argv[0]);
  for (char** e = environ; *e != NULL; ++e) {
    if (strncmp(*e, "DOUBLED=", 8) == 0 || **e == '=' || strchr(*e, '=') == NULL) fprintf(seen, " %s", *e);
  }
  fprintf(seen, "\n");
  return 0;
}
"""


def test_git_gets_every_entry_as_it_stands_and_git_as_its_name(repo, tmp_path):
    if shutil.which("gcc") is None:
        pytest.skip("gcc is needed to build the launcher")
    (tmp_path / "odd.c").write_text(ODD_ENVIRONMENT)
    subprocess.run(["gcc", "-o", str(tmp_path / "git"), str(tmp_path / "odd.c")], check=True)
    seen = tmp_path / "seen"
    env = dict(os.environ, PATH=f"{tmp_path}:{os.environ['PATH']}", SEEN=str(seen))
    for ignore in (False, True):
        statement = f"import signal\nif {ignore}: signal.signal(signal.SIGCHLD, signal.SIG_IGN)\nt.list_worktrees(root)"
        subprocess.run([str(tmp_path / "git"), "--launch", sys.executable, "-c", CALLER, str(repo), statement],
                       env=env, capture_output=True, text=True, timeout=60)
    assert seen.read_text().split("\n") == ["git DOUBLED=first DOUBLED=second =nameless noequals"] * 2 + [""]
