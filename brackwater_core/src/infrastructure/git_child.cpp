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
#include <vector>

#include "infrastructure/process_tree.hpp"
#include "support/text.hpp"

namespace brackwater::infrastructure {
namespace {

using support::UniqueFd;

// Runs git and writes its exit status on descriptor 3, which git itself does
// not get. A shell that cannot run git exits 127 (not found) or 126 (found
// but not runnable), as execvp's ENOENT and EACCES.
constexpr const char* kRelayScript = "git \"$@\" 3>&-; echo $? >&3";
constexpr int kStatusFd = 3;

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

  // The child runs in `dir` with standard input from /dev/null, its output
  // on the two pipes (and the status pipe on descriptor 3 when one is
  // given), no signal blocked, and SIGPIPE, SIGXFSZ (which Python ignores)
  // and SIGCHLD at their defaults. 0, or the error of the first call that
  // failed.
  int prepare(const std::string& dir, int out_fd, int err_fd, int status_fd) {
    if (int rc = posix_spawn_file_actions_init(&actions_); rc != 0) return rc;
    actions_ready_ = true;
    if (int rc = posix_spawnattr_init(&attr_); rc != 0) return rc;
    attr_ready_ = true;
    sigset_t empty, defaults;
    sigemptyset(&empty);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGXFSZ, SIGCHLD}) sigaddset(&defaults, sig);
    const int results[] = {
        posix_spawn_file_actions_addchdir_np(&actions_, dir.c_str()),
        posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0),
        posix_spawn_file_actions_adddup2(&actions_, out_fd, STDOUT_FILENO),
        posix_spawn_file_actions_adddup2(&actions_, err_fd, STDERR_FILENO),
        status_fd < 0 ? 0 : posix_spawn_file_actions_adddup2(&actions_, status_fd, kStatusFd),
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
    if (end->get() > kStatusFd) continue;
    end->reset(::fcntl(end->get(), F_DUPFD_CLOEXEC, kStatusFd + 1));
    if (!*end) return std::unexpected(errno);
  }
  const int flags = ::fcntl(p.read.get(), F_GETFL);
  if (flags < 0 || ::fcntl(p.read.get(), F_SETFL, flags | O_NONBLOCK) != 0) return std::unexpected(errno);
  return p;
}

std::expected<GitChild, int> GitChild::start(const std::string& dir, char* const* argv, int out_fd, int err_fd) {
  const bool relayed = children_reaped_by_kernel();
  ChildPipe status;
  if (relayed) {
    auto made = make_child_pipe();
    if (!made) return std::unexpected(made.error());
    status = *std::move(made);
  }
  SpawnSetup setup;
  if (const int rc = setup.prepare(dir, out_fd, err_fd, status.write.get()); rc != 0) return std::unexpected(rc);

  pid_t pid = -1;
  int rc;
  if (relayed) {
    std::vector<char*> relay{const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(kRelayScript),
                             const_cast<char*>("sh")};
    for (char* const* arg = argv + 1; *arg != nullptr; ++arg) relay.push_back(*arg);
    relay.push_back(nullptr);
    rc = ::posix_spawn(&pid, "/bin/sh", setup.actions(), setup.attr(), relay.data(), environ);
  } else {
    rc = ::posix_spawnp(&pid, argv[0], setup.actions(), setup.attr(), argv, environ);
  }
  if (rc != 0) return std::unexpected(rc);
  return GitChild(pid, relayed, std::move(status.read));
}

GitChild::GitChild(pid_t pid, bool relayed, UniqueFd status_pipe) noexcept
    : pid_(pid),
      pidfd_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))),
      status_pipe_(std::move(status_pipe)),
      relayed_(relayed),
      exited_(relayed) {}

GitChild::GitChild(GitChild&& other) noexcept
    : pid_(other.pid_),
      pidfd_(std::move(other.pidfd_)),
      status_pipe_(std::move(other.status_pipe_)),
      relayed_(other.relayed_),
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

std::expected<void, int> GitChild::take_reported_status(std::string_view reported) {
  if (!relayed_) return {};
  const auto text = support::trim(reported);
  int32_t status = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), status);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size()) {
    signalled_ = true;  // the shell was ended before it could write
    code_ = 1;
    return {};
  }
  if (status == 127) return std::unexpected(ENOENT);
  if (status == 126) return std::unexpected(EACCES);
  // A shell reports a git ended by signal N as 128 + N, which cannot be
  // told from git's own exit 128 + N: it stays the exit status.
  code_ = status;
  return {};
}

void GitChild::kill_and_reap() noexcept {
  if (done_) return;
  // Without a pidfd the pid may only be signalled while it is surely ours.
  if (pidfd_ || ours()) kill_process_tree(pid_, pidfd_.get());
  reap();
}

void GitChild::reap() noexcept {
  if (done_) return;
  done_ = true;
  if (!ours()) return;
  siginfo_t info{};
  while (wait(info, WEXITED) == EINTR) {
  }
  pidfd_.reset();
}

}  // namespace brackwater::infrastructure
