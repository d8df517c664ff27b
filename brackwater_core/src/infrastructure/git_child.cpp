#include "infrastructure/git_child.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

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
    if (end->get() > kHighestChildFd) continue;
    end->reset(::fcntl(end->get(), F_DUPFD_CLOEXEC, kHighestChildFd + 1));
    if (!*end) return std::unexpected(errno);
  }
  const int flags = ::fcntl(p.read.get(), F_GETFL);
  if (flags < 0 || ::fcntl(p.read.get(), F_SETFL, flags | O_NONBLOCK) != 0) return std::unexpected(errno);
  return p;
}

std::expected<GitChild, int> GitChild::start(const std::string& dir, char* const* argv,
                                             support::EnvironmentCopy& environment, int out_fd, int err_fd,
                                             bool relayed) {
  GitLaunch launch(dir, argv, environment, out_fd, err_fd);
  if (!relayed && !children_reaped_by_kernel() && pidfds_usable()) {
    auto child = start_git_directly(launch);
    if (child) return GitChild(*std::move(child), false, {}, {});
    // Unless the clone was refused its pidfd, which the relay needs not.
    if (pidfds_usable()) return std::unexpected(child.error());
  }
  RelayStack stack;
  if (const int err = stack.map(); err != 0) return std::unexpected(err);
  auto report = make_child_pipe();
  if (!report) return std::unexpected(report.error());
  auto relay = start_git_relayed(launch, stack, report->write, report->read);
  if (!relay) return std::unexpected(relay.error());
  return GitChild(*std::move(relay), true, std::move(stack), std::move(report->read));
}

GitChild::GitChild(StartedChild child, bool relayed, RelayStack stack, UniqueFd report) noexcept
    : child_(std::move(child)),
      stack_(std::move(stack)),
      report_(std::move(report)),
      relayed_(relayed),
      exited_(relayed) {}

GitChild::GitChild(GitChild&& other) noexcept
    : child_(std::move(other.child_)),
      stack_(std::move(other.stack_)),
      report_(std::move(other.report_)),
      relayed_(other.relayed_),
      code_(other.code_),
      signalled_(other.signalled_),
      exited_(other.exited_),
      taken_(other.taken_),
      done_(std::exchange(other.done_, true)) {}

GitChild::~GitChild() { kill_and_reap(); }

void GitChild::set_status(int wait_status) noexcept {
  exited_ = true;
  signalled_ = !WIFEXITED(wait_status);
  code_ = signalled_ ? 1 : WEXITSTATUS(wait_status);
}

std::expected<GitChild::State, int> GitChild::look() {
  for (;;) {
    siginfo_t info{};
    if (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(child_.pidfd.get()), &info,
                 WEXITED | WNOHANG | WNOWAIT) == 0) {
      if (info.si_pid == 0) return State::kRunning;
      set_status(info.si_code == CLD_EXITED ? W_EXITCODE(info.si_status, 0) : info.si_status & 0x7f);
      return State::kExited;
    }
    if (errno == EINTR) continue;
    if (errno != ECHILD) return std::unexpected(errno);
    // Reaped by someone else: the pidfd may still know how it ended.
    taken_ = true;
    PidfdInfo pidfd_info{};
    pidfd_info.mask = kPidfdInfoExit;
    if (::ioctl(child_.pidfd.get(), kPidfdGetInfo, &pidfd_info) == 0 && (pidfd_info.mask & kPidfdInfoExit) != 0) {
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
  if (reported.size() != sizeof status) {
    signalled_ = true;  // the relay was ended before it could say
    code_ = 1;
    return;
  }
  std::memcpy(&status, reported.data(), sizeof status);
  set_status(status);
}

void GitChild::kill_and_reap() noexcept {
  if (done_) return;
  // A direct child that someone else reaped is gone, and what it left
  // behind belongs to init. The relay is ours until we reap it.
  if (relayed_ || !taken_) kill_process_tree(child_.pid, child_.pidfd.get());
  reap();
}

void GitChild::reap() noexcept {
  if (done_) return;
  done_ = true;
  if (relayed_) {
    // The relay has written its report, or was killed: it is ending. Its
    // stack is given back only once it has.
    reap_relay(child_);
    return;
  }
  if (taken_) return;
  siginfo_t info{};
  while (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(child_.pidfd.get()), &info, WEXITED) != 0 &&
         errno == EINTR) {
  }
}

}  // namespace brackwater::infrastructure
