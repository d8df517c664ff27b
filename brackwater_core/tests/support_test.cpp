// The shared plumbing's error paths: what every reader and lock in the
// system answers when the file system does not hold what it should.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <future>
#include <thread>

#include "support/atomic_file.hpp"
#include "support/config_file.hpp"
#include "support/env_snapshot.hpp"
#include "support/fd_io.hpp"
#include "support/file_lock.hpp"
#include "support/files.hpp"
#include "support/fork_safe.hpp"
#include "support/path_components.hpp"
#include "support/text.hpp"
#include "support/text_position.hpp"
#include "support/wait_hook.hpp"
#include "test_support.hpp"

namespace {

using namespace brackwater::support;
using test_support::TempDir;

// What read_regular_file answers, as "ok:<bytes>" or "err:<text>".
std::string read_outcome(const std::string& path) {
  auto bytes = read_regular_file(path);
  return bytes ? "ok:" + *bytes : "err:" + bytes.error().text();
}

TEST(SupportFiles, OnlyRegularFilesAreRead) {
  TempDir tmp;
  ASSERT_EQ(::mkfifo((tmp / "fifo").c_str(), 0644), 0);
  ASSERT_EQ(::symlink("/dev/zero", (tmp / "zero").c_str()), 0);
  ASSERT_EQ(::mkdir((tmp / "dir").c_str(), 0755), 0);
  test_support::write_file(tmp / "file", "text");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(read_outcome(tmp / "fifo"), "err:not a regular file");
  EXPECT_EQ(read_outcome(tmp / "zero"), "err:not a regular file");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(read_outcome(tmp / "dir"), "err:Is a directory (os error 21)");
  EXPECT_EQ(read_outcome(tmp / "file"), "ok:text");
  EXPECT_TRUE(read_regular_file(tmp / "missing").error().not_found());
  EXPECT_EQ(read_outcome(std::string("a\0b", 3)), "err:Invalid argument (os error 22)");
}

TEST(SupportFdIo, ErrorsAreErrnoValues) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  EXPECT_EQ(read_all(fds[1]).error(), EBADF);  // the write end cannot be read
  EXPECT_EQ(write_all(fds[0], "x").error(), EBADF);
  ::close(fds[0]);
  ::signal(SIGPIPE, SIG_IGN);
  EXPECT_EQ(write_all(fds[1], "x").error(), EPIPE);  // nobody reads any more
  ::signal(SIGPIPE, SIG_DFL);
  ::close(fds[1]);
}

// The lock file `name` in the directory `dir`, as a store takes it.
std::expected<FileLock, int> lock_in(const std::string& dir, const std::string& name) {
  const UniqueFd fd(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  auto held = lock_exclusive(fd.get(), dir, name);
  if (!held) return std::unexpected(held.error().os_error);
  return *std::move(held);
}

TEST(SupportFileLock, OpenFailuresComeBackAsErrno) {
  TempDir tmp;
  ASSERT_EQ(::mkdir((tmp / "dir").c_str(), 0755), 0);
  EXPECT_EQ(lock_in(tmp.path(), "dir").error(), EISDIR);
  EXPECT_EQ(lock_in(tmp.path(), "missing/lock").error(), ENOENT);
  EXPECT_EQ(lock_in(tmp.path(), std::string("a\0b", 3)).error(), EINVAL);
  auto held = lock_in(tmp.path(), "lock");
  ASSERT_TRUE(held);
  // A second descriptor on the same file cannot take it while it is held.
  const int other = ::open((tmp / "lock").c_str(), O_RDWR | O_CLOEXEC);
  EXPECT_EQ(flock_retrying(other, LOCK_EX | LOCK_NB), EWOULDBLOCK);
  ::close(other);
}

// A lock wait on a thread where a signal may not land asks the hook in
// slices, so that a stop the hook learns of elsewhere ends it.
std::atomic<int> asked{0};
std::atomic<bool> stop{false};

TEST(SupportFileLock, AWaitThatNoSignalReachesAsksTheHookInSlices) {
  TempDir tmp;
  auto held = lock_in(tmp.path(), "lock");
  ASSERT_TRUE(held);
  set_wait_hook(
      [] {
        ++asked;
        return !stop.load();
      },
      [] { return true; });
  auto waiting = std::async(std::launch::async, [&] { return lock_in(tmp.path(), "lock"); });
  for (int i = 0; i < 30'000 && asked < 3; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const bool sliced = asked >= 3;
  stop = true;
  if (!sliced) held = std::unexpected(0);  // let a blocked wait have the lock, so that it ends
  auto got = waiting.get();
  set_wait_hook(nullptr);
  ASSERT_TRUE(sliced) << "the wait blocked without asking again";
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error(), EINTR);
}

TEST(SupportConfigFile, StagesOfFailure) {
  TempDir tmp;
  auto parse = [](std::string_view text) -> std::expected<size_t, std::string> {
    if (text.starts_with("bad")) return std::unexpected("bad at " + describe(position_at(text, 5)));
    return text.size();
  };
  auto outcome = [&](const std::string& path) {
    auto r = read_config_file(path, parse);
    if (!r) return (r.error().stage == ConfigFileError::Stage::kRead ? "read:" : "parse:") + r.error().detail;
    return *r ? "ok:" + std::to_string(**r) : std::string("missing");
  };
  test_support::write_file(tmp / "good", "abc");
  test_support::write_file(tmp / "bad", "bad\nline");
  test_support::write_file(tmp / "latin1", "caf\xe9");
  ASSERT_EQ(::mkfifo((tmp / "fifo").c_str(), 0644), 0);
  EXPECT_EQ(outcome(tmp / "good"), "ok:3");
  EXPECT_EQ(outcome(tmp / "missing"), "missing");
  EXPECT_EQ(outcome(tmp / "bad"), "parse:bad at line 2 column 2");
  EXPECT_EQ(outcome(tmp / "latin1"), "read:file is not valid UTF-8 (invalid utf-8 sequence of 1 bytes from index 3)");
  EXPECT_EQ(outcome(tmp / "fifo"), "read:not a regular file");
}

TEST(SupportPaths, ComponentsAndTheDirectoriesMadeFromThem) {
  const std::pair<std::string_view, std::vector<std::string_view>> cases[] = {
      {"", {}},     {"/", {"/"}}, {"//a//./b/", {"/", "a", "b"}}, {"./a/.", {".", "a"}}, {"a/./..", {"a", ".."}},
      {".", {"."}},
  };
  for (const auto& [path, parts] : cases) {
    EXPECT_EQ(path_components(path), parts) << path;
    EXPECT_EQ(path_components(components_text(parts)), parts) << path;
  }
  EXPECT_FALSE(real_path(""));
  EXPECT_FALSE(real_path(std::string("/\0", 2)));

  TempDir tmp;
  ASSERT_TRUE(create_directories(tmp / "a//b/./c/"));
  EXPECT_TRUE(is_directory(tmp / "a/b/c"));
  EXPECT_TRUE(create_directories(tmp / "a/b/c"));
  test_support::write_file(tmp / "file", "x");
  EXPECT_EQ(create_directories(tmp / "file/sub").error(), EEXIST);
  test_support::ScopedCwd cwd(tmp.path());
  ASSERT_TRUE(create_directories("./rel/x"));
  EXPECT_TRUE(is_directory(tmp / "rel/x"));
}

// getenv(3) answers with the first entry of a name; a snapshot must agree.
TEST(SupportEnvSnapshot, FirstEntryOfANameWins) {
  char first[] = "DUP=first", second[] = "DUP=second", latin1[] = "BAD=caf\xe9", bare[] = "BARE";
  char* entries[] = {first, second, latin1, bare, nullptr};
  char** const saved = environ;
  environ = entries;
  const EnvSnapshot snapshot = EnvSnapshot::of_process();
  environ = saved;
  EXPECT_EQ(snapshot.find("DUP"), "first");
  EXPECT_FALSE(snapshot.find("BAD"));
  EXPECT_FALSE(snapshot.find("BARE"));
  // A caller's pairs: the later one of a name counts.
  const EnvSnapshot given{{"K", "1"}, {"K", ""}};
  EXPECT_EQ(given.find("K"), "");
  EXPECT_FALSE(given.find_set("K"));
  EXPECT_TRUE(EnvSnapshot{}.empty());
}

// Three blanks and then 2^32 bytes that are not blank: a length kept in 32
// bits would see only the blanks. The pages past the first are never
// written, so they cost no memory.
TEST(SupportText, LengthsBeyond32Bits) {
  const size_t size = 3 + (size_t{1} << 32);
  void* map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  char* bytes = static_cast<char*>(map);
  bytes[0] = bytes[1] = bytes[2] = ' ';
  const std::string_view text(bytes, size);
  EXPECT_FALSE(is_blank(text));
  EXPECT_EQ(trim(text).size(), size - 3);
  ::munmap(map, size);
}

// A child forked while another thread holds the mutex starts with a fresh
// state rather than a mutex locked forever; one forked while it is free
// keeps the state.
TEST(ForkSafeShared, ChildForkedWhileAnotherThreadHoldsTheMutex) {
  static auto* shared = new ForkSafeShared<int>;
  shared->with([](int& n) { n = 7; });
  auto in_child_value = [] {
    return test_support::in_child([] {
      ::alarm(10);  // a hang ends the child unsuccessfully
      return shared->with([](int& n) { return n; });
    });
  };
  std::promise<void> held;
  std::promise<void> release;
  std::thread holder([&] {
    shared->with([&](int&) {
      held.set_value();
      release.get_future().wait();
    });
  });
  held.get_future().wait();
  const int while_held = in_child_value();
  release.set_value();
  holder.join();
  EXPECT_TRUE(WIFEXITED(while_held) && WEXITSTATUS(while_held) == 0) << while_held;
  const int while_free = in_child_value();
  EXPECT_TRUE(WIFEXITED(while_free) && WEXITSTATUS(while_free) == 7) << while_free;
}

}  // namespace
