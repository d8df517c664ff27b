// The text `git worktree list --porcelain` prints, parsed into one entry per
// worktree record. Pure: text in, entries out. The text comes from outside,
// so every input gives either a list or an error text, never a crash.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brackwater::domain {

// One worktree record.
struct WorktreeListEntry {
  std::string worktree;                    // as git printed it; not normalised
  std::string head;                        // empty when the record had no HEAD line
  std::optional<std::string> branch;       // without one leading "refs/heads/"; absent for bare
  std::optional<std::string> lock_reason;  // trimmed; absent when no line carried one
  bool bare = false;
  bool detached = false;
  bool locked = false;
  bool prunable = false;
};

// The records of `text` in order. Lines end at line feeds (carriage returns
// before them are dropped); an empty line closes a record; unknown lines are
// ignored. A record with attributes but no "worktree" line is an error, and
// an error discards every entry.
[[nodiscard]] std::expected<std::vector<WorktreeListEntry>, std::string> parse_porcelain(std::string_view text);

}  // namespace brackwater::domain
