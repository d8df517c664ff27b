#include "infrastructure/process_tree.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
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

// Stops every process whose parent is held and that is not held yet; true
// when it found any.
bool stop_children_of(Held& held) noexcept {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return false;
  bool found = false;
  while (const dirent* entry = ::readdir(proc)) {
    if (held.full()) break;
    const std::string_view name(entry->d_name);
    pid_t pid = 0;
    if (std::from_chars(name.data(), name.data() + name.size(), pid).ec != std::errc{} || pid <= 0) continue;
    if (held.has(pid)) continue;
    const pid_t parent = parent_of(pid);
    if (parent <= 0 || !held.has(parent)) continue;
    ::kill(pid, SIGSTOP);
    held.add(pid);
    found = true;
  }
  ::closedir(proc);
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
