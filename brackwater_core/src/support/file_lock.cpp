#include "support/file_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "support/wait_hook.hpp"

namespace brackwater::support {

// Unlocking never waits: it is retried without asking the hook, which could
// run a signal handler in the middle of a guard's destruction.
FileLock::~FileLock() {
  if (!fd_) return;
  while (::flock(fd_.get(), LOCK_UN) != 0 && errno == EINTR) {
  }
}

namespace {

// The longest a lock wait in slices goes without asking the hook.
constexpr auto kLongestSlice = std::chrono::milliseconds(100);

// Tries the lock again and again, pausing a little longer each time up to
// the longest slice, and asks the hook between tries.
int flock_in_slices(int fd, int operation) {
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (!may_go_on()) return EINTR;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, kLongestSlice);
    if (::flock(fd, operation | LOCK_NB) == 0) return 0;
    if (errno != EWOULDBLOCK && errno != EINTR) return errno;
  }
}

}  // namespace

int flock_retrying(int fd, int operation) {
  if (wait_stopped()) return EINTR;
  // A signal that came before the wait interrupts no flock: the hook is
  // asked once before the wait blocks, so such a Ctrl-C is not lost. One
  // that may land on another thread would interrupt no flock at all: that
  // wait goes in slices.
  if ((operation & LOCK_NB) == 0) {
    if (::flock(fd, operation | LOCK_NB) == 0) return 0;
    if (errno != EWOULDBLOCK && errno != EINTR) return errno;
    if (signals_may_land_elsewhere()) return flock_in_slices(fd, operation);
    if (!may_go_on()) return EINTR;
  }
  while (::flock(fd, operation) != 0) {
    if (errno != EINTR) return errno;
    if (!may_go_on()) return EINTR;
  }
  return 0;
}

std::expected<FileLock, PlaceError> lock_exclusive(int dirfd, std::string_view dir, std::string_view name) {
  struct stat status;
  auto fd = open_owned_file(dirfd, dir, name, O_RDWR | O_CREAT, 0666, status);
  if (!fd) return std::unexpected(fd.error());
  if (const int err = flock_retrying(fd->get(), LOCK_EX); err != 0) return std::unexpected(PlaceError{{}, err, {}});
  return FileLock(*std::move(fd));
}

}  // namespace brackwater::support
