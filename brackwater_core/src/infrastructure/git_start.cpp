#include "infrastructure/git_start.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "infrastructure/raw_syscall.hpp"
#include "support/concat.hpp"

namespace brackwater::infrastructure {
namespace {

using support::UniqueFd;

// The children run on memory they share with this process, while our own
// threads run (the relay) or wait (git's child): nothing there may allocate,
// take a lock, write errno or be instrumented.
#define CHILD_CODE __attribute__((no_sanitize("address", "undefined")))

// The kernel's struct sigaction (its signal set is 64 bits wide).
struct KernelSigaction {
  unsigned long handler;
  unsigned long flags;
  unsigned long restorer;
  unsigned long mask;
};
constexpr int kLastSignal = 64;
constexpr long kSigsetBytes = 8;
constexpr size_t kStackBytes = size_t{64} * 1024;
// The search path of a start when PATH is not set, as the C library's.
constexpr std::string_view kDefaultPath = "/bin:/usr/bin";

CHILD_CODE long sys_close(long fd) { return raw::call(SYS_close, fd); }

CHILD_CODE void write_word(int fd, int32_t word) {
  const char* at = reinterpret_cast<const char*>(&word);
  for (long left = sizeof word; left > 0;) {
    const long n = raw::call(SYS_write, fd, reinterpret_cast<long>(at), left);
    if (n == -EINTR) continue;
    if (n <= 0) return;
    at += n;
    left -= n;
  }
}

CHILD_CODE bool kept(long fd, const int* keep, int kept_count) {
  for (int i = 0; i < kept_count; ++i) {
    if (keep[i] == fd) return true;
  }
  return false;
}

// Closes every descriptor from `first` on but those in `keep`, by listing
// /proc/self/fd (kernels before 5.9 have no close_range), or up to the
// descriptor limit where /proc is not mounted.
CHILD_CODE void close_listed_from(int first, const int* keep, int kept_count) {
  const long dir =
      raw::call(SYS_openat, AT_FDCWD, reinterpret_cast<long>("/proc/self/fd"), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    rlimit64 limit{};
    raw::call(SYS_prlimit64, 0, RLIMIT_NOFILE, 0, reinterpret_cast<long>(&limit));
    for (long fd = first; fd < static_cast<long>(limit.rlim_cur); ++fd) {
      if (!kept(fd, keep, kept_count)) sys_close(fd);
    }
    return;
  }
  // Closing while listing may skip entries: list again until a pass closes
  // nothing.
  for (bool closed = true; closed;) {
    closed = false;
    raw::call(SYS_lseek, dir, 0, SEEK_SET);
    alignas(8) char buf[2048];
    for (long n; (n = raw::call(SYS_getdents64, dir, reinterpret_cast<long>(buf), sizeof buf)) > 0;) {
      for (long at = 0; at < n;) {
        // struct linux_dirent64: inode, offset, record length, type, name.
        // getdents64 filled the first n bytes.
        // NOLINTNEXTLINE(clang-analyzer-core.uninitialized.Assign)
        const unsigned short length = *reinterpret_cast<const unsigned short*>(buf + at + 16);
        long fd = 0;
        bool number = buf[at + 19] != '\0';
        for (const char* c = buf + at + 19; *c != '\0'; ++c) {
          if (*c < '0' || *c > '9') number = false;
          fd = fd * 10 + (*c - '0');
        }
        at += length;
        if (number && fd >= first && fd != dir && !kept(fd, keep, kept_count)) {
          sys_close(fd);
          closed = true;
        }
      }
    }
  }
  sys_close(dir);
}

// Closes every descriptor from `first` on but those in `keep` (ascending).
CHILD_CODE void close_from(int first, const int* keep, int kept_count) {
  long low = first;
  for (int i = 0; i <= kept_count; ++i) {
    const long high = i < kept_count ? keep[i] - 1L : ~0U;
    if (high >= low && raw::call(SYS_close_range, low, high, 0) != 0) {
      close_listed_from(first, keep, kept_count);
      return;
    }
    if (i < kept_count) low = keep[i] + 1L;
  }
}

// git's signals as a direct start leaves them: no handler of the host's
// (which could not run here anyway: every signal is blocked), what the host
// ignores still ignored but SIGPIPE, SIGXFSZ and SIGCHLD, which git expects
// at their defaults, and no signal blocked. Then its directory and its
// descriptors: /dev/null, the two pipes, nothing else.
CHILD_CODE long set_up_git(const GitLaunch& launch) {
  for (int sig = 1; sig <= kLastSignal; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    KernelSigaction now{};
    if (raw::call(SYS_rt_sigaction, sig, 0, reinterpret_cast<long>(&now), kSigsetBytes) != 0) continue;
    const bool to_default = sig == SIGPIPE || sig == SIGXFSZ || sig == SIGCHLD;
    if (now.handler == reinterpret_cast<unsigned long>(SIG_DFL)) continue;
    if (now.handler == reinterpret_cast<unsigned long>(SIG_IGN) && !to_default) continue;
    KernelSigaction fallback{};
    raw::call(SYS_rt_sigaction, sig, reinterpret_cast<long>(&fallback), 0, kSigsetBytes);
  }
  if (const long r = raw::call(SYS_chdir, reinterpret_cast<long>(launch.dir)); r < 0) return -r;
  // Not close-on-exec: it becomes git's standard input.
  const long null = raw::call(SYS_openat, AT_FDCWD, reinterpret_cast<long>("/dev/null"), O_RDONLY);
  if (null < 0) return -null;
  if (null != STDIN_FILENO) {
    if (const long r = raw::call(SYS_dup3, null, STDIN_FILENO, 0); r < 0) return -r;
    sys_close(null);
  }
  if (const long r = raw::call(SYS_dup3, launch.out_fd, STDOUT_FILENO, 0); r < 0) return -r;
  if (const long r = raw::call(SYS_dup3, launch.err_fd, STDERR_FILENO, 0); r < 0) return -r;
  close_from(STDERR_FILENO + 1, nullptr, 0);
  const unsigned long none = 0;
  raw::call(SYS_rt_sigprocmask, SIG_SETMASK, reinterpret_cast<long>(&none), 0, kSigsetBytes);
  return 0;
}

// execvp's search: the errors after which it tries the next entry, EACCES
// told only when nothing could be run; any other error ends it (a file
// without an interpreter line, ENOEXEC, is not run by a shell).
CHILD_CODE long exec_on_path(const GitLaunch& launch) {
  bool denied = false;
  long err = ENOENT;
  for (const char* const* name = launch.candidate_list; *name != nullptr; ++name) {
    err = -raw::call(SYS_execve, reinterpret_cast<long>(*name), reinterpret_cast<long>(launch.argv),
                     reinterpret_cast<long>(launch.envp_list));
    switch (err) {
      case EACCES: denied = true; break;
      case ENOENT:
      case ESTALE:
      case ENOTDIR:
      case ENODEV:
      case ETIMEDOUT: break;
      default: return err;
    }
  }
  return denied ? EACCES : err;
}

CHILD_CODE int git_main(void* arg) {
  auto& launch = *static_cast<GitLaunch*>(arg);
  long err = set_up_git(launch);
  if (err == 0) err = exec_on_path(launch);
  launch.error = static_cast<int>(err);
  return 127;
}

// The relay: first git's start (0 or its errno), then git's wait status, on
// the report pipe. The launch is ours to read only until the first word is
// written: the caller returns then.
CHILD_CODE int relay_main(void* arg) {
  auto& launch = *static_cast<GitLaunch*>(arg);
  const int report = launch.report_fd;
  const int out_fd = launch.out_fd;
  const int err_fd = launch.err_fd;
  // git's status is waited for here; the host may have SIGCHLD ignored.
  KernelSigaction fallback{};
  raw::call(SYS_rt_sigaction, SIGCHLD, reinterpret_cast<long>(&fallback), 0, kSigsetBytes);
  // Only the descriptors the run needs: another thread's pipes stay open
  // for as long as any process holds them.
  int keep[3] = {report, out_fd, err_fd};
  for (int i = 0; i < 3; ++i) {
    for (int j = i + 1; j < 3; ++j) {
      if (keep[j] < keep[i]) {
        const int k = keep[i];
        keep[i] = keep[j];
        keep[j] = k;
      }
    }
  }
  close_from(STDERR_FILENO + 1, keep, 3);
  const long pid = raw::clone(CLONE_VM | CLONE_VFORK | SIGCHLD, launch.git_stack_top, nullptr, git_main, &launch);
  const int32_t start = pid < 0 ? static_cast<int32_t>(-pid) : launch.error;
  sys_close(out_fd);
  sys_close(err_fd);
  write_word(report, start);
  if (pid < 0) return 0;
  int status = 0;
  long r;
  do {
    r = raw::call(SYS_wait4, pid, reinterpret_cast<long>(&status), 0, 0);
  } while (r == -EINTR);
  if (start == 0 && r == pid) write_word(report, status);
  return 0;
}

// Blocks every signal of the calling thread while a child that shares its
// memory is made: a handler of the host's must not run in the child before
// the child has set its own.
class AllSignalsBlocked {
 public:
  AllSignalsBlocked() noexcept {
    const unsigned long all = ~0UL;
    raw::call(SYS_rt_sigprocmask, SIG_BLOCK, reinterpret_cast<long>(&all), reinterpret_cast<long>(&saved_),
              kSigsetBytes);
  }
  ~AllSignalsBlocked() { raw::call(SYS_rt_sigprocmask, SIG_SETMASK, reinterpret_cast<long>(&saved_), 0, kSigsetBytes); }
  AllSignalsBlocked(const AllSignalsBlocked&) = delete;
  AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

 private:
  unsigned long saved_ = 0;
};

char* map_stack(size_t bytes) noexcept {
  void* at = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  return at == MAP_FAILED ? nullptr : static_cast<char*>(at);
}

// Reads the first word of the relay's report; ECHILD when the relay ended
// before it wrote one.
int32_t read_start_word(const UniqueFd& report) noexcept {
  int32_t word = 0;
  size_t got = 0;
  while (got < sizeof word) {
    const ssize_t n = ::read(report.get(), reinterpret_cast<char*>(&word) + got, sizeof word - got);
    if (n > 0) {
      got += static_cast<size_t>(n);
      continue;
    }
    if (n == 0) return ECHILD;
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return errno;
    pollfd fd{report.get(), POLLIN, 0};
    ::poll(&fd, 1, -1);
  }
  return word;
}

}  // namespace

GitLaunch::GitLaunch(const std::string& dir_, char* const* argv_, support::EnvironmentCopy& environment, int out,
                     int err)
    : dir(dir_.c_str()), argv(argv_), out_fd(out), err_fd(err) {
  environment.entries(envp_store_);
  envp_list = envp_store_.data();
  // As execvp: each entry of PATH with "/git" after it, an empty entry
  // giving "git" in the directory git runs in.
  const std::string_view path = environment.first("PATH").value_or(kDefaultPath);
  for (size_t start = 0;;) {
    const size_t end = std::min(path.find(':', start), path.size());
    const std::string_view entry = path.substr(start, end - start);
    names_.push_back(entry.empty() ? std::string(argv[0]) : support::concat(entry, '/', argv[0]));
    if (end == path.size()) break;
    start = end + 1;
  }
  for (const auto& name : names_) candidates_.push_back(name.c_str());
  candidates_.push_back(nullptr);
  candidate_list = candidates_.data();
}

namespace {

// -1 until asked, then 1 or 0.
std::atomic<int> usable_pidfds{-1};

}  // namespace

bool pidfds_usable() noexcept {
  std::atomic<int>& usable = usable_pidfds;
  if (const int known = usable.load(std::memory_order_relaxed); known >= 0) return known == 1;
  bool works = false;
  const UniqueFd self(static_cast<int>(::syscall(SYS_pidfd_open, ::getpid(), 0)));
  if (self) {
    // We are no child of our own: ECHILD where the kernel waits on pidfds,
    // EINVAL where it knows them but not P_PIDFD (5.3).
    siginfo_t info{};
    works = ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(self.get()), &info, WEXITED | WNOHANG) != 0 &&
            errno == ECHILD;
  }
  usable.store(works ? 1 : 0, std::memory_order_relaxed);
  return works;
}

std::expected<StartedChild, int> start_git_directly(GitLaunch& launch) {
  char* stack = map_stack(kStackBytes);
  if (stack == nullptr) return std::unexpected(errno);
  int pidfd = -1;
  long pid;
  {
    const AllSignalsBlocked blocked;
    pid = raw::clone(CLONE_VM | CLONE_VFORK | CLONE_PIDFD | SIGCHLD, stack + kStackBytes, &pidfd, git_main, &launch);
  }
  ::munmap(stack, kStackBytes);
  // With these flags only a filter, or a kernel without CLONE_PIDFD, says
  // EINVAL, EPERM or ENOSYS.
  if (pid == -EINVAL || pid == -EPERM || pid == -ENOSYS) usable_pidfds.store(0, std::memory_order_relaxed);
  if (pid < 0) return std::unexpected(static_cast<int>(-pid));
  StartedChild child{static_cast<pid_t>(pid), UniqueFd(pidfd)};
  if (launch.error != 0) {
    // It exited without running git: reaped here, unless the host did.
    siginfo_t info{};
    while (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info, WEXITED) != 0 && errno == EINTR) {
    }
    return std::unexpected(launch.error);
  }
  return child;
}

RelayStack::RelayStack(RelayStack&& other) noexcept : base_(std::exchange(other.base_, nullptr)) {}

RelayStack::~RelayStack() {
  if (base_ != nullptr) ::munmap(base_, 2 * kStackBytes);
}

int RelayStack::map() noexcept {
  base_ = map_stack(2 * kStackBytes);
  return base_ == nullptr ? errno : 0;
}

char* RelayStack::relay_top() const noexcept { return base_ + 2 * kStackBytes; }
char* RelayStack::git_top() const noexcept { return base_ + kStackBytes; }

std::expected<StartedChild, int> start_git_relayed(GitLaunch& launch, const RelayStack& stack, UniqueFd& report_write,
                                                   const UniqueFd& report_read) {
  launch.report_fd = report_write.get();
  launch.git_stack_top = stack.git_top();
  const bool with_pidfd = pidfds_usable();
  int pidfd = -1;
  long pid;
  {
    const AllSignalsBlocked blocked;
    // Exit signal 0: no reaper of the host's sees it.
    pid = raw::clone(CLONE_VM | (with_pidfd ? CLONE_PIDFD : 0), stack.relay_top(), with_pidfd ? &pidfd : nullptr,
                     relay_main, &launch);
  }
  report_write.reset();
  if (pid < 0) return std::unexpected(static_cast<int>(-pid));
  StartedChild relay{static_cast<pid_t>(pid), UniqueFd(pidfd)};
  if (const int32_t start = read_start_word(report_read); start != 0) {
    reap_relay(relay);
    return std::unexpected(start);
  }
  return relay;
}

int reap_relay(const StartedChild& relay) noexcept {
  siginfo_t info{};
  for (;;) {
    const int r = relay.pidfd ? ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(relay.pidfd.get()), &info,
                                         WEXITED | __WALL)
                              : ::waitid(P_PID, static_cast<id_t>(relay.pid), &info, WEXITED | __WALL);
    if (r == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

}  // namespace brackwater::infrastructure
