#include "domain/path_resolver.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>

#include "domain/paths.hpp"
#include "support/env.hpp"
#include "support/path_components.hpp"
#include "support/path_join.hpp"
#include "support/text.hpp"

namespace brackwater::domain {
namespace {

// Cleared once the kernel says it has no openat2 (or a filter refuses it);
// realpath(3) then does all the work.
std::atomic<bool> g_openat2_usable{true};

enum class Walk : std::uint8_t { kExists, kMissing, kAskLibc };

// One kernel walk of `path` that refuses to follow any symbolic link.
// kMissing: the path does not resolve, with or without links (the walk
// stopped before meeting one). kAskLibc: a link is in the way, or the kernel
// gave another answer that realpath(3) must judge.
Walk walk_without_links(const char* path, support::UniqueFd& fd) {
  if (!g_openat2_usable.load(std::memory_order_relaxed)) return Walk::kAskLibc;
  struct open_how how{};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS;
  const long rc = ::syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
  if (rc >= 0) {
    fd.reset(static_cast<int>(rc));
    return Walk::kExists;
  }
  if (errno == ENOENT || errno == ENOTDIR) return Walk::kMissing;
  if (errno == ENOSYS || errno == EPERM) g_openat2_usable.store(false, std::memory_order_relaxed);
  return Walk::kAskLibc;
}

// The absolute form of `path` with "", "." and ".." components folded
// away; `cwd` (absolute, canonical) stands before a relative path. For a path
// the kernel walked without meeting a link this is its real path.
std::string lexical_absolute(std::string_view path, std::string_view cwd) {
  std::string out;
  out.reserve(cwd.size() + path.size() + 1);
  if (!path.starts_with('/')) out = cwd == "/" ? std::string_view{} : cwd;
  support::for_each_path_component(path, [&](std::string_view part) {
    if (part == "..") {
      out.resize(out.rfind('/') == std::string::npos ? 0 : out.rfind('/'));
    } else if (part != "/" && part != ".") {
      out += '/';
      out += part;
    }
  });
  if (out.empty()) out = "/";
  return out;
}

enum class Leaf : std::uint8_t { kPlain, kLink, kAskLibc };

// Whether `name` in the resolved directory is a symbolic link. A name that
// is missing, or whose directory is not a directory, is plain here: its
// path then resolves, if at all, to the directory joined with the name.
Leaf classify_leaf(const support::UniqueFd& dir_fd, const std::string& dir, std::string_view name) {
  if (name.find('\0') != std::string_view::npos) return Leaf::kPlain;  // no such file can exist
  char target[1];
  const std::string owned(name);
  const ssize_t n = dir_fd ? ::readlinkat(dir_fd.get(), owned.c_str(), target, sizeof target)
                           : ::readlink(support::join_path(dir, owned).c_str(), target, sizeof target);
  if (n >= 0) return Leaf::kLink;
  if (errno == EINVAL || errno == ENOENT || errno == ENOTDIR) return Leaf::kPlain;
  return Leaf::kAskLibc;
}

// Splits `path` into the text of all but its last component and that
// component (support/path_components.hpp). Returns nullopt when the last
// component is not a plain name.
struct ParentAndName {
  std::string parent;
  std::string_view name;
};

std::optional<ParentAndName> split_last(std::string_view path) {
  std::string parent;
  std::optional<std::string_view> name;
  support::for_each_path_component(path, [&](std::string_view part) {
    if (name) support::append_component(parent, *name);
    name = part;
  });
  if (!name || *name == "/" || *name == "." || *name == "..") return std::nullopt;
  return ParentAndName{std::move(parent), *name};
}

}  // namespace

std::string PathResolver::normalize(std::string_view path) {
  if (!remember_) return normalize_uncached(path);
  if (auto it = normalized_.find(std::string(path)); it != normalized_.end()) return it->second;
  std::string result = normalize_uncached(path);
  normalized_.emplace(std::string(path), result);
  return result;
}

std::string PathResolver::normalize_uncached(std::string_view path) {
  if (support::is_blank(path)) return {};
  auto split = split_last(path);
  if (!split || split->parent.empty()) {
    if (auto resolved = real(std::string(path), nullptr)) return support::lossy_utf8(*resolved);
    return std::string(path);
  }
  support::UniqueFd dir_fd;
  const auto dir = real(split->parent, &dir_fd);
  if (!dir) return std::string(path);
  if (classify_leaf(dir_fd, *dir, split->name) != Leaf::kPlain) {
    if (auto resolved = support::real_path(path)) return support::lossy_utf8(*resolved);
  }
  return support::join_path(support::lossy_utf8(*dir), support::lossy_utf8(split->name));
}

std::optional<std::string> PathResolver::real(const std::string& path, support::UniqueFd* opened) {
  if (!remember_) return real_uncached(path, opened);
  if (auto it = real_.find(path); it != real_.end()) return it->second;
  auto result = real_uncached(path, opened);
  real_.emplace(path, result);
  return result;
}

std::optional<std::string> PathResolver::real_uncached(const std::string& path, support::UniqueFd* opened) {
  if (path.empty() || path.find('\0') != std::string::npos) return std::nullopt;
  if (path.size() < PATH_MAX) {
    support::UniqueFd fd;
    switch (walk_without_links(path.c_str(), fd)) {
      case Walk::kMissing: return std::nullopt;
      case Walk::kExists: {
        const bool absolute = path.starts_with('/');
        const std::string* base = absolute ? nullptr : cwd();
        if (!absolute && base == nullptr) break;
        std::string resolved = lexical_absolute(path, absolute ? std::string_view{} : *base);
        if (resolved.size() >= PATH_MAX) break;
        if (opened != nullptr) *opened = std::move(fd);
        return resolved;
      }
      case Walk::kAskLibc: break;
    }
  }
  return support::real_path(path);
}

const std::string* PathResolver::cwd() {
  if (!cwd_ && !cwd_failed_) {
    auto dir = support::current_dir();
    if (dir && dir->starts_with('/')) {
      cwd_ = std::move(dir);
    } else {
      cwd_failed_ = true;
    }
  }
  return cwd_ ? &*cwd_ : nullptr;
}

}  // namespace brackwater::domain
