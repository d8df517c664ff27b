#include "infrastructure/git_adapter.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <vector>

#include "support/concat.hpp"
#include "support/log.hpp"
#include "support/os_error.hpp"
#include "support/text.hpp"
#include "support/unique_fd.hpp"
#include "support/wait_hook.hpp"

namespace brackwater::infrastructure {
namespace {

using support::UniqueFd;
using Clock = std::chrono::steady_clock;
constexpr std::string_view kLogTarget = "brackwater::infrastructure::git_adapter";

// Owns what posix_spawn needs and releases what was made on every path.
class SpawnSetup {
 public:
  SpawnSetup() = default;
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup() {
    if (actions_ready_) posix_spawn_file_actions_destroy(&actions_);
    if (attr_ready_) posix_spawnattr_destroy(&attr_);
  }

  // The child runs in `dir` with standard input from /dev/null, its output
  // on the two pipes, no signal blocked, SIGPIPE and SIGXFSZ at their
  // defaults, and as the leader of a process group of its own, so that
  // whatever it starts can be killed with it. 0, or the error of the first
  // call that failed.
  int prepare(const std::string& dir, int out_fd, int err_fd) {
    if (int rc = posix_spawn_file_actions_init(&actions_); rc != 0) return rc;
    actions_ready_ = true;
    if (int rc = posix_spawnattr_init(&attr_); rc != 0) return rc;
    attr_ready_ = true;
    sigset_t empty, defaults;
    sigemptyset(&empty);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    const int results[] = {
        posix_spawn_file_actions_addchdir_np(&actions_, dir.c_str()),
        posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0),
        posix_spawn_file_actions_adddup2(&actions_, out_fd, STDOUT_FILENO),
        posix_spawn_file_actions_adddup2(&actions_, err_fd, STDERR_FILENO),
        posix_spawnattr_setsigmask(&attr_, &empty),
        posix_spawnattr_setsigdefault(&attr_, &defaults),
        posix_spawnattr_setpgroup(&attr_, 0),
        posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP),
    };
    for (int rc : results) {
      if (rc != 0) return rc;
    }
    return 0;
  }

  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attr() const { return &attr_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
  bool actions_ready_ = false;
  bool attr_ready_ = false;
};

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

// A close-on-exec pipe whose read end does not block (the child's end
// stays blocking, as a child expects of its standard output).
std::expected<Pipe, int> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(errno);
  Pipe p{UniqueFd(fds[0]), UniqueFd(fds[1])};
  const int flags = ::fcntl(p.read.get(), F_GETFL);
  if (flags < 0 || ::fcntl(p.read.get(), F_SETFL, flags | O_NONBLOCK) != 0) return std::unexpected(errno);
  return p;
}

// One output stream of the child while it is being drained.
struct Stream {
  UniqueFd fd;
  std::string bytes;
  int read_error = 0;

  bool open() const { return fd.valid(); }

  // Reads what is available without blocking; closes the pipe at end of
  // file or on a read error.
  void drain() {
    char buf[65536];
    for (;;) {
      const ssize_t n = ::read(fd.get(), buf, sizeof buf);
      if (n > 0) {
        bytes.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n == 0) {
        fd.reset();
      } else if (errno == EINTR) {
        continue;
      } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
        read_error = errno;
        fd.reset();
      }
      return;
    }
  }
};

// The child process, leader of its own process group. Its end is noticed
// without reaping it: while it stays a zombie its pid, which names the
// group, cannot be taken by another process, so the group can still be
// killed safely when a descendant outlives it. Every path that does not
// finish the run kills the whole group and reaps the child.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) { pidfd_ = UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { kill_and_reap(); }

  bool exited() const { return exited_; }
  // The exit status; 1 when the child was ended by a signal.
  int32_t code() const { return code_; }
  int pidfd() const { return pidfd_.get(); }

  // Non-blocking look at whether the child has ended; it stays unreaped.
  // 0, or the wait's errno.
  int check_exited() {
    for (;;) {
      siginfo_t info{};
      if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0) {
        if (info.si_pid == 0) return 0;
        exited_ = true;
        code_ = info.si_code == CLD_EXITED ? info.si_status : 1;
        pidfd_.reset();
        return 0;
      }
      if (errno == EINTR) continue;
      // Reaped behind our back (a wait for any child elsewhere in the
      // process): its pid may name someone else's group by now.
      if (errno == ECHILD) reaped_ = true;
      return errno;
    }
  }

  void kill_and_reap() {
    if (reaped_) return;
    ::kill(-pid_, SIGKILL);  // fails only when the group is gone already
    reap();
  }

  // The normal end of a run: reaps the child and leaves its group alone.
  void reap() {
    if (reaped_) return;
    int status = 0;
    for (;;) {
      const pid_t r = ::waitpid(pid_, &status, 0);
      if (r == pid_ || (r < 0 && errno != EINTR)) break;
    }
    reaped_ = true;
    pidfd_.reset();
  }

 private:
  pid_t pid_;
  UniqueFd pidfd_;
  int32_t code_ = 0;
  bool exited_ = false;
  bool reaped_ = false;
};

// Holds this thread's asynchronous signals for its lifetime; the wait lets
// them in (ppoll with `outer()`), so one that arrives while the run is set up
// or drained interrupts the next wait instead of slipping past it.
// Synchronous fault signals are never held.
class HeldSignals {
 public:
  HeldSignals() {
    sigset_t held;
    sigfillset(&held);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) sigdelset(&held, sig);
    ::pthread_sigmask(SIG_BLOCK, &held, &outer_);
  }
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;
  ~HeldSignals() { ::pthread_sigmask(SIG_SETMASK, &outer_, nullptr); }

  const sigset_t* outer() const { return &outer_; }

 private:
  sigset_t outer_;
};

std::expected<std::string, GitInvokeError> decode(std::string_view name, Stream& stream) {
  if (stream.read_error != 0) {
    return std::unexpected(
        GitInvokeError::Spawn{support::concat("read ", name, ": ", support::os_error_text(stream.read_error))});
  }
  if (auto bad = support::utf8_error(stream.bytes)) {
    return std::unexpected(GitInvokeError::Utf8{support::concat(name, ": ", *bad)});
  }
  return std::move(stream.bytes);
}

// Every failed run leaves invoke_git through here. The error is built in
// place: moving it through a std::unexpected at each of the many early
// returns makes g++ 12 warn that alternatives it cannot see being set may be
// used uninitialised.
std::expected<CommandOutput, GitInvokeError> failed(GitInvokeError error) {
  return std::expected<CommandOutput, GitInvokeError>(std::unexpect, std::move(error));
}

GitInvokeError spawn_error(int err) {
  if (err == ENOENT) return GitInvokeError::NotFound{};
  return GitInvokeError::Spawn{support::os_error_text(err)};
}

}  // namespace

std::string GitInvokeError::display() const {
  struct Visitor {
    std::string operator()(const NotFound&) const { return "git binary not found on PATH"; }
    std::string operator()(const Timeout& t) const { return support::concat("git timed out after ", t.secs, "s"); }
    std::string operator()(const Spawn& s) const { return "failed to run git: " + s.text; }
    std::string operator()(const Utf8& u) const { return "git output is not valid UTF-8: " + u.text; }
    std::string operator()(const Interrupted&) const { return "git interrupted by a signal"; }
    std::string operator()(const NonZeroExit& e) const {
      const auto trimmed = support::trim(e.stderr_text);
      if (trimmed.empty()) return support::concat("git exited ", e.code);
      return support::concat("git exited ", e.code, ": ", trimmed);
    }
  };
  return std::visit(Visitor{}, value());
}

std::expected<CommandOutput, GitInvokeError> invoke_git(std::string_view cwd, std::span<const std::string_view> args,
                                                        uint64_t timeout_secs) {
  // Capped so that any limit, however large, stays a valid time point.
  constexpr uint64_t kMaxTimeoutSecs = 100ULL * 365 * 24 * 3600;
  const auto deadline = Clock::now() + std::chrono::seconds(std::min(timeout_secs, kMaxTimeoutSecs));

  if (support::wait_stopped()) return failed(GitInvokeError::Interrupted{});
  const std::string dir(cwd);
  std::vector<std::string> argv_store{"git"};
  for (auto a : args) argv_store.emplace_back(a);
  for (const auto& s : argv_store) {
    if (s.find('\0') != std::string::npos) {
      return failed(GitInvokeError::Spawn{"nul byte found in provided data"});
    }
  }
  if (dir.find('\0') != std::string::npos) {
    return failed(GitInvokeError::Spawn{"nul byte found in provided data"});
  }
  std::vector<char*> argv;
  argv.reserve(argv_store.size() + 1);
  for (auto& s : argv_store) argv.push_back(s.data());
  argv.push_back(nullptr);

  const HeldSignals signals;
  auto out_pipe = make_pipe();
  if (!out_pipe) return failed(spawn_error(out_pipe.error()));
  auto err_pipe = make_pipe();
  if (!err_pipe) return failed(spawn_error(err_pipe.error()));

  SpawnSetup setup;
  if (const int rc = setup.prepare(dir, out_pipe->write.get(), err_pipe->write.get()); rc != 0) {
    return failed(GitInvokeError::Spawn{support::os_error_text(rc)});
  }

  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, "git", setup.actions(), setup.attr(), argv.data(), environ);
  if (rc != 0) return failed(spawn_error(rc));

  Child child(pid);
  out_pipe->write.reset();
  err_pipe->write.reset();
  Stream streams[2] = {{std::move(out_pipe->read), {}, 0}, {std::move(err_pipe->read), {}, 0}};

  // Output still open after git has exited means a descendant holds the
  // pipes: it is waited for until the limit, then killed with the group.
  while (streams[0].open() || streams[1].open() || !child.exited()) {
    const auto now = Clock::now();
    if (now >= deadline) {
      child.kill_and_reap();
      return failed(GitInvokeError::Timeout{timeout_secs});
    }
    auto wait_ms = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();

    pollfd fds[3];
    nfds_t n = 0;
    int slot[3];
    for (int i = 0; i < 2; ++i) {
      if (streams[i].open()) {
        fds[n] = {streams[i].fd.get(), POLLIN, 0};
        slot[n++] = i;
      }
    }
    if (!child.exited()) {
      if (child.pidfd() >= 0) {
        fds[n] = {child.pidfd(), POLLIN, 0};
        slot[n++] = 2;
      } else if (wait_ms > 10) {
        wait_ms = 10;  // no pidfd on this kernel: look at the child now and then
      }
    }

    const long long slice_ms = std::min<long long>(wait_ms, 1LL << 30);
    const timespec slice{static_cast<time_t>(slice_ms / 1000), static_cast<long>(slice_ms % 1000) * 1000000L};
    const int ready = ::ppoll(fds, n, &slice, signals.outer());
    if (ready < 0) {
      if (errno == EINTR) {
        if (support::may_go_on_after_signal()) continue;
        child.kill_and_reap();
        return failed(GitInvokeError::Interrupted{});
      }
      const int err = errno;
      child.kill_and_reap();
      return failed(GitInvokeError::Spawn{support::os_error_text(err)});
    }
    for (nfds_t i = 0; i < n; ++i) {
      if (fds[i].revents != 0 && slot[i] < 2) streams[slot[i]].drain();
    }
    if (!child.exited()) {
      if (const int err = child.check_exited(); err != 0) {
        child.kill_and_reap();
        return failed(GitInvokeError::Spawn{support::os_error_text(err)});
      }
    }
  }

  child.reap();
  CommandOutput output;
  output.code = child.code();
  auto out = decode("stdout", streams[0]);
  if (!out) return failed(out.error());
  auto err = decode("stderr", streams[1]);
  if (!err) return failed(err.error());
  output.stdout_text = *std::move(out);
  output.stderr_text = *std::move(err);
  return output;
}

std::expected<std::string, GitInvokeError> git_output(std::string_view cwd, std::span<const std::string_view> args) {
  auto run = invoke_git(cwd, args, git_commands::kTimeoutSecs);
  if (!run) return std::unexpected(run.error());
  if (run->code != 0) {
    return std::unexpected(GitInvokeError::NonZeroExit{std::move(run->stderr_text), run->code});
  }
  return std::string(support::trim(run->stdout_text));
}

std::string git_repo_root(const std::optional<std::string>& cwd) {
  const std::string dir = cwd.value_or(".");
  auto root = git_output(dir, git_commands::kShowToplevel);
  if (!root) {
    support::log::debug(kLogTarget,
                        [&] { return support::concat("git_repo_root(", dir, "): ", root.error().display()); });
    return {};
  }
  return *std::move(root);
}

}  // namespace brackwater::infrastructure
