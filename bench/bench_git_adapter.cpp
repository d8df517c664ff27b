// One `git rev-parse --show-toplevel` through the git adapter, against the
// floor: the bare spawn of the same command with its output thrown away.
// The difference is what the adapter adds (pipes, poll loop, pidfd, UTF-8
// check, trimming). Timed in wall-clock time: the work happens in the child.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

#include "infrastructure/git_adapter.hpp"

namespace {

namespace fs = std::filesystem;

// Runs `argv` in `cwd` with all three standard streams on /dev/null; returns
// the wait status.
int spawn_quiet(const char* cwd, char* const argv[]) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addchdir_np(&actions, cwd);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("posix_spawnp failed");
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return status;
}

// A throwaway repository for the whole run, removed at exit.
class Repo {
 public:
  Repo() {
    std::string tmpl = (fs::temp_directory_path() / "bench-git-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    char git[] = "git", init[] = "init", quiet[] = "-q", branch[] = "-b", main_[] = "main";
    char* argv[] = {git, init, quiet, branch, main_, nullptr};
    if (spawn_quiet(dir_.c_str(), argv) != 0) throw std::runtime_error("git init failed");
  }
  ~Repo() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

Repo& repo() {
  static Repo r;
  return r;
}

void BM_GitRepoRoot_Adapter(benchmark::State& state) {
  const std::optional<std::string> cwd = repo().dir();
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the benchmark loop; its variable is unused by design
  for (auto _ : state) {
    std::string root = brackwater::infrastructure::git_repo_root(cwd);
    if (root.empty()) state.SkipWithError("git_repo_root gave no root");
    benchmark::DoNotOptimize(root);
  }
}

void BM_GitRepoRoot_BareSpawn(benchmark::State& state) {
  char git[] = "git", rev_parse[] = "rev-parse", show_toplevel[] = "--show-toplevel";
  char* argv[] = {git, rev_parse, show_toplevel, nullptr};
  // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores): the benchmark loop; its variable is unused by design
  for (auto _ : state) {
    benchmark::DoNotOptimize(spawn_quiet(repo().dir().c_str(), argv));
  }
}

}  // namespace

BENCHMARK(BM_GitRepoRoot_Adapter)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_GitRepoRoot_BareSpawn)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2.0);

BENCHMARK_MAIN();
