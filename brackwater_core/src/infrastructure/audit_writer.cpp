#include "infrastructure/audit_writer.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "infrastructure/audit_dir.hpp"
#include "infrastructure/audit_file_io.hpp"
#include "support/atomic_file.hpp"
#include "support/concat.hpp"
#include "support/env.hpp"
#include "support/fd_io.hpp"
#include "support/files.hpp"
#include "support/os_error.hpp"
#include "support/path_join.hpp"
#include "support/text.hpp"
#include "support/wait_hook.hpp"

namespace brackwater::infrastructure {
namespace {

using domain::AuditContext;
using domain::AuditEvent;

constexpr std::string_view kSuspiciousExtraTag = "[WORKTREE-AUDIT-SUSPICIOUS-EXTRA] keys=";
constexpr size_t kHostBufferSize = 256;

// The process context of one line; the clock is read here, before the lock.
AuditContext capture_context() {
  AuditContext context;
  context.timestamp = domain::format_timestamp(std::chrono::system_clock::now());
  context.pid = ::getpid();
  context.parent_pid = ::getppid();
  if (auto cwd = support::current_dir()) context.cwd = support::lossy_utf8(*cwd);
  char host[kHostBufferSize] = {};
  if (::gethostname(host, sizeof host) == 0) {
    context.host = support::lossy_utf8(std::string_view(host, ::strnlen(host, sizeof host)));
  }
  return context;
}

// Whether the event's `extra` (as `record` renders it before the cap may
// drop it) is an object whose text holds a secret-looking word.
bool looks_secret(const AuditEvent& event, const domain::AuditRecord& record) {
  return event.extra && event.extra->is_object() && record.extra_json && domain::is_secret_pattern(*record.extra_json);
}

// Names the object's top-level keys on standard error. Nothing is redacted.
void warn_suspicious(const AuditEvent& event) {
  std::string line(kSuspiciousExtraTag);
  line += '[';
  bool first = true;
  for (auto it = event.extra->begin(); it != event.extra->end(); ++it) {
    if (!first) line += ", ";
    first = false;
    line += support::quote_literal(it.key());
  }
  line += "]\n";
  (void)support::write_all(STDERR_FILENO, line);
}

// Appends `line` under the live file's lock and rotates the file when the
// append took it past the threshold; true when a rotation was attempted.
// The lock is released on return.
std::expected<bool, AuditWriteError> append_line(const std::string& live, std::string_view line) {
  auto file = locked_append(live);
  if (!file && support::wait_stopped()) {
    // The wait hook stopped the wait: the caller gave up on this event,
    // the log lost nothing, so there is no fail-open line to print. Only
    // the stop mark says so; an EINTR alone is a fault like any other.
    return std::unexpected(AuditWriteError{support::os_error_text(EINTR), kAuditStageLock});
  }
  if (!file) {
    // Something other than a regular file in the live file's place fails to
    // open; any other failure is the open's or the lock's.
    const int err = file.error().os_error;
    const bool not_regular = err == 0 || err == EISDIR;
    return std::unexpected(
        report_failure_to_stderr(not_regular ? kAuditStageOpen : kAuditStageLock, file.error().text()));
  }

  struct stat before;
  if (::fstat(file->fd(), &before) != 0) {
    return std::unexpected(report_failure_to_stderr(kAuditStageWrite, support::os_error_text(errno)));
  }
  // A writer killed in the middle of its line leaves a fragment without a
  // line feed, and a line appended to it would make one unparsable line
  // with it: an event lost, though reported written. So the line goes out
  // after a line feed that takes the place of the file's last byte: a line
  // feed there is written over with itself, and a fragment's last byte is
  // replaced, which closes the fragment off (the reader skips it as any
  // torn line). Reading the last byte first would cost every append a read
  // and, under relatime, an update of the file's access time; writing over
  // it costs nothing. The file is not opened O_APPEND, or pwrite would
  // append all the same; under the lock no one else writes to it.
  std::string placed;
  off_t at = before.st_size;
  if (at > 0) {
    placed.reserve(line.size() + 1);
    placed += '\n';
    placed += line;
    line = placed;
    --at;
  }
  if (auto written = support::pwrite_all(file->fd(), line, at); !written) {
    // The line is reported unwritten, so no part of it stays: the file is
    // cut back to its size before (a torn tail's last byte may stay a line
    // feed, which closes it off all the same).
    while (::ftruncate(file->fd(), before.st_size) != 0 && errno == EINTR) {
    }
    return std::unexpected(report_failure_to_stderr(kAuditStageWrite, support::os_error_text(written.error())));
  }

  // While we hold the lock no one else writes to this file, so its size is
  // where the line began plus the line.
  const uint64_t size = static_cast<uint64_t>(at) + line.size();
  if (size <= kAuditRotateThreshold) return false;

  // A file that a concurrent rotation already moved into an archive is not
  // the live file any more; rotating again would archive the new, small one.
  struct stat at_live;
  if (::stat(live.c_str(), &at_live) != 0 || !support::same_file(before, at_live)) return false;
  maybe_rotate(live);
  return true;
}

}  // namespace

std::string AuditWriteError::display() const { return support::concat(stage, ": ", message); }

AuditWriteError report_failure_to_stderr(std::string_view stage, std::string message) {
  AuditWriteError error{std::move(message), stage};
  write_failopen_line(error.display());
  return error;
}

std::expected<void, AuditWriteError> record_event(const AuditEvent& event) {
  auto dir = resolve_plowline_shared_audit_dir();
  if (!dir) return std::unexpected(AuditWriteError{dir.error().display(), kAuditStageProjectId});
  if (auto made = support::create_directories(*dir); !made) {
    return std::unexpected(report_failure_to_stderr(kAuditStageMkdir, support::os_error_text(made.error())));
  }
  const std::string live = support::join_path(*dir, kAuditLiveFileName);
  (void)reap_stale_sentinel(live);

  domain::AuditRecord record = domain::assemble_record(event, capture_context());
  const bool suspicious = looks_secret(event, record);
  const std::string line = domain::serialize_with_cap(record);
  if (suspicious) warn_suspicious(event);
  if (line.size() - 1 > domain::kAuditMaxLineBytes) {  // the newline is not counted
    return std::unexpected(report_failure_to_stderr(
        kAuditStageSize,
        support::concat("line longer than ", domain::kAuditMaxLineBytes, " bytes, which readers skip")));
  }

  auto rotated = append_line(live, line);
  if (!rotated) return std::unexpected(std::move(rotated).error());
  if (*rotated) prune_old_archives(*dir);
  return {};
}

void reap_rotation_sentinel() {
  auto dir = resolve_plowline_shared_audit_dir();
  if (!dir) return;
  (void)reap_stale_sentinel(support::join_path(*dir, kAuditLiveFileName));
}

}  // namespace brackwater::infrastructure
