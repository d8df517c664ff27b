// normalize_path and path_fingerprint in the core, for an existing path, a
// missing leaf (real parent + name) and a missing parent (input unchanged).
// Set beside bench/bench_paths.py to see what the module call adds.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "domain/paths.hpp"

namespace {

namespace fs = std::filesystem;

class Tree {
 public:
  Tree() {
    std::string tmpl = (fs::temp_directory_path() / "bench-paths-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    fs::create_directories(fs::path(dir_) / "a" / "b" / "c");
  }
  ~Tree() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string path(int kind) const {
    switch (kind) {
      case 0: return dir_ + "/a/b/c";
      case 1: return dir_ + "/a/b/c/missing";
      default: return dir_ + "/a/nope/missing";
    }
  }

 private:
  std::string dir_;
};

const Tree& tree() {
  static Tree t;
  return t;
}

const char* label(int kind) {
  static const char* names[] = {"existing", "missing_leaf", "missing_parent"};
  return names[kind];
}

void BM_NormalizePath(benchmark::State& state) {
  const std::string p = tree().path(static_cast<int>(state.range(0)));
  state.SetLabel(label(static_cast<int>(state.range(0))));
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the benchmark loop; its variable is unused by design
  for (auto _ : state) benchmark::DoNotOptimize(brackwater::domain::normalize_path(p));
}

void BM_PathFingerprint(benchmark::State& state) {
  const std::string p = tree().path(static_cast<int>(state.range(0)));
  state.SetLabel(label(static_cast<int>(state.range(0))));
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the benchmark loop; its variable is unused by design
  for (auto _ : state) benchmark::DoNotOptimize(brackwater::domain::path_fingerprint(p));
}

}  // namespace

BENCHMARK(BM_NormalizePath)->DenseRange(0, 2);
BENCHMARK(BM_PathFingerprint)->DenseRange(0, 2);

BENCHMARK_MAIN();
