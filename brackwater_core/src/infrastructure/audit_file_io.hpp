// The files of the audit directory: the live file every event is appended
// to (under an exclusive flock), the rotation sentinel that admits one
// rotation at a time, and the monthly archives the live file is renamed
// into when it grows too large, pruned when they take too much space.
//
// Only the locked open returns a failure; rotation, pruning and reaping
// report their own failures on standard error and carry on, so that a
// failing log never stops the caller, and a log that stops rotating never
// does so in silence.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "support/file_lock.hpp"
#include "support/files.hpp"

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
// A sentinel older than this many whole seconds belongs to a dead rotation;
// so does one dated further than this ahead (a clock stepped back, a restored
// backup), which would otherwise stay fresh for good. Less than that ahead
// may be another host's clock on a shared directory.
inline constexpr int64_t kAuditSentinelStaleSeconds = 60;

// Writes "[WORKTREE-AUDIT-FAILOPEN] <message>\n" to standard error as one
// write; a failure to write it is ignored.
void write_failopen_line(std::string_view message) noexcept;

// Whether a directory entry's name is an archive's: "worktree-events." ...
// ".ndjson", other than the live file itself.
bool is_audit_archive_name(std::string_view name) noexcept;

// The live file opened read-write, not in append mode (created, mode 0666
// before the umask, when missing), and exclusively locked; closing it
// releases the lock. Only a
// regular file (symbolic links followed) is locked: anything else in its
// place gives EISDIR or the reader's "not a regular file" (os_error 0), as
// support::open_regular_file says. Any other error is the open's or the
// lock's errno. An open or a lock wait that the wait hook stopped gives
// EINTR and sets the thread's stop mark (support::wait_stopped): the mark,
// not the errno, tells a stop from a fault.
[[nodiscard]] std::expected<support::FileLock, support::ReadFileError> locked_append(const std::string& live_path);

// Renames the live file into this month's archive and starts a new, empty
// live file, unless another rotation's sentinel exists. Call while holding
// the lock of locked_append on the live file. A sentinel that cannot be
// created for another reason, or removed afterwards, is reported.
void maybe_rotate(const std::string& live_path);

// The archives of `dir` (names that are valid UTF-8 only), oldest first by
// modification time, then by name. Never fails: an unreadable directory
// gives an empty list.
[[nodiscard]] std::vector<std::string> list_archives(const std::string& dir);

// Deletes every archive of `dir` but the three newest when there are four or
// more and together they exceed the size limit.
void prune_old_archives(const std::string& dir);

// Removes the sentinel beside the live file when it is stale: more than 60
// whole seconds old or ahead, or not a regular file at all (a directory is
// removed only when empty). True when it removed it; a stale sentinel that
// cannot be removed is reported.
bool reap_stale_sentinel(const std::string& live_path);

}  // namespace brackwater::infrastructure
