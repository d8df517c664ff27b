#include "infrastructure/audit_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include <simdjson.h>

#include "domain/audit_line.hpp"
#include "infrastructure/audit_dir.hpp"
#include "infrastructure/audit_file_io.hpp"
#include "support/path_join.hpp"
#include "support/text.hpp"
#include "support/unique_fd.hpp"

namespace brackwater::infrastructure {
namespace {

using domain::AuditRecord;

constexpr size_t kReadChunk = 1 << 16;

// A whole file's bytes followed by kAuditLinePadding spare bytes, so that
// every line inside can be parsed in place.
struct PaddedBytes {
  std::unique_ptr<char[]> data;
  size_t size = 0;
};

// The bytes of a regular file; nullopt for anything else or any failure.
// Opened without blocking, so a FIFO in a log file's place cannot stall us.
std::optional<PaddedBytes> read_regular_file(const std::string& path) {
  support::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) return std::nullopt;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  size_t capacity = static_cast<size_t>(st.st_size) + kReadChunk;
  PaddedBytes bytes{std::make_unique_for_overwrite<char[]>(capacity + domain::kAuditLinePadding), 0};
  for (;;) {
    if (bytes.size == capacity) {  // the file grew while we read it
      const size_t grown = capacity * 2;
      auto larger = std::make_unique_for_overwrite<char[]>(grown + domain::kAuditLinePadding);
      std::memcpy(larger.get(), bytes.data.get(), bytes.size);
      bytes.data = std::move(larger);
      capacity = grown;
    }
    const ssize_t n = ::read(fd.get(), bytes.data.get() + bytes.size, capacity - bytes.size);
    if (n > 0) {
      bytes.size += static_cast<size_t>(n);
    } else if (n == 0) {
      std::memset(bytes.data.get() + bytes.size, ' ', domain::kAuditLinePadding);
      return bytes;
    } else if (errno != EINTR) {
      return std::nullopt;
    }
  }
}

// `line` without Unicode white space at either end. Nearly every line
// starts with "{" and ends with "}", which need no look-up.
std::string_view trim_line(std::string_view line) {
  if (!line.empty() && line.front() == '{' && line.back() == '}') return line;
  return support::trim(line);
}

class Collector {
 public:
  Collector(const std::optional<std::string>& branch, const std::optional<std::string>& worktree,
            const std::optional<domain::UtcInstant>& since, const std::optional<domain::UtcInstant>& until)
      : branch_(branch), worktree_(worktree), since_(since), until_(until) {}

  void read_file(const std::string& path) {
    const auto bytes = read_regular_file(path);
    if (!bytes || !simdjson::validate_utf8(bytes->data.get(), bytes->size)) return;
    const char* const begin = bytes->data.get();
    const char* const end = begin + bytes->size;
    for (const char* pos = begin; pos < end;) {
      const char* newline = static_cast<const char*>(std::memchr(pos, '\n', static_cast<size_t>(end - pos)));
      const char* line_end = newline != nullptr ? newline : end;
      take_line(trim_line(std::string_view(pos, static_cast<size_t>(line_end - pos))));
      pos = line_end + 1;
    }
  }

  std::vector<AuditRecord> take_sorted() && {
    const auto by_timestamp = [](const AuditRecord& a, const AuditRecord& b) { return a.timestamp < b.timestamp; };
    if (!std::is_sorted(records_.begin(), records_.end(), by_timestamp)) {
      std::stable_sort(records_.begin(), records_.end(), by_timestamp);
    }
    return std::move(records_);
  }

 private:
  void take_line(std::string_view line) {
    if (line.empty()) return;
    auto record = parser_.parse(line, branch_, worktree_);
    if (!record) return;
    const auto at = domain::parse_ts(record->timestamp);
    if (!at || (since_ && *at < *since_) || (until_ && *at > *until_)) return;
    records_.push_back(*std::move(record));
  }

  const std::optional<std::string>& branch_;
  const std::optional<std::string>& worktree_;
  const std::optional<domain::UtcInstant>& since_;
  const std::optional<domain::UtcInstant>& until_;
  domain::AuditLineParser parser_;
  std::vector<AuditRecord> records_;
};

}  // namespace

std::vector<AuditRecord> read_records(const std::optional<std::string>& branch,
                                      const std::optional<std::string>& worktree,
                                      const std::optional<domain::UtcInstant>& since,
                                      const std::optional<domain::UtcInstant>& until) {
  auto dir = resolve_plowline_shared_audit_dir();
  if (!dir) return {};
  Collector collector(branch, worktree, since, until);
  for (const auto& archive : list_archives(*dir)) collector.read_file(archive);
  collector.read_file(support::join_path(*dir, kAuditLiveFileName));
  return std::move(collector).take_sorted();
}

}  // namespace brackwater::infrastructure
