// Log file bytes -> the records read_records takes from them, as the live
// file of an audit directory: the streaming reader's windowing, line
// splitting and skipping, behind the line parser of fuzz_audit_line.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "infrastructure/audit_reader.hpp"
#include "support/fd_io.hpp"
#include "support/path_join.hpp"
#include "support/unique_fd.hpp"

namespace {

// A scratch shared directory for the whole run; the log lives in its audit/.
const std::string& live_path() {
  static const std::string path = [] {
    char dir[] = "/tmp/fuzz-audit-log-XXXXXX";
    if (::mkdtemp(dir) == nullptr) std::abort();
    ::setenv("PLOWLINE_SHARED_DIR", dir, 1);
    const std::string audit = brackwater::support::join_path(dir, "audit");
    if (::mkdir(audit.c_str(), 0777) != 0) std::abort();
    return brackwater::support::join_path(audit, "worktree-events.ndjson");
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = live_path();
  {
    brackwater::support::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd || !brackwater::support::write_all(fd.get(), std::string_view(reinterpret_cast<const char*>(data), size))) {
      std::abort();
    }
  }
  const auto records = brackwater::infrastructure::read_records({}, {}, {}, {});
  size_t lines = 1;
  for (size_t i = 0; i < size; ++i) lines += data[i] == '\n';
  if (records.size() > lines) std::abort();  // at most one record a line
  for (size_t i = 1; i < records.size(); ++i) {
    using Text = brackwater::domain::PackedAuditRecord::Text;
    if (records[i]->text(Text::timestamp) < records[i - 1]->text(Text::timestamp)) std::abort();  // sorted
  }
  return 0;
}
