#include "support/atomic_file.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "support/fd_io.hpp"
#include "support/files.hpp"
#include "support/path_components.hpp"
#include "support/unique_fd.hpp"

namespace brackwater::support {
namespace {

constexpr int kNameAttempts = 64;

// `n` (at most 16) random alphanumerics. The error is getrandom's errno; an
// interrupted call is retried, any other failure is not.
std::expected<std::string, int> random_alnum(size_t n) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[16];
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::getrandom(bytes + got, n - got, 0);
    if (r > 0) {
      got += static_cast<size_t>(r);
    } else if (r == 0) {
      return std::unexpected(EIO);
    } else if (errno != EINTR) {
      return std::unexpected(errno);
    }
  }
  std::string out;
  for (size_t i = 0; i < n; ++i) out += kAlphabet[bytes[i] % 62];
  return out;
}

}  // namespace

std::expected<void, int> replace_file_atomically(int dirfd, std::string_view target, std::string_view bytes,
                                                 mode_t mode) {
  UniqueFd fd;
  std::string temp;
  for (int attempt = 0; attempt < kNameAttempts && !fd; ++attempt) {
    auto name = random_alnum(6);
    if (!name) return std::unexpected(name.error());
    temp = ".tmp" + *name + ".tmp";
    fd = open_retrying(temp.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, mode, dirfd);
    if (!fd && errno != EEXIST) return std::unexpected(errno);
  }
  if (!fd) return std::unexpected(EEXIST);

  const std::string target_name(target);
  auto written = write_all(fd.get(), bytes);
  if (written && ::renameat(dirfd, temp.c_str(), dirfd, target_name.c_str()) != 0) written = std::unexpected(errno);
  if (!written) ::unlinkat(dirfd, temp.c_str(), 0);
  return written;
}

std::expected<void, int> create_directories(std::string_view dir) {
  // Where each component of `dir` ends: the prefixes that name its parents
  // and itself, outermost first. The last is the whole text, so that `dir`
  // reaches mkdir as it was given.
  std::vector<size_t> ends;
  for_each_path_component(dir, [&](std::string_view part) {
    if (part != ".") ends.push_back(static_cast<size_t>(part.data() + part.size() - dir.data()));
  });
  if (!ends.empty()) ends.back() = dir.size();
  size_t first_missing = ends.size();
  while (first_missing > 0 && !is_directory(dir.substr(0, ends[first_missing - 1]))) --first_missing;
  std::string path;
  for (size_t i = first_missing; i < ends.size(); ++i) {
    path.assign(dir.substr(0, ends[i]));
    if (::mkdir(path.c_str(), 0777) != 0 && (errno != EEXIST || !is_directory(path))) return std::unexpected(errno);
  }
  return {};
}

bool is_directory(std::string_view path) {
  struct stat st;
  const std::string p(path);
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string parent_dir(std::string_view path) {
  while (path.size() > 1 && path.ends_with('/')) path.remove_suffix(1);
  const auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

}  // namespace brackwater::support
