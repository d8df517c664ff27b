// Appending one event to the audit log, fail-open: a failure of the log is
// returned as a value (and, past directory resolution, announced on standard
// error) and never stops the caller any other way.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "domain/audit.hpp"

namespace brackwater::infrastructure {

inline constexpr std::string_view kAuditStageProjectId = "project_id";
inline constexpr std::string_view kAuditStageMkdir = "mkdir";
// The live path holds something other than a regular file: a line written
// to it would be lost.
inline constexpr std::string_view kAuditStageOpen = "open";
inline constexpr std::string_view kAuditStageLock = "lock";
// The line is longer than a reader takes (domain::kAuditMaxLineBytes): it
// would be written and never read back.
inline constexpr std::string_view kAuditStageSize = "size";
inline constexpr std::string_view kAuditStageWrite = "write";
// The code before a write failure's text where callers raise it.
inline constexpr std::string_view kAuditWriteFailedCode = "WORKTREE_AUDIT_WRITE_FAILED";

struct AuditWriteError {
  std::string message;
  std::string_view stage;  // one of the kAuditStage* names

  // "{stage}: {message}"
  [[nodiscard]] std::string display() const;
};

// Writes the fail-open line for "{stage}: {message}" to standard error and
// returns the error.
AuditWriteError report_failure_to_stderr(std::string_view stage, std::string message);

// Resolves and creates the audit directory (never through a link, nor into
// a directory another user owns: support/owned_dirs.hpp), captures the
// process context, renders the capped line, warns when `extra` looks like
// it holds secrets, refuses a line longer than the reader takes (the cap
// leaves the branch, worktree and other texts whole), and appends the line
// under the live file's lock, into the file that is live while the lock is
// held, after a line feed when the file does not end in one (a writer
// killed mid-line), so that no byte already written changes. A failed write
// cuts the file back to its size before. An append that takes the live
// file past the rotation threshold rotates it and then prunes old archives,
// never the one just made. A wait for the lock that the wait hook stopped
// (support/wait_hook.hpp) fails at stage "lock" with the text of EINTR and
// prints nothing: the caller interrupted it, no fault lost the event.
[[nodiscard]] std::expected<void, AuditWriteError> record_event(const domain::AuditEvent& event);

// Removes a stale rotation sentinel in the audit directory, if any. Creates
// nothing; reports only a stale sentinel it cannot remove.
void reap_rotation_sentinel();

}  // namespace brackwater::infrastructure
