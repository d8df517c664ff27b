// Reading a regular file's data in order, stepping over its holes.
//
// A hole reads as NUL bytes, as many as it is long, and costs as much to read
// through as data: a file of 16 GiB apparent size with a byte of data every
// MiB costs 16 GiB of zeros. Where a reader has no use for NUL bytes, asking
// the file system where data lies (lseek SEEK_DATA and SEEK_HOLE) makes the
// cost follow the data on disk instead.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace brackwater::support {

// What one DataReader::read gave.
struct DataRead {
  size_t size = 0;          // bytes read; 0 at the end of the data (or on an error)
  bool after_hole = false;  // a hole lies between these bytes (or the end) and the ones read before
  int error = 0;            // errno of a failed read, else 0
};

class DataReader {
 public:
  // Reads `fd` from its start; the descriptor's own offset is neither used
  // nor moved.
  explicit DataReader(int fd) noexcept : fd_(fd) {}

  // Up to `room` bytes of data, never reaching into a hole. At the end of the
  // data, `size` is 0 and `after_hole` says whether a hole runs to the end of
  // the file. A file system that cannot say where data lies has no holes
  // here: its holes are read as the zeros they hold. A file that grows while
  // it is read is read on into what was appended.
  [[nodiscard]] DataRead read(char* into, size_t room) noexcept;

 private:
  int fd_;
  off_t at_ = 0;        // offset of the next byte to read
  off_t data_end_ = 0;  // where the run of data holding at_ ends, as last asked
  bool seeks_data_ = true;
};

}  // namespace brackwater::support
