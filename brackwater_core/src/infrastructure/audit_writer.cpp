#include "infrastructure/audit_writer.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "infrastructure/audit_dir.hpp"
#include "infrastructure/audit_file_io.hpp"
#include "support/concat.hpp"
#include "support/env.hpp"
#include "support/fd_io.hpp"
#include "support/os_error.hpp"
#include "support/owned_dirs.hpp"
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

// Whether the last of the file's `size` bytes is a line feed. A byte that
// cannot be read counts as none: a needless line feed costs the reader a
// blank line, a missing one costs it the event glued to the fragment.
bool ends_in_line_feed(int fd, off_t size) noexcept {
  char last = 0;
  ssize_t n = 0;
  while ((n = ::pread(fd, &last, 1, size - 1)) < 0 && errno == EINTR) {
  }
  return n == 1 && last == '\n';
}

// Appends `line` under the live file's lock and rotates the file when the
// append took it past the threshold; the archive's name when it rotated.
// The lock is released on return.
std::expected<std::optional<std::string>, AuditWriteError> append_line(int dirfd, const std::string& dir,
                                                                       std::string_view line) {
  auto live = locked_append(dirfd, dir);
  if (!live && support::wait_stopped()) {
    // The wait hook stopped the wait: the caller gave up on this event,
    // the log lost nothing, so there is no fail-open line to print. Only
    // the stop mark says so; an EINTR alone is a fault like any other.
    return std::unexpected(AuditWriteError{support::os_error_text(EINTR), kAuditStageLock});
  }
  if (!live) {
    // What is not a regular file of ours with one name is refused at the
    // open; any other failure is the open's or the lock's.
    const support::PlaceError& e = live.error();
    const bool refused = e.why != support::PlaceError::Why::kOs || e.os_error == EISDIR;
    return std::unexpected(report_failure_to_stderr(refused ? kAuditStageOpen : kAuditStageLock, e.text()));
  }

  // A writer killed in the middle of its line leaves a fragment without a
  // line feed, and a line appended to it would make one unparsable line
  // with it: an event lost, though reported written. So the line goes out
  // after a line feed when the file does not end in one, in the same write;
  // no byte already written changes, so a complete record that lacks only
  // its line feed stays a record. A file of unknown size gets one too.
  const int fd = live->lock.fd();
  const std::optional<off_t> size = live->status ? std::optional<off_t>(live->status->st_size) : std::nullopt;
  std::string placed;
  if (!size || (*size > 0 && !ends_in_line_feed(fd, *size))) {
    placed.reserve(line.size() + 1);
    placed += '\n';
    placed += line;
    line = placed;
  }
  if (auto written = support::write_all(fd, line); !written) {
    // The line is reported unwritten, so no part of it stays: the file goes
    // back to what it was, a torn tail before it included.
    if (size) {
      while (::ftruncate(fd, *size) != 0 && errno == EINTR) {
      }
    }
    return std::unexpected(report_failure_to_stderr(kAuditStageWrite, support::write_error_text(written.error())));
  }

  // While we hold the lock no one else writes to this file, which is the
  // live one, so its size is the size before plus what we wrote.
  if (!size || static_cast<uint64_t>(*size) + line.size() <= kAuditRotateThreshold) return std::nullopt;
  return maybe_rotate(dirfd, dir);
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
  auto dirfd = support::open_owned_dir(dir->root, dir->below, true);
  if (!dirfd) return std::unexpected(report_failure_to_stderr(kAuditStageMkdir, dirfd.error().text()));
  (void)reap_stale_sentinel(dirfd->get(), dir->path);

  domain::AuditRecord record = domain::assemble_record(event, capture_context());
  const bool suspicious = looks_secret(event, record);
  const std::string line = domain::serialize_with_cap(record);
  if (suspicious) warn_suspicious(event);
  if (line.size() - 1 > domain::kAuditMaxLineBytes) {  // the newline is not counted
    return std::unexpected(report_failure_to_stderr(
        kAuditStageSize,
        support::concat("line longer than ", domain::kAuditMaxLineBytes, " bytes, which readers skip")));
  }

  auto archive = append_line(dirfd->get(), dir->path, line);
  if (!archive) return std::unexpected(std::move(archive).error());
  if (*archive) prune_old_archives(dirfd->get(), **archive);
  return {};
}

void reap_rotation_sentinel() {
  auto dir = resolve_plowline_shared_audit_dir();
  if (!dir) return;
  auto dirfd = support::open_owned_dir(dir->root, dir->below, false);
  if (dirfd) (void)reap_stale_sentinel(dirfd->get(), dir->path);
}

}  // namespace brackwater::infrastructure
