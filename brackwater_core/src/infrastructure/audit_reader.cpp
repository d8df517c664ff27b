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
#include "support/data_reader.hpp"
#include "support/files.hpp"
#include "support/path_join.hpp"
#include "support/text.hpp"

namespace brackwater::infrastructure {
namespace {

using domain::PackedAuditRecord;

// Files are read through one window, reused from file to file. Small enough
// that the bytes just read are still in cache when they are parsed.
constexpr size_t kWindow = size_t{1} << 18;

// A buffer of up to kAuditMaxLineBytes + 2 bytes (a longest line and its
// "\r\n") with kAuditLinePadding spare bytes after its capacity, so that
// every line inside can be parsed in place.
class Window {
 public:
  char* data() noexcept { return bytes_.get(); }
  size_t capacity() const noexcept { return capacity_; }
  bool full_size() const noexcept { return capacity_ == kFullSize; }

  // Doubles the capacity (up to the bound), keeping the first `keep` bytes;
  // false, with nothing changed, when the memory is not there.
  bool grow(size_t keep) noexcept {
    const size_t larger = capacity_ == 0 ? kWindow : std::min(capacity_ * 2, kFullSize);
    std::unique_ptr<char[]> bytes(new (std::nothrow) char[larger + domain::kAuditLinePadding]);
    if (!bytes) return false;
    if (keep > 0) std::memcpy(bytes.get(), bytes_.get(), keep);
    bytes_ = std::move(bytes);
    capacity_ = larger;
    return true;
  }

 private:
  static constexpr size_t kFullSize = domain::kAuditMaxLineBytes + 2;

  std::unique_ptr<char[]> bytes_;
  size_t capacity_ = 0;
};

// Whether the line [begin, end), without the "\r" of a "\r\n" ending, is
// no longer than a reader takes: the writer's bound, the same for either
// ending. The window holds one byte more than such a line with its "\n".
bool within_bound(const char* begin, const char* end, bool ends_in_newline) {
  auto length = static_cast<size_t>(end - begin);
  if (ends_in_newline && length > 0 && end[-1] == '\r') --length;
  return length <= domain::kAuditMaxLineBytes;
}

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
};

// The files read so far, by device and inode: a hard link or a symbolic link
// gives one file several archive names, and each name would return its
// records again.
class FilesSeen {
 public:
  // Room for `files` files; without the memory for it, every name is read.
  explicit FilesSeen(size_t files) noexcept : seen_(new(std::nothrow) struct stat[files]), room_(seen_ ? files : 0) {}

  // True the first time a file is offered.
  bool first_time(const LogFile& log) noexcept {
    if (!log.file) return false;
    for (size_t i = 0; i < count_; ++i) {
      if (support::same_file(seen_[i], log.file->status)) return false;
    }
    if (count_ < room_) seen_[count_++] = log.file->status;
    return true;
  }

 private:
  std::unique_ptr<struct stat[]> seen_;
  size_t room_;
  size_t count_ = 0;
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
  // ends the file where it happened. A line too long for the window, or
  // running into a hole (NUL bytes, which no record holds), is unusable: its
  // bytes are passed over up to its newline, and the holes unread.
  void read_lines(int fd) {
    support::DataReader file(fd);
    size_t held = 0;       // bytes in the window: the start of a line not yet ended, no newline among them
    bool passing = false;  // the line under way is unusable: none of its bytes are kept
    for (;;) {
      if (held == window_.capacity() && (window_.full_size() || !window_.grow(held))) {
        passing = true;
        held = 0;
      }
      const support::DataRead got = file.read(window_.data() + held, window_.capacity() - held);
      passing = passing || got.after_hole;
      if (got.size == 0) {
        if (got.error == 0 && !passing) take_lines(held, false);  // the last line may lack its newline
        return;
      }
      size_t fresh = held;  // where a newline may be
      if (passing) {
        const char* begin = window_.data() + held;
        const void* newline = std::memchr(begin, '\n', got.size);
        held = 0;
        if (newline == nullptr) continue;
        const size_t past = static_cast<size_t>(static_cast<const char*>(newline) - begin) + 1;
        std::memmove(window_.data(), begin + past, got.size - past);
        held = got.size - past;
        fresh = 0;
        passing = false;
      } else {
        held += got.size;
      }
      const void* last = ::memrchr(window_.data() + fresh, '\n', held - fresh);
      if (last == nullptr) continue;
      const size_t whole = static_cast<size_t>(static_cast<const char*>(last) - window_.data()) + 1;
      take_lines(whole - 1, true);
      std::memmove(window_.data(), window_.data() + whole, held - whole);
      held -= whole;
    }
  }

  // Takes the lines of the window's first `end` bytes, the last of them
  // followed by a newline when `ended`. simdjson checks each line it parses
  // as UTF-8, so a line that is not (one torn inside a character) is skipped
  // like any that does not parse, and costs no other.
  void take_lines(size_t end, bool ended) {
    const char* const begin = window_.data();
    const char* const stop = begin + end;
    branch_screen_.reset(stop);
    worktree_screen_.reset(stop);
    for (const char* pos = begin; pos <= stop;) {
      const char* newline = static_cast<const char*>(std::memchr(pos, '\n', static_cast<size_t>(stop - pos)));
      const char* line_end = newline != nullptr ? newline : stop;
      if (within_bound(pos, line_end, newline != nullptr || ended) && branch_screen_.may_match(pos, line_end) &&
          worktree_screen_.may_match(pos, line_end)) {
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
  auto resolved = resolve_plowline_shared_audit_dir();
  if (!resolved) return {};
  const std::string& dir = resolved->path;
  Collector collector(branch, worktree, since, until);
  // The live file is opened before the archives are listed: a rotation in
  // between moves the open file into an archive that the listing then shows
  // (and that is skipped, being the file already open). Listed first, a
  // rotation in between would hide what the live file held.
  const LogFile live(support::join_path(dir, kAuditLiveFileName));
  const std::vector<std::string> archives = archives_of(dir);
  FilesSeen seen(archives.size() + 1);
  (void)seen.first_time(live);  // read last, whatever archive names also reach it
  for (const auto& path : archives) {
    const LogFile archive(path);
    if (seen.first_time(archive)) collector.read_file(archive);
  }
  collector.read_file(live);
  return std::move(collector).take_sorted();
}

}  // namespace brackwater::infrastructure
