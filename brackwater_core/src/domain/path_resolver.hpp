// Resolution of real paths behind `normalize_path`, with a memo for callers
// that normalise many paths at once.
//
// A path without symbolic links resolves in one kernel walk: openat2 with
// RESOLVE_NO_SYMLINKS says whether it exists, and its real path is then its
// lexical form. realpath(3), which asks readlink about every component in
// turn, only runs for paths that do hold a link, and for whatever the kernel
// answers other than "exists" or "does not exist". A missing path never pays
// for two walks: the parent is looked at first, and when it does not resolve
// neither does the path.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "support/unique_fd.hpp"

namespace brackwater::domain {

// Normalises paths by the rules of `normalize_path`. Each distinct text is
// resolved at most once per resolver, so a resolver must live for one call
// only: the file system may change between calls.
class PathResolver {
 public:
  PathResolver() = default;
  PathResolver(const PathResolver&) = delete;
  PathResolver& operator=(const PathResolver&) = delete;

  std::string normalize(std::string_view path);

 private:
  friend std::string normalize_path(std::string_view path);
  explicit PathResolver(bool remember) : remember_(remember) {}

  std::string normalize_uncached(std::string_view path);
  // The real path of `path` (raw bytes, not yet made valid UTF-8), or
  // nullopt when it does not resolve. When it was resolved just now through
  // the kernel, the descriptor it was opened with is handed to `opened`.
  std::optional<std::string> real(const std::string& path, support::UniqueFd* opened);
  std::optional<std::string> real_uncached(const std::string& path, support::UniqueFd* opened);
  const std::string* cwd();

  bool remember_ = true;
  std::unordered_map<std::string, std::optional<std::string>> real_;
  std::unordered_map<std::string, std::string> normalized_;
  std::optional<std::string> cwd_;
  bool cwd_failed_ = false;
};

}  // namespace brackwater::domain
