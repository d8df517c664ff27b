#include "infrastructure/process_tree.hpp"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>

#include "support/unique_fd.hpp"

namespace brackwater::infrastructure {
namespace {

bool signal_root(pid_t root, int pidfd, int sig) noexcept {
  if (pidfd >= 0) return ::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0) == 0;
  return ::kill(root, sig) == 0;
}

// The parent of process `pid` from /proc/<pid>/stat, or 0 when it is gone.
// The name in parentheses may hold anything but ends at the last ')'; the
// fields after it are numbers, so the first bytes of the line suffice.
pid_t parent_of(pid_t pid) noexcept {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  const support::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return 0;
  char buf[256];
  ssize_t n;
  do {
    n = ::read(fd.get(), buf, sizeof buf);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return 0;
  const std::string_view line(buf, static_cast<size_t>(n));
  // ") S 1234 ...": the state, then the parent.
  const size_t close = line.rfind(')');
  if (close == std::string_view::npos || close + 4 >= line.size()) return 0;
  pid_t parent = 0;
  std::from_chars(line.data() + close + 4, line.data() + line.size(), parent);
  return parent;
}

// The processes stopped so far, the root first. A fixed array: nothing on
// this path allocates, and a tree larger than this is ended as far as it
// fits (the rest escapes, as orphans do).
class Held {
 public:
  bool has(pid_t pid) const noexcept { return std::ranges::find(pids(), pid) != pids().end(); }
  bool full() const noexcept { return size_ == pids_.size(); }
  void add(pid_t pid) noexcept { pids_[size_++] = pid; }
  std::span<const pid_t> pids() const noexcept { return {pids_.data(), size_}; }

 private:
  std::array<pid_t, 1024> pids_{};
  size_t size_ = 0;
};

// The numeric entries of /proc, read with getdents64 into a buffer on the
// stack: opendir would allocate.
template <class Visit>
void for_each_process(Visit&& visit) noexcept {
  const support::UniqueFd proc(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!proc) return;
  alignas(8) char buf[8192];
  for (;;) {
    const long n = ::syscall(SYS_getdents64, proc.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    for (long at = 0; at < n;) {
      // struct linux_dirent64: inode, offset, record length, type, name.
      unsigned short length;
      std::memcpy(&length, buf + at + 16, sizeof length);
      const std::string_view name(buf + at + 19);
      at += length;
      pid_t pid = 0;
      const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
      if (ec == std::errc{} && end == name.data() + name.size() && pid > 0 && !visit(pid)) return;
    }
  }
}

// Stops every process whose parent is held and that is not held yet; true
// when it stopped any. One that cannot be stopped has exited (its children
// went to init) or is not ours to stop: it is not held, so neither is
// anything below it.
bool stop_children_of(Held& held) noexcept {
  bool found = false;
  for_each_process([&](pid_t pid) {
    if (held.full()) return false;
    if (held.has(pid)) return true;
    const pid_t parent = parent_of(pid);
    if (parent <= 0 || !held.has(parent) || ::kill(pid, SIGSTOP) != 0) return true;
    held.add(pid);
    found = true;
    return true;
  });
  return found;
}

}  // namespace

void kill_process_tree(pid_t root, int root_pidfd) noexcept {
  Held held;
  if (signal_root(root, root_pidfd, SIGSTOP)) {
    held.add(root);
    // Each pass finds one more generation, or children forked before
    // their parent stopped.
    while (stop_children_of(held)) {
    }
  }
  signal_root(root, root_pidfd, SIGKILL);
  for (const pid_t pid : held.pids().subspan(held.pids().empty() ? 0 : 1)) ::kill(pid, SIGKILL);
}

}  // namespace brackwater::infrastructure
