// The audit writer and reader in the core, against the floor of the system
// calls one append needs (mkdir, stat, getcwd, uname, open with O_APPEND,
// flock, write, fstat, close) made from C++. Set beside bench/bench_audit.py,
// whose floor is made from Python, to see what the module call adds.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "domain/audit.hpp"
#include "infrastructure/audit_reader.hpp"
#include "infrastructure/audit_writer.hpp"

namespace {

namespace fs = std::filesystem;
using brackwater::domain::AuditEvent;

// A shared directory named by PLOWLINE_SHARED_DIR for the life of the bench.
class SharedDir {
 public:
  SharedDir() {
    std::string tmpl = (fs::temp_directory_path() / "bench-audit-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    ::setenv("PLOWLINE_SHARED_DIR", dir_.c_str(), 1);
  }
  ~SharedDir() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string audit() const { return dir_ + "/audit"; }

 private:
  std::string dir_;
};

const SharedDir& shared() {
  static const SharedDir dir;
  return dir;
}

AuditEvent event(std::string branch = "feature/x") {
  return {"worktree_remove",
          std::move(branch),
          "/home/dev/worktrees/tessary/feature-x",
          "raw_git",
          "success",
          "s-1",
          12,
          "c-1",
          nlohmann::json{{"reason", "merged"}, {"pr", 123}}};
}

void BM_AppendFloor(benchmark::State& state) {
  const std::string dir = shared().audit() + "-floor";
  const std::string live = dir + "/worktree-events.ndjson";
  const std::string sentinel = live + ".rotating";
  std::string line(380, 'x');
  line += '\n';
  char cwd[PATH_MAX];
  struct utsname names;
  struct stat st;
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the benchmark loop; its variable is unused by design
  for (auto _ : state) {
    (void)::mkdir(dir.c_str(), 0777);
    (void)::stat(sentinel.c_str(), &st);
    benchmark::DoNotOptimize(::getcwd(cwd, sizeof cwd));
    (void)::uname(&names);
    const int fd = ::open(live.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
      state.SkipWithError("cannot open the live file");
      break;
    }
    (void)::flock(fd, LOCK_EX);
    benchmark::DoNotOptimize(::write(fd, line.data(), line.size()));
    (void)::fstat(fd, &st);
    ::close(fd);
  }
}
BENCHMARK(BM_AppendFloor);

void BM_RecordEvent(benchmark::State& state) {
  shared();
  const AuditEvent e = event();
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the benchmark loop; its variable is unused by design
  for (auto _ : state) benchmark::DoNotOptimize(brackwater::infrastructure::record_event(e));
}
BENCHMARK(BM_RecordEvent);

// Reads a log of state.range(0) events, all of them or one branch in ten.
void BM_ReadRecords(benchmark::State& state) {
  const SharedDir dir;
  for (int64_t i = 0; i < state.range(0); ++i) {
    (void)brackwater::infrastructure::record_event(event("feature/" + std::to_string(i % 10)));
  }
  const std::optional<std::string> branch =
      state.range(1) != 0 ? std::optional<std::string>("feature/3") : std::nullopt;
  int64_t bytes = 0;
  for (const auto& entry : fs::directory_iterator(dir.audit())) bytes += static_cast<int64_t>(entry.file_size());
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the benchmark loop; its variable is unused by design
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        brackwater::infrastructure::read_records(branch, std::nullopt, std::nullopt, std::nullopt));
  }
  state.SetBytesProcessed(state.iterations() * bytes);
  ::setenv("PLOWLINE_SHARED_DIR", (shared().audit() + "/..").c_str(), 1);
}
BENCHMARK(BM_ReadRecords)->Args({30000, 0})->Args({30000, 1})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
