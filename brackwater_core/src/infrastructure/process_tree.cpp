#include "infrastructure/process_tree.hpp"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <ctime>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdint>
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

// The state letter and the parent of process `pid` from /proc/<pid>/stat;
// the parent is 0 when the process is gone. The name in parentheses may hold
// anything but ends at the last ')'; the fields after it are the state and
// numbers, so the first bytes of the line suffice.
struct ProcStat {
  char state = 0;
  pid_t parent = 0;
};

ProcStat stat_of(pid_t pid) noexcept {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  const support::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return {};
  char buf[256];
  ssize_t n;
  do {
    n = ::read(fd.get(), buf, sizeof buf);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return {};
  const std::string_view line(buf, static_cast<size_t>(n));
  // ") S 1234 ...": the state, then the parent.
  const size_t close = line.rfind(')');
  if (close == std::string_view::npos || close + 4 >= line.size()) return {};
  ProcStat stat{line[close + 2], 0};
  std::from_chars(line.data() + close + 4, line.data() + line.size(), stat.parent);
  return stat;
}

// Where a process sent SIGSTOP stands. Only a stopped one keeps its
// children's pids for us: it can neither reap them nor fork. One that ended
// has handed its children to init.
enum class Stop : uint8_t { kPending, kStopped, kEnded };

Stop stop_of(pid_t pid) noexcept {
  const ProcStat stat = stat_of(pid);
  if (stat.parent == 0 || stat.state == 'Z' || stat.state == 'X') return Stop::kEnded;
  return stat.state == 'T' || stat.state == 't' ? Stop::kStopped : Stop::kPending;
}

// The processes sent SIGSTOP so far, the root first, and where each stands.
// A fixed array: nothing on this path allocates, and a tree larger than this
// is ended as far as it fits (the rest escapes, as orphans do).
class Held {
 public:
  bool has(pid_t pid) const noexcept { return index(pid) < size_; }
  // Whether `pid` is held and was seen stopped, so that its children keep
  // their pids until we kill them.
  bool stopped(pid_t pid) const noexcept {
    const size_t at = index(pid);
    return at < size_ && stops_[at] == Stop::kStopped;
  }
  bool full() const noexcept { return size_ == pids_.size(); }
  void add(pid_t pid) noexcept {
    stops_[size_] = Stop::kPending;
    pids_[size_++] = pid;
  }
  // Looks again at those not yet seen stopped or ended. `root_alive` tells
  // whether the root is still unreaped (its pid still its own) as we look.
  struct Settled {
    bool newly_stopped = false;
    bool pending = false;
  };
  template <class RootAlive>
  Settled settle(RootAlive&& root_alive) noexcept {
    Settled settled;
    for (size_t i = 0; i < size_; ++i) {
      if (stops_[i] != Stop::kPending) continue;
      stops_[i] = stop_of(pids_[i]);
      if (i == 0 && stops_[i] == Stop::kStopped && !root_alive()) stops_[i] = Stop::kEnded;
      settled.newly_stopped = settled.newly_stopped || stops_[i] == Stop::kStopped;
      settled.pending = settled.pending || stops_[i] == Stop::kPending;
    }
    return settled;
  }
  std::span<const pid_t> pids() const noexcept { return {pids_.data(), size_}; }

 private:
  size_t index(pid_t pid) const noexcept {
    return static_cast<size_t>(std::ranges::find(pids(), pid) - pids().begin());
  }

  std::array<pid_t, 1024> pids_{};
  std::array<Stop, 1024> stops_{};
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

// Stops every process whose parent is held and was seen stopped, and that
// is not held yet; true when it stopped any. A parent that still runs could
// reap a child between the look at its parent link and the signal, and its
// pid could then be anyone's: its children wait for the next pass. One that
// cannot be stopped has exited (its children went to init) or is not ours
// to stop: it is not held, so neither is anything below it.
bool stop_children_of(Held& held) noexcept {
  bool found = false;
  for_each_process([&](pid_t pid) {
    if (held.full()) return false;
    if (held.has(pid)) return true;
    const pid_t parent = stat_of(pid).parent;
    if (parent <= 0 || !held.stopped(parent) || ::kill(pid, SIGSTOP) != 0) return true;
    held.add(pid);
    found = true;
    return true;
  });
  return found;
}

// How long processes sent SIGSTOP that have not stopped yet are waited for
// (one in uninterruptible sleep stops only once it wakes): past that, what
// lies below them escapes.
constexpr auto kSettleFor = std::chrono::seconds(1);
constexpr timespec kSettlePause{0, 200'000};

}  // namespace

void kill_process_tree(pid_t root, int root_pidfd) noexcept {
  Held held;
  if (signal_root(root, root_pidfd, SIGSTOP)) {
    held.add(root);
    // Each process seen stopped is looked under once: it cannot fork
    // any more. A root reaped by someone else meanwhile (it is watched
    // through its pidfd) may have left its pid to anyone.
    const auto until = std::chrono::steady_clock::now() + kSettleFor;
    for (;;) {
      const auto settled = held.settle([&] { return signal_root(root, root_pidfd, 0); });
      if (settled.newly_stopped && stop_children_of(held)) continue;
      if (!settled.pending || std::chrono::steady_clock::now() >= until) break;
      ::nanosleep(&kSettlePause, nullptr);
    }
  }
  signal_root(root, root_pidfd, SIGKILL);
  for (const pid_t pid : held.pids().subspan(held.pids().empty() ? 0 : 1)) ::kill(pid, SIGKILL);
}

}  // namespace brackwater::infrastructure
