#include "infrastructure/git_child.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <csignal>

#include "infrastructure/process_tree.hpp"

namespace brackwater::infrastructure {
namespace {

using support::UniqueFd;

// The exit information a pidfd keeps once its process was reaped (kernel
// 6.15 and later); the layout of the kernel's struct pidfd_info.
struct PidfdInfo {
  uint64_t mask;
  uint64_t cgroupid;
  uint32_t pid, tgid, ppid, ruid, rgid, euid, egid, suid, sgid, fsuid, fsgid;
  int32_t exit_code;
  uint32_t coredump_mask;
  uint32_t spare;
};
constexpr uint64_t kPidfdInfoExit = 1U << 3;
constexpr unsigned long kPidfdGetInfo = _IOWR(0xFF, 11, PidfdInfo);

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

  // The child runs in `dir` with standard input from /dev/null and no
  // signal blocked, SIGPIPE, SIGXFSZ (which Python ignores) and SIGCHLD at
  // their defaults, and no descriptor above the ones made here. git gets
  // its output on the two pipes; the relay's shell gets the null device for
  // its own and git's pipes and the status pipe above it (git_relay.hpp).
  // 0, or the error of the first call that failed.
  int prepare(const std::string& dir, int out_fd, int err_fd, int status_fd) {
    if (int rc = posix_spawn_file_actions_init(&actions_); rc != 0) return rc;
    actions_ready_ = true;
    if (int rc = posix_spawnattr_init(&attr_); rc != 0) return rc;
    attr_ready_ = true;
    sigset_t empty, defaults;
    sigemptyset(&empty);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGXFSZ, SIGCHLD}) sigaddset(&defaults, sig);
    const bool relayed = status_fd >= 0;
    const int results[] = {
        posix_spawn_file_actions_addchdir_np(&actions_, dir.c_str()),
        posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0),
        relayed ? posix_spawn_file_actions_addopen(&actions_, STDOUT_FILENO, "/dev/null", O_WRONLY, 0)
                : posix_spawn_file_actions_adddup2(&actions_, out_fd, STDOUT_FILENO),
        posix_spawn_file_actions_adddup2(&actions_, relayed ? STDOUT_FILENO : err_fd, STDERR_FILENO),
        relayed ? posix_spawn_file_actions_adddup2(&actions_, status_fd, kRelayStatusFd) : 0,
        relayed ? posix_spawn_file_actions_adddup2(&actions_, out_fd, kRelayOutFd) : 0,
        relayed ? posix_spawn_file_actions_adddup2(&actions_, err_fd, kRelayErrFd) : 0,
        // What the host left inheritable stays with the host, as
        // subprocess's close_fds does.
        posix_spawn_file_actions_addclosefrom_np(&actions_, relayed ? kRelayErrFd + 1 : STDERR_FILENO + 1),
        posix_spawnattr_setsigmask(&attr_, &empty),
        posix_spawnattr_setsigdefault(&attr_, &defaults),
        posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF),
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

// Whether the kernel reaps this process's children by itself.
bool children_reaped_by_kernel() noexcept {
  struct sigaction current{};
  if (::sigaction(SIGCHLD, nullptr, &current) != 0) return false;
  if ((current.sa_flags & SA_NOCLDWAIT) != 0) return true;
  return (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_IGN;
}

}  // namespace

std::expected<ChildPipe, int> make_child_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(errno);
  ChildPipe p{UniqueFd(fds[0]), UniqueFd(fds[1])};
  for (UniqueFd* end : {&p.read, &p.write}) {
    if (end->get() > kRelayErrFd) continue;
    end->reset(::fcntl(end->get(), F_DUPFD_CLOEXEC, kRelayErrFd + 1));
    if (!*end) return std::unexpected(errno);
  }
  const int flags = ::fcntl(p.read.get(), F_GETFL);
  if (flags < 0 || ::fcntl(p.read.get(), F_SETFL, flags | O_NONBLOCK) != 0) return std::unexpected(errno);
  return p;
}

std::expected<GitChild, StartError> GitChild::start(const std::string& dir, char* const* argv, int out_fd, int err_fd,
                                                    bool relayed) {
  relayed = relayed || children_reaped_by_kernel();
  ChildPipe status;
  std::expected<RelayCommand, StartError> relay;
  if (relayed) {
    relay = relay_command(dir, argv);
    if (!relay) return std::unexpected(relay.error());
    auto made = make_child_pipe();
    if (!made) return std::unexpected(StartError{made.error(), {}});
    status = *std::move(made);
  }
  SpawnSetup setup;
  if (const int rc = setup.prepare(dir, out_fd, err_fd, relayed ? status.write.get() : -1); rc != 0) {
    return std::unexpected(StartError{rc, {}});
  }

  pid_t pid = -1;
  if (relayed) {
    // The shell starts with an empty environment: git gets the caller's
    // through env(1).
    char* const no_environment[] = {nullptr};
    if (const int rc = ::posix_spawn(&pid, kRelayShell, setup.actions(), setup.attr(), relay->argv(), no_environment);
        rc != 0) {
      return std::unexpected(StartError{rc, kRelayShell});
    }
  } else if (const int rc = ::posix_spawnp(&pid, argv[0], setup.actions(), setup.attr(), argv, environ); rc != 0) {
    return std::unexpected(StartError{rc, {}});
  }
  return GitChild(pid, relayed, std::move(status.read));
}

GitChild::GitChild(pid_t pid, bool relayed, UniqueFd status_pipe) noexcept
    : pid_(pid),
      pidfd_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))),
      status_pipe_(std::move(status_pipe)),
      relayed_(relayed),
      relay_open_(relayed),
      exited_(relayed) {}

GitChild::GitChild(GitChild&& other) noexcept
    : pid_(other.pid_),
      pidfd_(std::move(other.pidfd_)),
      status_pipe_(std::move(other.status_pipe_)),
      relayed_(other.relayed_),
      relay_open_(other.relay_open_),
      code_(other.code_),
      signalled_(other.signalled_),
      exited_(other.exited_),
      taken_(other.taken_),
      done_(std::exchange(other.done_, true)),
      wait_on_pidfd_(other.wait_on_pidfd_) {}

GitChild::~GitChild() { kill_and_reap(); }

int GitChild::wait(siginfo_t& info, int options) noexcept {
  if (wait_on_pidfd_ && pidfd_) {
    if (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd_.get()), &info, options) == 0) return 0;
    if (errno != EINVAL) return errno;
    wait_on_pidfd_ = false;  // a kernel older than 5.4
  }
  return ::waitid(P_PID, static_cast<id_t>(pid_), &info, options) == 0 ? 0 : errno;
}

void GitChild::set_status(int wait_status) noexcept {
  exited_ = true;
  signalled_ = !WIFEXITED(wait_status);
  code_ = signalled_ ? 1 : WEXITSTATUS(wait_status);
}

std::expected<GitChild::State, int> GitChild::look() {
  for (;;) {
    siginfo_t info{};
    const int err = wait(info, WEXITED | WNOHANG | WNOWAIT);
    if (err == 0) {
      if (info.si_pid == 0) return State::kRunning;
      set_status(info.si_code == CLD_EXITED ? W_EXITCODE(info.si_status, 0) : info.si_status & 0x7f);
      return State::kExited;
    }
    if (err == EINTR) continue;
    if (err != ECHILD) return std::unexpected(err);
    // Reaped by someone else: the pidfd may still know how it ended.
    taken_ = true;
    PidfdInfo pidfd_info{};
    pidfd_info.mask = kPidfdInfoExit;
    if (pidfd_ && ::ioctl(pidfd_.get(), kPidfdGetInfo, &pidfd_info) == 0 && (pidfd_info.mask & kPidfdInfoExit) != 0) {
      set_status(pidfd_info.exit_code);
      return State::kExited;
    }
    exited_ = true;
    return State::kStatusLost;
  }
}

void GitChild::take_reported_status(std::string_view reported) noexcept {
  if (!relayed_) return;
  int32_t status = 0;
  const auto [end, ec] = std::from_chars(reported.data(), reported.data() + reported.size(), status);
  if (ec != std::errc{} || std::string_view(end, reported.data() + reported.size()) != "\n") {
    signalled_ = true;  // the shell was ended before it could write
    code_ = 1;
    return;
  }
  // A shell reports a git ended by signal N as 128 + N, which cannot be
  // told from git's own exit 128 + N: it stays the exit status.
  code_ = status;
}

void GitChild::kill_and_reap() noexcept {
  if (done_) return;
  // A direct child that someone else reaped is gone, and what it left
  // behind belongs to init; the relay's shell that closed its status pipe
  // has ended after git.
  if (pid_is_ours()) kill_process_tree(pid_, pidfd_.get());
  reap();
}

void GitChild::reap() noexcept {
  if (done_) return;
  done_ = true;
  // A direct child someone else reaped is gone. The relay's shell has
  // closed its status pipe, or was killed: it is ending, and is waited for
  // even when the kernel reaps it, so that the call ends after it does (the
  // wait then ends with ECHILD).
  if (!relayed_ && taken_) return;
  siginfo_t info{};
  while (wait(info, WEXITED) == EINTR) {
  }
  pidfd_.reset();
}

}  // namespace brackwater::infrastructure
