#include "infrastructure/git_adapter.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <tuple>
#include <vector>

#include "support/concat.hpp"
#include "test_support.hpp"

namespace {

using namespace brackwater::infrastructure;
using test_support::FakeGit;
using test_support::ScopedCwd;
using test_support::ScopedEnv;
using test_support::TempDir;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kArgs[] = {"rev-parse", "--show-toplevel"};

size_t count_entries(const char* dir) {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
  return n;
}

// True when this process has no child at all, so none was left as a zombie.
bool no_children_left() {
  int status = 0;
  return ::waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

// Gone, or a zombie waiting for a parent that may never reap it: either way
// it runs no more and holds no pipe. Killing takes a moment to land.
bool ended_soon(pid_t pid) {
  for (int i = 0; i < 200; ++i) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    if (line.substr(line.rfind(')') + 1).starts_with(" Z")) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// "ok:<value>" or "err:<display text>", so one table covers both outcomes.
std::string outcome(const std::expected<std::string, GitInvokeError>& r) {
  return r ? "ok:" + *r : "err:" + r.error().display();
}

// Each table runs against git started directly, and under the relay that a
// host ignoring SIGCHLD gets, which must answer the same.
enum class Host : uint8_t { kPlain, kIgnoresChildren };

class GitRuns : public testing::TestWithParam<Host> {
 protected:
  void SetUp() override {
    if (GetParam() != Host::kIgnoresChildren) return;
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGCHLD, &ignore, &saved_), 0);
  }
  void TearDown() override {
    if (GetParam() == Host::kIgnoresChildren) ::sigaction(SIGCHLD, &saved_, nullptr);
  }
  bool relayed() const { return GetParam() == Host::kIgnoresChildren; }

 private:
  struct sigaction saved_{};
};

// The runs of this table on an older kernel (CMakeLists.txt) hold only if
// the preloaded library's refusals took effect: each call it was asked to
// refuse fails as there, and no other does.
TEST(OldKernel, RefusalsTookEffect) {
  const char* list = std::getenv("OLD_KERNEL_REFUSES");
  if (list == nullptr || *list == '\0') return;  // this kernel, whatever it has
  const std::string asked = brackwater::support::concat(",", list, ",");
  const auto refused = [&](const char* name, long result, int err) {
    const int got = errno;
    EXPECT_EQ(asked.find(brackwater::support::concat(",", name, ",")) != std::string::npos, result == -1 && got == err)
        << name;
  };
  long r = ::syscall(SYS_pidfd_open, ::getpid(), 0);
  refused("pidfd_open", r, ENOSYS);
  if (r >= 0) ::close(static_cast<int>(r));
  r = ::syscall(SYS_close_range, 1 << 20, (1 << 20) + 1, 0);
  refused("close_range", r, ENOSYS);
  r = ::ioctl(-1, 0xC050FF0BUL, nullptr);  // PIDFD_GET_INFO
  refused("pidfd_info", r, ENOTTY);
  int pidfd = -1;
  r = ::syscall(SYS_clone, CLONE_PIDFD | SIGCHLD, nullptr, &pidfd, nullptr, nullptr);
  if (r == 0) ::_exit(0);
  refused("clone_pidfd", r, EPERM);
  if (r > 0) {
    ::waitpid(static_cast<pid_t>(r), nullptr, 0);
    ::close(pidfd);
  }
}

INSTANTIATE_TEST_SUITE_P(Hosts, GitRuns, testing::Values(Host::kPlain, Host::kIgnoresChildren),
                         [](const auto& info) { return info.param == Host::kPlain ? "Plain" : "IgnoresSigchld"; });

struct ScriptCase {
  std::string script;
  std::string expected;
  bool prefix_only = false;
};

TEST_P(GitRuns, FakeGitOutcomes) {
  TempDir cwd;
  // A descriptor the host left inheritable stays with the host.
  const int inheritable = ::dup2(STDIN_FILENO, 99);
  ASSERT_EQ(inheritable, 99);
  const ScriptCase cases[] = {
      {R"(printf '  /some path\n')", "ok:/some path"},
      {R"(printf '\343\200\200/p\302\240\n')", "ok:/p"},  // Unicode white space is trimmed too
      {R"(printf '%s|' "$@"; pwd -P)", "ok:rev-parse|--show-toplevel|" + cwd.path()},
      {"exec cat", "ok:"},  // standard input is the null device
      {"echo 'fatal: not a git repository' >&2; exit 128", "err:git exited 128: fatal: not a git repository"},
      {R"(printf ' \n\t' >&2; exit 128)", "err:git exited 128"},
      {R"(printf '\343\200\200\n' >&2; exit 2)", "err:git exited 2"},
      {"printf out; exit 1", "err:git exited 1"},
      {R"(printf 'a\377b')", "err:git output is not valid UTF-8: stdout:", true},
      {R"(printf '\377'; exit 3)", "err:git output is not valid UTF-8: stdout:", true},
      {R"(printf ok; printf '\377' >&2)", "err:git output is not valid UTF-8: stderr:", true},
      {R"(printf '\377'; printf '\377' >&2)", "err:git output is not valid UTF-8: stdout:", true},
      // git's own 126 and 127 are exit statuses, never a start failure
      {"echo 'no such command' >&2; exit 127", "err:git exited 127: no such command"},
      {"echo 'cannot run' >&2; exit 126", "err:git exited 126: cannot run"},
      // nothing but git's words: no shell adds its own about a crash
      {"echo 'about to crash' >&2; kill -SEGV $$", "err:git exited 1: about to crash"},
      {"[ -e /proc/$$/fd/99 ] && echo leaked || echo closed", "ok:closed"},
  };
  for (const auto& c : cases) {
    FakeGit git(c.script);
    const std::string got = outcome(git_output(cwd.path(), kArgs));
    const std::string& expected = c.expected;
    if (c.prefix_only) {
      EXPECT_TRUE(got.starts_with(expected)) << c.script << " gave " << got;
      EXPECT_GT(got.size(), expected.size()) << "no description of the bad bytes";
    } else {
      EXPECT_EQ(got, expected) << c.script;
    }
  }
  ::close(inheritable);
}

TEST(GitOutput, NonZeroExitKeepsStderrUntrimmed) {
  TempDir cwd;
  FakeGit git("echo out; printf ' boom\\n' >&2; exit 128");
  auto r = git_output(cwd.path(), kArgs);
  ASSERT_FALSE(r);
  const auto* e = std::get_if<GitInvokeError::NonZeroExit>(&r.error().value());
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->stderr_text, " boom\n");
  EXPECT_EQ(e->code, 128);
  EXPECT_TRUE(r.error().is_nonzero_exit());
}

TEST_P(GitRuns, ExitCodes) {
  TempDir cwd;
  // A git ended by a signal gives 1, whatever the signal and the host.
  const std::tuple<std::string, int> cases[] = {
      {"printf partial; exit 7", 7},       {"printf partial; kill -KILL $$", 1}, {"printf partial; kill -TERM $$", 1},
      {"printf partial; kill -HUP $$", 1}, {"printf partial; kill -SEGV $$", 1},
  };
  for (const auto& [script, code] : cases) {
    FakeGit git(script);
    auto r = invoke_git(cwd.path(), kArgs, 5);
    ASSERT_TRUE(r) << script << ": " << r.error().display();
    EXPECT_EQ(r->code, code) << script;
    EXPECT_EQ(r->stdout_text, "partial") << script;
  }
}

TEST(InvokeGit, CapturesLargeOutputOnBothStreams) {
  // All of stderr is written before any stdout, so a caller that reads one
  // pipe to its end before the other would stall on a full pipe.
  TempDir cwd;
  FakeGit git("yes e | head -c 16777216 >&2; yes o | head -c 16777216");
  auto r = invoke_git(cwd.path(), kArgs, 20);
  ASSERT_TRUE(r) << r.error().display();
  std::string out, err;
  for (int i = 0; i < 8 * 1024 * 1024; ++i) out += "o\n", err += "e\n";
  EXPECT_TRUE(r->stdout_text == out) << "stdout has " << r->stdout_text.size() << " bytes";
  EXPECT_TRUE(r->stderr_text == err) << "stderr has " << r->stderr_text.size() << " bytes";
  EXPECT_EQ(r->code, 0);
}

TEST_P(GitRuns, TimeoutKillsTheChildAndWhatItStarted) {
  // git hangs with a child of its own: the limit ends both. Or git has
  // exited while something it started keeps the pipes open: that orphan
  // belongs to init now, out of reach, but the limit still ends the call.
  TempDir cwd;
  const std::string pids = test_support::shell_quote(cwd / "pids");
  for (const bool hangs : {true, false}) {
    std::filesystem::remove(cwd / "pids");
    FakeGit git(brackwater::support::concat("echo $$ >> ", pids, "; sleep 1000 & echo $! >> ", pids, "; ",
                                            hangs ? "exec sleep 1000" : "echo early; exit 0"));
    const size_t fds = count_entries("/proc/self/fd");
    const auto start = Clock::now();
    auto r = invoke_git(cwd.path(), kArgs, 1);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(4)) << hangs;
    ASSERT_FALSE(r);
    ASSERT_TRUE(r.error().is<GitInvokeError::Timeout>()) << r.error().display();
    EXPECT_EQ(std::get<GitInvokeError::Timeout>(r.error().value()).secs, 1u);
    EXPECT_EQ(r.error().display(), "git timed out after 1s");
    EXPECT_EQ(count_entries("/proc/self/fd"), fds) << hangs;
    EXPECT_TRUE(no_children_left()) << hangs;
    std::ifstream listed(cwd / "pids");
    std::vector<pid_t> started;
    for (pid_t pid; listed >> pid;) started.push_back(pid);
    ASSERT_EQ(started.size(), 2u) << hangs;
    EXPECT_TRUE(ended_soon(started[0])) << hangs;
    if (hangs) {
      EXPECT_TRUE(ended_soon(started[1])) << "the child of a hung git lives on";
    } else {
      ::kill(started[1], SIGKILL);
    }
  }
}

TEST_P(GitRuns, StartFailures) {
  TempDir cwd;
  {
    FakeGit git("exit 0", 0644, /*only=*/true);  // root may read it, but exec still wants an x bit
    auto r = invoke_git(cwd.path(), kArgs, 5);
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().is<GitInvokeError::Spawn>());
    EXPECT_EQ(r.error().display(), "failed to run git: Permission denied (os error 13)");
  }
  {
    FakeGit no_git("", 0755, /*only=*/true);
    auto r = invoke_git(cwd.path(), kArgs, 5);
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().is<GitInvokeError::NotFound>());
    EXPECT_EQ(r.error().display(), "git binary not found on PATH");
    EXPECT_EQ(git_repo_root(cwd.path()), "");
  }
  auto r = invoke_git(cwd / "missing", kArgs, 5);
  ASSERT_FALSE(r);
  EXPECT_TRUE(r.error().is<GitInvokeError::NotFound>()) << r.error().display();
  EXPECT_TRUE(no_children_left());
}

// PATH is searched as execvp searches it, in every host: a file without an
// interpreter line is not handed to a shell, one whose interpreter is
// missing is passed over for the next entry, and any directory name will do.
TEST_P(GitRuns, PathSearchAsADirectStart) {
  TempDir cwd;
  const struct {
    std::string first_dir;
    std::string first_git;
    std::string expected;
  } cases[] = {
      {"plain", "echo from a shell\n", "err:failed to run git: Exec format error (os error 8)"},
      {"plain", "#!/nonexistent/interpreter\n", "ok:later"},
      {"a=b", "#!/bin/sh\necho equals\n", "ok:equals"},
  };
  for (const auto& c : cases) {
    TempDir dirs;
    const std::string first = dirs / c.first_dir, later = dirs / "later";
    for (const auto& [dir, body] :
         {std::pair{first, c.first_git}, std::pair{later, std::string("#!/bin/sh\necho later\n")}}) {
      ASSERT_TRUE(std::filesystem::create_directory(dir));
      test_support::write_file(dir + "/git", body);
      ::chmod((dir + "/git").c_str(), 0755);
    }
    ScopedEnv path("PATH", brackwater::support::concat(first, ":", later));
    EXPECT_EQ(outcome(git_output(cwd.path(), kArgs)), c.expected) << c.first_dir << ": " << c.first_git;
  }
}

TEST_P(GitRuns, ManyRunsLeakNoDescriptorOrThread) {
  TempDir cwd;
  FakeGit git(R"(case "$1" in bad) printf '\377';; fail) echo no >&2; exit 3;; esac; echo ok)");
  const size_t fds = count_entries("/proc/self/fd");
  const size_t threads = count_entries("/proc/self/task");
  const std::string missing = cwd / "missing";
  for (int i = 0; i < 1000; ++i) {
    const std::string_view arg[] = {i % 4 == 1 ? "bad" : i % 4 == 2 ? "fail" : "good"};
    auto r = invoke_git(i % 4 == 3 ? missing : cwd.path(), arg, 5);
    ASSERT_EQ(r.has_value(), i % 4 == 0 || i % 4 == 2) << "run " << i;
  }
  EXPECT_EQ(count_entries("/proc/self/fd"), fds);
  EXPECT_EQ(count_entries("/proc/self/task"), threads);
  EXPECT_TRUE(no_children_left());
}

TEST(GitRepoRoot, RealRepository) {
  TempDir tmp;
  const std::string repo = tmp / "repo";
  test_support::make_repo(repo);
  ASSERT_TRUE(std::filesystem::create_directories(repo + "/sub/deeper"));
  ASSERT_TRUE(std::filesystem::create_directory(tmp / "outside"));
  ScopedEnv ceiling("GIT_CEILING_DIRECTORIES", tmp.path());

  EXPECT_EQ(git_repo_root(repo), repo);
  EXPECT_EQ(git_repo_root(repo + "/sub/deeper"), repo);
  EXPECT_EQ(git_repo_root(tmp / "outside"), "");
  EXPECT_EQ(git_repo_root(tmp / "missing"), "");
  {
    ScopedCwd in_sub(repo + "/sub");
    EXPECT_EQ(git_repo_root(std::nullopt), repo);
  }
  ScopedCwd outside(tmp / "outside");
  EXPECT_EQ(git_repo_root(std::nullopt), "");
}

}  // namespace
