#include "infrastructure/audit_file_io.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <memory>
#include <new>
#include <tuple>

#include "domain/timestamp.hpp"
#include "support/concat.hpp"
#include "support/fd_io.hpp"
#include "support/files.hpp"
#include "support/os_error.hpp"
#include "support/owned_dirs.hpp"
#include "support/path_join.hpp"
#include "support/text.hpp"
#include "support/unique_fd.hpp"

namespace brackwater::infrastructure {
namespace {

constexpr std::string_view kFailopenTag = "[WORKTREE-AUDIT-FAILOPEN] ";
constexpr std::string_view kArchivePrefix = "worktree-events.";
constexpr std::string_view kArchiveSuffix = ".ndjson";
constexpr mode_t kFileMode = 0666;

std::string archive_name(const std::string& month, int n) {
  if (n < 2) return support::concat(kArchivePrefix, month, kArchiveSuffix);
  return support::concat(kArchivePrefix, month, '.', n, kArchiveSuffix);
}

bool exists_at(int dirfd, const std::string& name) {
  struct stat st;
  return ::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// Creates a file that must not exist yet (never through a link) and closes
// it at once; the error is an errno.
int create_new(int dirfd, std::string_view name) {
  const std::string n(name);
  const support::UniqueFd fd = support::open_retrying(
      n.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, kFileMode, dirfd);
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

// "{what}: {dir}/{name}: {error}" as a fail-open line.
void report_path_error(std::string_view what, const std::string& dir, std::string_view name, int err) {
  write_failopen_line(support::concat(what, ": ", support::lossy_utf8(support::join_path(dir, name)), ": ",
                                      support::os_error_text(err)));
}

// Whether a regular sentinel modified at `modified` (whole seconds) is left
// over from a rotation that will never remove it.
bool is_stale(int64_t modified, int64_t now) {
  const int64_t age = now - std::max<int64_t>(modified, 0);
  return age > kAuditSentinelStaleSeconds || age < -kAuditSentinelStaleSeconds;
}

DirHandle open_dir(const std::string& dir) { return DirHandle(::opendir(dir.c_str())); }

// A listing of the directory `dirfd` itself, whatever its path names now.
DirHandle open_dir_at(int dirfd) {
  support::UniqueFd fd(::openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return nullptr;
  DirHandle d(::fdopendir(fd.get()));
  if (d) (void)fd.release();
  return d;
}

// A live file with a second name is written through that name too: the
// other name may be a file of anyone's (where protected_hardlinks is off).
std::optional<support::PlaceError> second_name(const struct stat& st, const std::string& dir) {
  if (st.st_nlink <= 1) return std::nullopt;
  return support::PlaceError{support::PlaceError::Why::kSecondName, 0, support::join_path(dir, kAuditLiveFileName)};
}

// Says once per process that a sentinel has held rotation back for longer
// than a stale one lives: someone keeps it fresh, and the live file grows
// without bound. Held since the sentinel was made, where the file system
// knows that, else since this process first found it held back.
void say_if_held_back(int dirfd, const std::string& dir) {
  static std::atomic<bool> said{false};
  static std::atomic<int64_t> first_seen{0};
  if (said.load()) return;
  const int64_t now = now_seconds();
  int64_t since = 0;
  struct statx sx;
  const std::string name(kAuditSentinelFileName);
  if (::statx(dirfd, name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME) != 0) {
    since = sx.stx_btime.tv_sec;
  } else {
    int64_t unset = 0;
    first_seen.compare_exchange_strong(unset, now);
    since = first_seen.load();
  }
  if (now - since > kAuditSentinelStaleSeconds && !said.exchange(true)) {
    write_failopen_line(support::concat("rotate: held back for ", now - since, " s by ",
                                        support::lossy_utf8(support::join_path(dir, name)),
                                        ", which someone keeps fresh"));
  }
}

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

std::expected<LockedLive, support::PlaceError> locked_append(int dirfd, const std::string& dir) {
  const std::string name(kAuditLiveFileName);
  for (;;) {
    // Only a regular file: a FIFO or a device would take the line and lose
    // it while the call reports success. O_NOATIME: the writer reads the
    // last byte, and every append would otherwise date the inode anew.
    struct stat opened;
    auto fd = support::open_owned_file(dirfd, dir, name, O_RDWR | O_APPEND | O_CREAT | O_NOATIME, kFileMode, opened);
    if (!fd) return std::unexpected(fd.error());
    if (auto refused = second_name(opened, dir)) return std::unexpected(*std::move(refused));
    if (const int err = support::flock_retrying(fd->get(), LOCK_EX); err != 0) {
      return std::unexpected(support::PlaceError{{}, err, {}});
    }
    // A rotation, or a hand, may have moved the file away while we waited:
    // what is written into it then is read by no one, or lost with it.
    struct stat now;
    if (::fstatat(dirfd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      return LockedLive{support::FileLock(*std::move(fd)), std::nullopt};
    }
    if (!support::same_file(opened, now)) continue;
    if (auto refused = second_name(now, dir)) return std::unexpected(*std::move(refused));
    return LockedLive{support::FileLock(*std::move(fd)), now};
  }
}

std::optional<std::string> maybe_rotate(int dirfd, const std::string& dir) {
  if (const int err = create_new(dirfd, kAuditSentinelFileName); err != 0) {
    // EEXIST: another rotation is under way, or a stale sentinel waits for
    // the next append to reap it. Anything else would refuse every rotation.
    if (err == EEXIST) {
      say_if_held_back(dirfd, dir);
    } else {
      report_path_error("rotate", dir, kAuditSentinelFileName, err);
    }
    return std::nullopt;
  }

  const std::string month = domain::format_year_month(std::chrono::system_clock::now());
  const std::string live(kAuditLiveFileName);
  std::string archive = archive_name(month, 1);
  for (int n = 2; exists_at(dirfd, archive) && n < INT_MAX; ++n) archive = archive_name(month, n);

  const bool moved = ::renameat(dirfd, live.c_str(), dirfd, archive.c_str()) == 0;
  int err = moved ? 0 : errno;
  // EEXIST: a writer that opened the live name after the rename has
  // created it already and may have appended to it.
  if (moved) {
    err = create_new(dirfd, live);
    if (err == EEXIST) err = 0;
  }
  if (err != 0) {
    write_failopen_line(support::concat("rotate: ", support::lossy_utf8(support::join_path(dir, live)), " -> ",
                                        support::lossy_utf8(support::join_path(dir, archive)), ": ",
                                        support::os_error_text(err)));
  }
  const std::string sentinel(kAuditSentinelFileName);
  // ENOENT: another host, whose clock is far from ours, reaped it already.
  if (::unlinkat(dirfd, sentinel.c_str(), 0) != 0 && errno != ENOENT) {
    report_path_error("rotate-cleanup", dir, sentinel, errno);
  }
  if (!moved) return std::nullopt;
  return archive;
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

void prune_old_archives(int dirfd, std::string_view just_made) {
  DirHandle d = open_dir_at(dirfd);
  if (!d) {
    write_failopen_line(support::concat("prune-list: ", support::os_error_text(errno)));
    return;
  }
  struct Found {
    bool just_made;
    int64_t sec;
    long nsec;
    uint64_t size;
    std::string name;
  };
  const int64_t now = now_seconds();
  std::vector<Found> found;
  for_each_name(d.get(), [&](std::string_view name) {
    if (!is_audit_archive_name(support::lossy_utf8(name))) return;
    struct stat st;
    const std::string n(name);
    if (::fstatat(dirfd, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    // Not ours to count or delete: a link, a directory, a stranger's file.
    if (!S_ISREG(st.st_mode) || !support::owned_by_us(st)) return;
    Found f{n == just_made, st.st_mtim.tv_sec, st.st_mtim.tv_nsec, static_cast<uint64_t>(st.st_size), n};
    if (f.sec > now) std::tie(f.sec, f.nsec) = std::tuple(now, 0L);
    found.push_back(std::move(f));
  });
  if (found.size() < kAuditPruneMinArchives) return;
  std::ranges::stable_sort(found, std::ranges::greater{},
                           [](const Found& f) { return std::tie(f.just_made, f.sec, f.nsec); });
  uint64_t total = 0;
  for (const auto& f : found) total += f.size;
  if (total <= kAuditPruneTotalBytes) return;
  while (found.size() > kAuditPruneKeep) {
    if (::unlinkat(dirfd, found.back().name.c_str(), 0) != 0) {
      write_failopen_line(support::concat("prune-delete: ", support::os_error_text(errno)));
      return;
    }
    found.pop_back();
  }
}

bool reap_stale_sentinel(int dirfd, const std::string& dir) {
  const std::string sentinel(kAuditSentinelFileName);
  struct stat st;
  // Not followed: a symbolic link, dangling or not, is no sentinel of ours
  // and would refuse every rotation just the same.
  if (::fstatat(dirfd, sentinel.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (S_ISREG(st.st_mode) && !is_stale(st.st_mtim.tv_sec, now_seconds())) return false;
  if (::unlinkat(dirfd, sentinel.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) == 0) return true;
  // ENOENT: another process reaped it first.
  if (errno != ENOENT) report_path_error("reap", dir, sentinel, errno);
  return false;
}

}  // namespace brackwater::infrastructure
