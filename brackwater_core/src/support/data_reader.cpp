#include "support/data_reader.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

namespace brackwater::support {

DataRead DataReader::read(char* into, size_t room) noexcept {
  constexpr off_t kNoEnd = std::numeric_limits<off_t>::max();
  DataRead out;
  if (seeks_data_ && at_ >= data_end_) {
    const off_t data = ::lseek(fd_, at_, SEEK_DATA);
    if (data < 0 && errno == ENXIO) {
      // No data at or after at_: the end of the file, or a hole running to
      // it. A file that grew since is as if it had grown a moment later.
      struct stat st;
      out.after_hole = ::fstat(fd_, &st) == 0 && st.st_size > at_;
      return out;
    }
    if (data < 0) {
      seeks_data_ = false;  // EINVAL: this file system does not tell
      data_end_ = kNoEnd;
    } else {
      out.after_hole = data > at_;
      at_ = data;
      // The end of the file counts as a hole, so a file being appended to is
      // asked again once what it held is read.
      const off_t hole = ::lseek(fd_, data, SEEK_HOLE);
      data_end_ = hole > data ? hole : kNoEnd;
    }
  }
  const auto left = static_cast<unsigned long long>(data_end_ - at_);
  const size_t want = left < room ? static_cast<size_t>(left) : room;
  ssize_t n = 0;
  do {
    n = ::pread(fd_, into, want, at_);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    out.error = errno;
    return out;
  }
  at_ += n;
  out.size = static_cast<size_t>(n);
  return out;
}

}  // namespace brackwater::support
