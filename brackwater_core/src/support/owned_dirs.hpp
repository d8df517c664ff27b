// Where the system writes, it writes only into what is its own: every
// directory and file it creates or writes is reached from an open descriptor
// of a root, one name at a time, never through a symbolic link, and never
// one owned by neither the effective user nor root. A repository or a shared
// directory may hold names that a stranger planted (a clone's committed
// link to ~/.bashrc, a directory another user made first in /tmp), and a
// path that is looked up again at each step can be swapped between steps.
//
// The root itself is taken as given, links in it followed: it is the
// repository's top level as git gives it, or a directory the user named.
// It must be owned by the effective user or root all the same, as git
// refuses a repository another user owns. Reading is not restricted.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "support/unique_fd.hpp"

namespace brackwater::support {

// Why a place could not be opened for writing.
struct PlaceError {
  enum class Why : uint8_t {
    kOs,          // `os_error` says
    kLink,        // `path` is a symbolic link
    kOwner,       // `path` is owned by uid `owner`
    kSecondName,  // `path` is a file with more than one name
    kNotRegular,  // `path` is neither a regular file nor a directory
  };
  Why why = Why::kOs;
  int os_error = 0;
  std::string path;
  uid_t owner = 0;

  // ENOENT or ENOTDIR: nothing (or no directory) at a name on the way.
  [[nodiscard]] bool missing() const noexcept;
  // The OS error text, or what was refused and why.
  [[nodiscard]] std::string text() const;
};

// Whether `st` belongs to the effective user or root.
[[nodiscard]] bool owned_by_us(const struct stat& st) noexcept;

// The directory `root`, then each name of the relative path `below` opened
// from it: created (mode 0777 before the umask, the root with its missing
// parents) when missing and `create` is set, refused when a link or owned by
// another user. The descriptor is O_PATH: good for the *at calls and fstat,
// not for reading the directory.
[[nodiscard]] std::expected<UniqueFd, PlaceError> open_owned_dir(std::string_view root, std::string_view below,
                                                                 bool create);

// `name` in the directory `dirfd` (whose path `dir` serves only the
// messages), opened with `flags` and, when they create it, `mode`, never
// through a link, close-on-exec, without blocking; kept only when it is a
// regular file owned by the effective user or root. A directory in its
// place gives EISDIR. `status` is read from the open descriptor.
[[nodiscard]] std::expected<UniqueFd, PlaceError> open_owned_file(int dirfd, std::string_view dir,
                                                                  std::string_view name, int flags, mode_t mode,
                                                                  struct stat& status);

}  // namespace brackwater::support
