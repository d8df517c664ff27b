#include "domain/porcelain.hpp"

#include "support/text.hpp"

namespace brackwater::domain {
namespace {

constexpr std::string_view kMissingWorktree = "worktree record missing required 'worktree' line";

// The record being read.
struct Record {
  std::optional<std::string> worktree;
  std::optional<std::string> head;
  std::optional<std::string> branch;
  std::optional<std::string> lock_reason;
  bool bare = false;
  bool detached = false;
  bool locked = false;
  bool prunable = false;

  bool any_flag() const { return bare || detached || locked || prunable; }
};

// The rest of `line` after `prefix`, when it begins with it.
std::optional<std::string_view> after(std::string_view line, std::string_view prefix) {
  if (!line.starts_with(prefix)) return std::nullopt;
  return line.substr(prefix.size());
}

// Closes the record: appends its entry, or does nothing for an empty one.
bool flush_record(Record& record, std::vector<WorktreeListEntry>& entries) {
  if (!record.worktree && !record.head) {
    return !record.branch && !record.any_flag();
  }
  if (!record.worktree) return false;
  entries.push_back({
      .worktree = std::move(*record.worktree),
      .head = record.head ? std::move(*record.head) : std::string(),
      .branch = record.bare ? std::nullopt : std::move(record.branch),
      .lock_reason = std::move(record.lock_reason),
      .bare = record.bare,
      .detached = record.detached,
      .locked = record.locked,
      .prunable = record.prunable,
  });
  record = Record{};
  return true;
}

void apply_line(Record& record, std::string_view line) {
  if (auto rest = after(line, "worktree ")) {
    record.worktree = std::string(*rest);
  } else if (auto rest = after(line, "HEAD ")) {
    record.head = std::string(*rest);
  } else if (auto rest = after(line, "branch ")) {
    if (rest->starts_with("refs/heads/")) rest->remove_prefix(11);
    record.branch = std::string(*rest);
  } else if (line == "detached") {
    record.detached = true;
  } else if (line == "bare") {
    record.bare = true;
  } else if (line == "locked") {
    record.locked = true;
  } else if (auto rest = after(line, "locked ")) {
    record.locked = true;
    if (const auto reason = support::trim(*rest); !reason.empty()) record.lock_reason = std::string(reason);
  } else if (line == "prunable" || line.starts_with("prunable ")) {
    record.prunable = true;
  }
}

}  // namespace

std::expected<std::vector<WorktreeListEntry>, std::string> parse_porcelain(std::string_view text,
                                                                           PorcelainFraming framing) {
  const bool lines = framing == PorcelainFraming::kLines;
  const char terminator = lines ? '\n' : '\0';
  std::vector<WorktreeListEntry> entries;
  Record record;
  for (;;) {
    const size_t end = text.find(terminator);
    std::string_view line = text.substr(0, end);
    // A NUL-ended value is exact: a path may well end in a carriage return.
    while (lines && line.ends_with('\r')) line.remove_suffix(1);
    if (line.empty()) {
      if (!flush_record(record, entries)) return std::unexpected(std::string(kMissingWorktree));
    } else {
      apply_line(record, line);
    }
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  if (!flush_record(record, entries)) return std::unexpected(std::string(kMissingWorktree));
  return entries;
}

}  // namespace brackwater::domain
