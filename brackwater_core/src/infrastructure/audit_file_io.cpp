#include "infrastructure/audit_file_io.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <memory>
#include <new>
#include <tuple>

#include "domain/timestamp.hpp"
#include "support/atomic_file.hpp"
#include "support/concat.hpp"
#include "support/fd_io.hpp"
#include "support/files.hpp"
#include "support/os_error.hpp"
#include "support/path_join.hpp"
#include "support/text.hpp"
#include "support/unique_fd.hpp"

namespace brackwater::infrastructure {
namespace {

constexpr std::string_view kFailopenTag = "[WORKTREE-AUDIT-FAILOPEN] ";
constexpr std::string_view kArchivePrefix = "worktree-events.";
constexpr std::string_view kArchiveSuffix = ".ndjson";
constexpr mode_t kFileMode = 0666;

std::string sentinel_path(const std::string& live_path) {
  return support::join_path(support::parent_dir(live_path), kAuditSentinelFileName);
}

std::string archive_path(const std::string& dir, const std::string& month, int n) {
  if (n < 2) return support::join_path(dir, support::concat(kArchivePrefix, month, kArchiveSuffix));
  return support::join_path(dir, support::concat(kArchivePrefix, month, '.', n, kArchiveSuffix));
}

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// Creates (or opens) a file and closes it at once; the error is an errno.
int touch(const std::string& path, int flags) {
  const support::UniqueFd fd =
      support::open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | flags, kFileMode);
  return fd ? 0 : errno;
}

int64_t now_seconds() {
  using namespace std::chrono;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

struct DirCloser {
  void operator()(DIR* d) const noexcept { ::closedir(d); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// "{what}: {path}: {error}" as a fail-open line.
void report_path_error(std::string_view what, const std::string& path, int err) {
  write_failopen_line(support::concat(what, ": ", support::lossy_utf8(path), ": ", support::os_error_text(err)));
}

// Whether a regular sentinel modified at `modified` (whole seconds) is left
// over from a rotation that will never remove it.
bool is_stale(int64_t modified, int64_t now) {
  const int64_t age = now - std::max<int64_t>(modified, 0);
  return age > kAuditSentinelStaleSeconds || age < -kAuditSentinelStaleSeconds;
}

DirHandle open_dir(const std::string& dir) { return DirHandle(::opendir(dir.c_str())); }

// Every entry name of an open directory (unreadable entries skipped).
template <class Visit>
void for_each_name(DIR* d, Visit&& visit) {
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(d);
    if (entry == nullptr) {
      if (errno == EINTR) continue;
      return;
    }
    visit(std::string_view(entry->d_name));
  }
}

}  // namespace

void write_failopen_line(std::string_view message) noexcept {
  std::string line;
  try {
    line = support::concat(kFailopenTag, message, '\n');
  } catch (const std::bad_alloc&) {
    return;  // no memory for the line: nothing to report it with
  }
  (void)support::write_all(STDERR_FILENO, line);
}

bool is_audit_archive_name(std::string_view name) noexcept {
  return name.starts_with(kArchivePrefix) && name.ends_with(kArchiveSuffix) && name != kAuditLiveFileName;
}

std::expected<support::FileLock, support::ReadFileError> locked_append(const std::string& live_path) {
  // Only a regular file: a FIFO or a device would take the line and lose it
  // while the call reports success. No O_APPEND: the writer places its line
  // at the end it finds under the lock (audit_writer.cpp says why).
  auto file = support::open_regular_file(live_path, O_RDWR | O_CREAT, kFileMode);
  if (!file) {
    // ENXIO: a socket, or a device without its driver.
    if (file.error().os_error == ENXIO) return std::unexpected(support::ReadFileError{0});
    return std::unexpected(file.error());
  }
  if (const int err = support::flock_retrying(file->fd.get(), LOCK_EX); err != 0) {
    return std::unexpected(support::ReadFileError{err});
  }
  return support::FileLock(std::move(file->fd));
}

void maybe_rotate(const std::string& live_path) {
  const std::string sentinel = sentinel_path(live_path);
  if (const int err = touch(sentinel, O_EXCL); err != 0) {
    // EEXIST: another rotation is under way, or a stale sentinel waits for
    // the next append to reap it. Anything else would refuse every rotation.
    if (err != EEXIST) report_path_error("rotate", sentinel, err);
    return;
  }

  const std::string month = domain::format_year_month(std::chrono::system_clock::now());
  const std::string dir = support::parent_dir(live_path);
  std::string archive = archive_path(dir, month, 1);
  for (int n = 2; exists(archive) && n < INT_MAX; ++n) archive = archive_path(dir, month, n);

  int err = ::rename(live_path.c_str(), archive.c_str()) == 0 ? 0 : errno;
  // Not truncated when present: a writer that opened the live path after
  // the rename has created it already and may have appended to it.
  if (err == 0) err = touch(live_path, 0);
  if (err != 0) {
    write_failopen_line(support::concat("rotate: ", support::lossy_utf8(live_path), " -> ",
                                        support::lossy_utf8(archive), ": ", support::os_error_text(err)));
  }
  // ENOENT: another host, whose clock is far from ours, reaped it already.
  if (::unlink(sentinel.c_str()) != 0 && errno != ENOENT) report_path_error("rotate-cleanup", sentinel, errno);
}

std::vector<std::string> list_archives(const std::string& dir) {
  DirHandle d = open_dir(dir);
  const int dfd = d ? ::dirfd(d.get()) : -1;
  if (dfd < 0) return {};
  struct Found {
    int64_t sec;
    long nsec;
    std::string name;
  };
  std::vector<Found> found;
  for_each_name(d.get(), [&](std::string_view name) {
    if (!is_audit_archive_name(name) || !support::is_utf8(name)) return;
    struct stat st;
    const std::string n(name);
    Found f{0, 0, n};
    if (::fstatat(dfd, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      f.sec = st.st_mtim.tv_sec;
      f.nsec = st.st_mtim.tv_nsec;
    }
    found.push_back(std::move(f));
  });
  std::ranges::sort(found, {}, [](const Found& f) { return std::tie(f.sec, f.nsec, f.name); });
  std::vector<std::string> paths;
  paths.reserve(found.size());
  for (const auto& f : found) paths.push_back(support::join_path(dir, f.name));
  return paths;
}

void prune_old_archives(const std::string& dir) {
  DirHandle d = open_dir(dir);
  const int dfd = d ? ::dirfd(d.get()) : -1;
  if (dfd < 0) {
    write_failopen_line(support::concat("prune-list: ", support::os_error_text(errno)));
    return;
  }
  struct Found {
    int64_t sec;
    long nsec;
    uint64_t size;
    std::string path;
  };
  std::vector<Found> found;
  for_each_name(d.get(), [&](std::string_view name) {
    if (!is_audit_archive_name(support::lossy_utf8(name))) return;
    struct stat st;
    const std::string n(name);
    if (::fstatat(dfd, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    found.push_back(
        {st.st_mtim.tv_sec, st.st_mtim.tv_nsec, static_cast<uint64_t>(st.st_size), support::join_path(dir, n)});
  });
  if (found.size() < kAuditPruneMinArchives) return;
  std::ranges::stable_sort(found, std::ranges::greater{}, [](const Found& f) { return std::tie(f.sec, f.nsec); });
  uint64_t total = 0;
  for (const auto& f : found) total += f.size;
  if (total <= kAuditPruneTotalBytes) return;
  while (found.size() > kAuditPruneKeep) {
    if (::unlink(found.back().path.c_str()) != 0) {
      write_failopen_line(support::concat("prune-delete: ", support::os_error_text(errno)));
      return;
    }
    found.pop_back();
  }
}

bool reap_stale_sentinel(const std::string& live_path) {
  const std::string sentinel = sentinel_path(live_path);
  struct stat st;
  // Not followed: a symbolic link, dangling or not, is no sentinel of ours
  // and would refuse every rotation just the same.
  if (::lstat(sentinel.c_str(), &st) != 0) return false;
  if (S_ISREG(st.st_mode) && !is_stale(st.st_mtim.tv_sec, now_seconds())) return false;
  const int removed = S_ISDIR(st.st_mode) ? ::rmdir(sentinel.c_str()) : ::unlink(sentinel.c_str());
  if (removed == 0) return true;
  // ENOENT: another process reaped it first.
  if (errno != ENOENT) report_path_error("reap", sentinel, errno);
  return false;
}

}  // namespace brackwater::infrastructure
