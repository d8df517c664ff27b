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

#include <sys/stat.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/file_lock.hpp"
#include "support/owned_dirs.hpp"

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

// Everything below acts on the audit directory through `dirfd`, its
// descriptor (support::open_owned_dir), never by path, so that no step can
// be sent elsewhere by a name swapped in between; `dir`, its path, only
// names files in messages. What is written is never reached through a link,
// nor owned by another user (support/owned_dirs.hpp).

// The live file, locked, and the status its name showed once the lock was
// held (absent when that could not be read).
struct LockedLive {
  support::FileLock lock;
  std::optional<struct stat> status;
};

// The live file opened for appending (created, mode 0666 before the umask,
// when missing) and exclusively locked; closing it releases the lock. Only
// a regular file of the effective user or root, with one name: anything
// else gives EISDIR or the refusal (support::PlaceError). Once the lock is
// held, a file that is no longer the one at the live name (renamed or
// deleted meanwhile) is let go and the live name opened again, so that a
// writer writes only into the file that is live while it holds the lock.
// An open or a lock wait that the wait hook stopped gives EINTR and sets
// the thread's stop mark (support::wait_stopped): the mark, not the errno,
// tells a stop from a fault.
[[nodiscard]] std::expected<LockedLive, support::PlaceError> locked_append(int dirfd, const std::string& dir);

// Renames the live file into this month's archive and starts a new, empty
// live file, unless another rotation's sentinel exists. Call while holding
// the lock of locked_append on the live file. A sentinel that cannot be
// created for another reason, or removed afterwards, is reported, and so,
// once per process, is one that has held rotation back for longer than a
// stale one lives. The archive's name, when the live file was moved.
std::optional<std::string> maybe_rotate(int dirfd, const std::string& dir);

// The archives of `dir` (names that are valid UTF-8 only), oldest first by
// modification time, then by name. Never fails: an unreadable directory
// gives an empty list. Read by path: reading is not restricted.
[[nodiscard]] std::vector<std::string> list_archives(const std::string& dir);

// Deletes every archive but the three newest when there are four or more
// and together they exceed the size limit. Only regular files of the
// effective user or root count; one dated later than now counts as made
// now, and `just_made`, the archive this call's rotation made, as the
// newest, so that no clock or stranger's file costs the events just
// written.
void prune_old_archives(int dirfd, std::string_view just_made);

// Removes the sentinel when it is stale: more than 60 whole seconds old or
// ahead, or not a regular file at all (a directory is removed only when
// empty). True when it removed it; a stale sentinel that cannot be removed
// is reported.
bool reap_stale_sentinel(int dirfd, const std::string& dir);

}  // namespace brackwater::infrastructure
