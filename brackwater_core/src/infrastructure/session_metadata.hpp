// A session's metadata.json, written by other tools and read here to
// recover a lost binding. Any problem with the file (missing, not a regular
// file, not UTF-8, not one JSON object, no usable worktree or branch) means
// there is no metadata: recovery has nothing to go on, and says nothing.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace brackwater::infrastructure {

// What a session's metadata says of it.
struct SessionMetadata {
  std::string worktree;    // "worktree_path"; never blank
  std::string branch;      // "branch", else "branch_name"; may be empty
  std::string commit_ish;  // "source_ref", else ""
};

// The metadata in `bytes`, when they are UTF-8 JSON whose one value is an
// object with a usable worktree and branch.
[[nodiscard]] std::optional<SessionMetadata> parse_session_metadata(std::string_view bytes);

// The metadata in the regular file at `path` (symbolic links followed).
[[nodiscard]] std::optional<SessionMetadata> read_session_metadata(std::string_view path);

}  // namespace brackwater::infrastructure
