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
#include "infrastructure/audit_line_screen.hpp"
#include "support/path_join.hpp"
#include "support/text.hpp"
#include "support/unique_fd.hpp"

namespace brackwater::infrastructure {
namespace {

using domain::AuditRecord;

// Files are read through one window, reused from file to file, so that a
// 40 MiB log costs no more memory than its longest stretch of lines. Small
// enough that the bytes just read are still in cache when they are parsed.
constexpr size_t kWindow = 1 << 18;

// A growable buffer with kAuditLinePadding spare bytes after its capacity,
// so that every line inside can be parsed in place.
class Window {
 public:
  char* data() noexcept { return bytes_.get(); }
  size_t capacity() const noexcept { return capacity_; }
  void grow(size_t keep) {
    const size_t larger = capacity_ == 0 ? kWindow : capacity_ * 2;
    auto bytes = std::make_unique_for_overwrite<char[]>(larger + domain::kAuditLinePadding);
    if (keep > 0) std::memcpy(bytes.get(), bytes_.get(), keep);
    bytes_ = std::move(bytes);
    capacity_ = larger;
  }

 private:
  std::unique_ptr<char[]> bytes_;
  size_t capacity_ = 0;
};

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
      : branch_(branch),
        worktree_(worktree),
        since_(since),
        until_(until),
        branch_screen_(branch),
        worktree_screen_(worktree) {}

  // Adds the records of one log file. A file that is not a regular file,
  // cannot be read to its end or is not valid UTF-8 anywhere adds none.
  // Opened without blocking, so a FIFO in a log file's place cannot stall us.
  void read_file(const std::string& path) {
    support::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd) return;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    const size_t mark = records_.size();
    if (!read_lines(fd.get())) records_.resize(mark);
  }

  AuditRecords take_sorted() && {
    const auto by_timestamp = [](const auto& a, const auto& b) { return a->timestamp < b->timestamp; };
    if (!std::ranges::is_sorted(records_, by_timestamp)) std::ranges::stable_sort(records_, by_timestamp);
    return std::move(records_);
  }

 private:
  // Reads to the end of the file, taking every whole line as soon as it is
  // in the window; false when the file failed to read or is not UTF-8.
  bool read_lines(int fd) {
    if (window_.capacity() == 0) window_.grow(0);
    size_t held = 0;  // bytes in the window: the start of a line not yet ended
    for (;;) {
      if (held == window_.capacity()) window_.grow(held);  // one line longer than the window
      const ssize_t n = ::read(fd, window_.data() + held, window_.capacity() - held);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) return take_lines(held, held);  // the last line may lack its newline
      held += static_cast<size_t>(n);
      const void* last = ::memrchr(window_.data(), '\n', held);
      if (last == nullptr) continue;
      const size_t whole = static_cast<size_t>(static_cast<const char*>(last) - window_.data()) + 1;
      if (!take_lines(whole, whole - 1)) return false;
      std::memmove(window_.data(), window_.data() + whole, held - whole);
      held -= whole;
    }
  }

  // Checks the window's first `checked` bytes (ending at a line end, so no
  // character is cut) and takes the lines of its first `end` bytes.
  bool take_lines(size_t checked, size_t end) {
    const char* const begin = window_.data();
    if (!simdjson::validate_utf8(begin, checked)) return false;
    const char* const stop = begin + end;
    branch_screen_.reset(stop);
    worktree_screen_.reset(stop);
    for (const char* pos = begin; pos <= stop;) {
      const char* newline = static_cast<const char*>(std::memchr(pos, '\n', static_cast<size_t>(stop - pos)));
      const char* line_end = newline != nullptr ? newline : stop;
      if (branch_screen_.may_match(pos, line_end) && worktree_screen_.may_match(pos, line_end)) {
        take_line(trim_line(std::string_view(pos, static_cast<size_t>(line_end - pos))));
      }
      pos = line_end + 1;
    }
    return true;
  }

  void take_line(std::string_view line) {
    if (line.empty()) return;
    if (!spare_) spare_ = std::make_unique<AuditRecord>();
    if (!parser_.parse(line, branch_, worktree_, *spare_)) return;
    const auto at = domain::parse_rfc3339(spare_->timestamp);
    if (!at || (since_ && *at < *since_) || (until_ && *at > *until_)) return;
    records_.push_back(std::move(spare_));
  }

  const std::optional<std::string>& branch_;
  const std::optional<std::string>& worktree_;
  const std::optional<domain::UtcInstant>& since_;
  const std::optional<domain::UtcInstant>& until_;
  AuditLineScreen branch_screen_;
  AuditLineScreen worktree_screen_;
  domain::AuditLineParser parser_;
  Window window_;
  AuditRecords records_;
  std::unique_ptr<AuditRecord> spare_;  // filled by the next line
};

}  // namespace

AuditRecords read_records(const std::optional<std::string>& branch, const std::optional<std::string>& worktree,
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
