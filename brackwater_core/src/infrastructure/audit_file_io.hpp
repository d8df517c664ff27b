// The files of the audit directory: the live file every event is appended
// to (under an exclusive flock), the rotation sentinel that admits one
// rotation at a time, and the monthly archives the live file is renamed
// into when it grows too large, pruned when they take too much space.
//
// Only the locked open returns a failure; rotation and pruning report their
// own failures on standard error and carry on, so that a failing log never
// stops the caller.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "support/file_lock.hpp"

namespace brackwater::infrastructure {

inline constexpr std::string_view kAuditLiveFileName = "worktree-events.ndjson";
inline constexpr std::string_view kAuditSentinelFileName = "worktree-events.ndjson.rotating";
// The live file is rotated when an append leaves it larger than this.
inline constexpr uint64_t kAuditRotateThreshold = 10'485'760;
// Pruning deletes all but the newest archives once there are at least
// kAuditPruneMinArchives and together they exceed kAuditPruneTotalBytes.
inline constexpr size_t kAuditPruneMinArchives = 4;
inline constexpr size_t kAuditPruneKeep = 3;
inline constexpr uint64_t kAuditPruneTotalBytes = 209'715'200;
// A sentinel older than this many whole seconds belongs to a dead rotation.
inline constexpr int64_t kAuditSentinelStaleSeconds = 60;

// Writes "[WORKTREE-AUDIT-FAILOPEN] <message>\n" to standard error as one
// write; a failure to write it is ignored.
void write_failopen_line(std::string_view message) noexcept;

// Whether a directory entry's name is an archive's: "worktree-events." ...
// ".ndjson", other than the live file itself.
bool is_audit_archive_name(std::string_view name) noexcept;

// The live file opened for appending (created, mode 0666 before the umask,
// when missing) and exclusively locked; closing it releases the lock. The
// error is an errno value; EINTR only when the lock-wait hook stopped the
// wait.
[[nodiscard]] std::expected<support::FileLock, int> locked_append(const std::string& live_path);

// Renames the live file into this month's archive and starts a new, empty
// live file, unless another rotation's sentinel exists. Call while holding
// the lock of locked_append on the live file.
void maybe_rotate(const std::string& live_path);

// The archives of `dir` (names that are valid UTF-8 only), oldest first by
// modification time, then by name. Never fails: an unreadable directory
// gives an empty list.
[[nodiscard]] std::vector<std::string> list_archives(const std::string& dir);

// Deletes every archive of `dir` but the three newest when there are four or
// more and together they exceed the size limit.
void prune_old_archives(const std::string& dir);

// Removes the sentinel beside the live file when it is more than 60 whole
// seconds old; true when it removed it.
bool reap_stale_sentinel(const std::string& live_path);

}  // namespace brackwater::infrastructure
