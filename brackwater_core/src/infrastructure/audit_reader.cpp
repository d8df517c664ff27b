#include "infrastructure/audit_reader.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "domain/audit_line.hpp"
#include "infrastructure/audit_dir.hpp"
#include "infrastructure/audit_file_io.hpp"
#include "infrastructure/audit_line_screen.hpp"
#include "support/files.hpp"
#include "support/path_join.hpp"
#include "support/text.hpp"

namespace brackwater::infrastructure {
namespace {

using domain::PackedAuditRecord;

// Files are read through one window, reused from file to file. Small enough
// that the bytes just read are still in cache when they are parsed.
constexpr size_t kWindow = size_t{1} << 18;

// The longest line worth reading, newline excluded. The writer's own lines
// stay near kAuditLineCap (only texts it never shortens can take them past
// it), so a line this long is damage or another program's; holding it whole
// would let one line cost memory without bound, and the parser needs about
// fourteen times its length again. Longer lines are passed over unread.
constexpr size_t kMaxLineBytes = size_t{1} << 20;

// A buffer of up to kMaxLineBytes + 1 bytes (a longest line and its
// newline) with kAuditLinePadding spare bytes after its capacity, so that
// every line inside can be parsed in place.
class Window {
 public:
  char* data() noexcept { return bytes_.get(); }
  size_t capacity() const noexcept { return capacity_; }
  bool full_size() const noexcept { return capacity_ > kMaxLineBytes; }

  // Doubles the capacity (up to the bound), keeping the first `keep` bytes;
  // false, with nothing changed, when the memory is not there.
  bool grow(size_t keep) noexcept {
    const size_t larger = capacity_ == 0 ? kWindow : std::min(capacity_ * 2, kMaxLineBytes + 1);
    std::unique_ptr<char[]> bytes(new (std::nothrow) char[larger + domain::kAuditLinePadding]);
    if (!bytes) return false;
    if (keep > 0) std::memcpy(bytes.get(), bytes_.get(), keep);
    bytes_ = std::move(bytes);
    capacity_ = larger;
    return true;
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

// A log file open for reading, or none when it cannot be opened or is not a
// regular file.
struct LogFile {
  std::optional<support::RegularFile> file;

  explicit LogFile(const std::string& path) {
    if (auto opened = support::open_regular_file(path, O_RDONLY)) file = *std::move(opened);
  }
  bool same_file(const LogFile& other) const noexcept {
    return file && other.file && support::same_file(file->status, other.file->status);
  }
};

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

  // Adds the records of one log file's usable lines, to the end of the file.
  void read_file(const LogFile& file) {
    if (!file.file) return;
    if (window_.capacity() == 0 && !window_.grow(0)) return;  // no memory to read with
    read_lines(file.file->fd.get());
  }

  // The records in stable order of their timestamp texts. A log is nearly
  // in that order already (only a writer that waited for the lock, or a
  // fraction written with fewer digits, puts a record a few places early),
  // so each record is first moved back past the later ones before it, for
  // as long as that stays linear; a merge sort finishes what it leaves.
  AuditRecords take_sorted() && {
    const auto by_timestamp = [](const auto& a, const auto& b) {
      return a->text(PackedAuditRecord::Text::timestamp) < b->text(PackedAuditRecord::Text::timestamp);
    };
    size_t budget = 8 * records_.size();
    for (size_t i = 1; i < records_.size(); ++i) {
      size_t j = i;
      for (; j > 0 && budget > 0 && by_timestamp(records_[i], records_[j - 1]); --j) --budget;
      if (budget == 0) {
        std::ranges::stable_sort(records_, by_timestamp);
        break;
      }
      std::rotate(records_.begin() + static_cast<ptrdiff_t>(j), records_.begin() + static_cast<ptrdiff_t>(i),
                  records_.begin() + static_cast<ptrdiff_t>(i) + 1);
    }
    return std::move(records_);
  }

 private:
  // Takes every whole line as soon as it is in the window; a read error
  // ends the file where it happened.
  void read_lines(int fd) {
    size_t held = 0;  // bytes in the window: the start of a line not yet ended
    for (;;) {
      if (held == window_.capacity() && (window_.full_size() || !window_.grow(held))) {
        if (!skip_line(fd, held)) return;
        continue;
      }
      const ssize_t n = ::read(fd, window_.data() + held, window_.capacity() - held);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (n == 0) take_lines(held);  // the last line may lack its newline
        return;
      }
      held += static_cast<size_t>(n);
      const void* last = ::memrchr(window_.data(), '\n', held);
      if (last == nullptr) continue;
      const size_t whole = static_cast<size_t>(static_cast<const char*>(last) - window_.data()) + 1;
      take_lines(whole - 1);
      std::memmove(window_.data(), window_.data() + whole, held - whole);
      held -= whole;
    }
  }

  // Passes over the rest of a line too long for the window, through its
  // newline; `held` becomes the count of bytes after it already in the
  // window. False at the end of the file. Holes of a sparse file hold no
  // newline and are stepped over unread.
  bool skip_line(int fd, size_t& held) {
    for (;;) {
      const off_t here = ::lseek(fd, 0, SEEK_CUR);
      if (here >= 0 && ::lseek(fd, here, SEEK_DATA) < 0 && errno == ENXIO) return false;  // only a hole is left
      const ssize_t n = ::read(fd, window_.data(), window_.capacity());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      const void* newline = std::memchr(window_.data(), '\n', static_cast<size_t>(n));
      if (newline == nullptr) continue;
      const size_t past = static_cast<size_t>(static_cast<const char*>(newline) - window_.data()) + 1;
      held = static_cast<size_t>(n) - past;
      std::memmove(window_.data(), window_.data() + past, held);
      return true;
    }
  }

  // Takes the lines of the window's first `end` bytes. simdjson checks each
  // line it parses as UTF-8, so a line that is not (one torn inside a
  // character) is skipped like any that does not parse, and costs no other.
  void take_lines(size_t end) {
    const char* const begin = window_.data();
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
  }

  void take_line(std::string_view line) {
    if (line.empty()) return;
    auto record = usable(line);
    if (record) records_.push_back(std::move(record));  // memory for the result is not the line's to lose
  }

  // The wanted record `line` holds, or none. A line the memory does not
  // suffice for is as unusable as one that does not parse.
  std::unique_ptr<PackedAuditRecord> usable(std::string_view line) noexcept {
    try {
      const auto view = parser_.parse(line, branch_, worktree_);
      if (!view) return nullptr;
      const auto at = domain::parse_rfc3339(view->timestamp);
      if (!at || (since_ && *at < *since_) || (until_ && *at > *until_)) return nullptr;
      return PackedAuditRecord::pack(*view);
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
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
};

// The archives, or none when there is no memory to list them with.
std::vector<std::string> archives_of(const std::string& dir) noexcept {
  try {
    return list_archives(dir);
  } catch (const std::bad_alloc&) {
    return {};
  }
}

}  // namespace

AuditRecords read_records(const std::optional<std::string>& branch, const std::optional<std::string>& worktree,
                          const std::optional<domain::UtcInstant>& since,
                          const std::optional<domain::UtcInstant>& until) {
  auto dir = resolve_plowline_shared_audit_dir();
  if (!dir) return {};
  Collector collector(branch, worktree, since, until);
  // The live file is opened before the archives are listed: a rotation in
  // between moves the open file into an archive that the listing then shows
  // (and that is skipped, being the file already open). Listed first, a
  // rotation in between would hide what the live file held.
  const LogFile live(support::join_path(*dir, kAuditLiveFileName));
  for (const auto& path : archives_of(*dir)) {
    const LogFile archive(path);
    if (!live.same_file(archive)) collector.read_file(archive);
  }
  collector.read_file(live);
  return std::move(collector).take_sorted();
}

}  // namespace brackwater::infrastructure
