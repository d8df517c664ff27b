// The text `git worktree list --porcelain` prints, parsed into one entry per
// worktree record. Pure: text in, entries out. The text comes from outside,
// so every input gives either a list or an error text, never a crash.
#pragma once

#include <cstdint>
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

// How the attributes of the text are ended.
enum class PorcelainFraming : uint8_t {
  // Each ends at a line feed; carriage returns before it are dropped. Paths
  // are printed raw, so one holding a line feed cannot be read right.
  kLines,
  // Each ends at a NUL byte (git's -z form); every other byte, line feeds
  // and carriage returns included, belongs to the value.
  kNul,
};

// The records of `text` in order. An empty attribute closes a record;
// unknown attributes are ignored. A record with attributes but no
// "worktree" one is an error, and an error discards every entry.
[[nodiscard]] std::expected<std::vector<WorktreeListEntry>, std::string> parse_porcelain(
    std::string_view text, PorcelainFraming framing = PorcelainFraming::kLines);

}  // namespace brackwater::domain
