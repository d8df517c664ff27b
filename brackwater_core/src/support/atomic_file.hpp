// Atomic replacement of a file: a temporary file beside the target, created
// exclusively and written through the descriptor that created it, then
// renamed over the target. On failure the temporary file is removed and the
// target is untouched. Nothing is synced to disk.
#pragma once

#include <sys/types.h>

#include <expected>
#include <string>
#include <string_view>

namespace brackwater::support {

// Writes `bytes` to a new temporary file in the directory `dirfd` named
// ".tmp" + 6 random alphanumerics + ".tmp" (mode `mode` before the umask,
// never through a link) and renames it to `target` in the same directory,
// which replaces whatever name `target` was, a link included, without
// writing through it. The error is an errno value.
[[nodiscard]] std::expected<void, int> replace_file_atomically(int dirfd, std::string_view target,
                                                               std::string_view bytes, mode_t mode);

// Creates `dir` and every missing parent (mode 0777 before the umask); an
// existing directory is left alone. The error is an errno value.
[[nodiscard]] std::expected<void, int> create_directories(std::string_view dir);

// True when `path` exists and is a directory (symbolic links followed).
bool is_directory(std::string_view path);

// The directory part of `path`: "." when it has none, "/" for the root.
std::string parent_dir(std::string_view path);

}  // namespace brackwater::support
