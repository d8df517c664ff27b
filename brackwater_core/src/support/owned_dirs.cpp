#include "support/owned_dirs.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "support/atomic_file.hpp"
#include "support/concat.hpp"
#include "support/files.hpp"
#include "support/os_error.hpp"
#include "support/path_components.hpp"
#include "support/path_join.hpp"
#include "support/text.hpp"

namespace brackwater::support {
namespace {

constexpr int kDirFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

PlaceError os_failure(int err, std::string_view path) {
  return PlaceError{PlaceError::Why::kOs, err, std::string(path)};
}

// The refusal of what `st` says is not ours, if anything.
std::optional<PlaceError> refusal(const struct stat& st, std::string_view path) {
  if (!owned_by_us(st)) return PlaceError{PlaceError::Why::kOwner, 0, std::string(path), st.st_uid};
  return std::nullopt;
}

std::optional<PlaceError> refusal(int fd, std::string_view path) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return os_failure(errno, path);
  return refusal(st, path);
}

// Why `name` in `dirfd` could not be opened without following a link: a
// link says so, anything else keeps the open's error. (O_CREAT on another
// user's link in a sticky directory gives EACCES, not ELOOP.)
PlaceError open_failure(int err, int dirfd, const std::string& name, std::string_view path) {
  struct stat st;
  if ((err == ENOTDIR || err == ELOOP || err == EACCES) &&
      ::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
    return PlaceError{PlaceError::Why::kLink, 0, std::string(path)};
  }
  return os_failure(err, path);
}

}  // namespace

bool PlaceError::missing() const noexcept { return why == Why::kOs && (os_error == ENOENT || os_error == ENOTDIR); }

std::string PlaceError::text() const {
  switch (why) {
    case Why::kOs: return os_error_text(os_error);
    case Why::kLink: return concat(lossy_utf8(path), ": a symbolic link, which is not followed");
    case Why::kOwner: return concat(lossy_utf8(path), ": owned by uid ", owner, ", neither this user nor root");
    case Why::kSecondName: return concat(lossy_utf8(path), ": a file with a second name (hard link)");
    case Why::kNotRegular: break;
  }
  return "not a regular file";
}

bool owned_by_us(const struct stat& st) noexcept { return st.st_uid == 0 || st.st_uid == ::geteuid(); }

std::expected<UniqueFd, PlaceError> open_owned_dir(std::string_view root, std::string_view below, bool create) {
  std::string path(root.empty() ? "." : root);
  if (path.find('\0') != std::string::npos || below.find('\0') != std::string_view::npos) {
    return std::unexpected(os_failure(EINVAL, path));
  }
  // The root by its path, links followed (they are the caller's choice);
  // every name below it from the descriptor of the one before.
  UniqueFd dir(::open(path.c_str(), kDirFlags));
  if (!dir) {
    // ENOTDIR: a file where the root or one of its parents belongs, which
    // mkdir answers with EEXIST.
    const int err = errno;
    if (!create || (err != ENOENT && err != ENOTDIR)) return std::unexpected(os_failure(err, path));
    if (auto made = create_directories(path); !made) return std::unexpected(os_failure(made.error(), path));
    dir.reset(::open(path.c_str(), kDirFlags));
    if (!dir) return std::unexpected(os_failure(errno, path));
  }
  std::optional<PlaceError> failed = refusal(dir.get(), path);
  for_each_path_component(below, [&](std::string_view part) {
    if (failed || part == ".") return;
    const std::string name(part);
    path = join_path(path, name);
    UniqueFd next(::openat(dir.get(), name.c_str(), kDirFlags | O_NOFOLLOW));
    if (!next && errno == ENOENT && create) {
      // EEXIST: made meanwhile by another process, or a dangling link,
      // which the open refuses.
      if (::mkdirat(dir.get(), name.c_str(), 0777) != 0 && errno != EEXIST) {
        failed = os_failure(errno, path);
        return;
      }
      next.reset(::openat(dir.get(), name.c_str(), kDirFlags | O_NOFOLLOW));
    }
    if (!next) {
      // Something other than a directory in the way, where one was to be
      // made: mkdir's own answer.
      const int err = errno;
      failed = open_failure(err, dir.get(), name, path);
      if (create && failed->why == PlaceError::Why::kOs && err == ENOTDIR) failed->os_error = EEXIST;
      return;
    }
    failed = refusal(next.get(), path);
    dir = std::move(next);
  });
  if (failed) return std::unexpected(*std::move(failed));
  return dir;
}

std::expected<UniqueFd, PlaceError> open_owned_file(int dirfd, std::string_view dir, std::string_view name, int flags,
                                                    mode_t mode, struct stat& status) {
  const std::string n(name);
  const std::string path = join_path(dir, n);
  if (n.find('\0') != std::string::npos) return std::unexpected(os_failure(EINVAL, path));
  flags |= O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  UniqueFd fd = open_retrying(n.c_str(), flags, mode, dirfd);
  // O_NOATIME is for the file's owner only: root's file, opened by another user.
  if (!fd && errno == EPERM && (flags & O_NOATIME) != 0) fd = open_retrying(n.c_str(), flags & ~O_NOATIME, mode, dirfd);
  // ENXIO: a socket, or a device without its driver.
  if (!fd && errno == ENXIO) return std::unexpected(PlaceError{PlaceError::Why::kNotRegular, 0, path});
  if (!fd) return std::unexpected(open_failure(errno, dirfd, n, path));
  if (::fstat(fd.get(), &status) != 0) return std::unexpected(os_failure(errno, path));
  if (S_ISDIR(status.st_mode)) return std::unexpected(os_failure(EISDIR, path));
  if (!S_ISREG(status.st_mode)) return std::unexpected(PlaceError{PlaceError::Why::kNotRegular, 0, path});
  if (auto refused = refusal(status, path)) return std::unexpected(*std::move(refused));
  return fd;
}

}  // namespace brackwater::support
