#include "infrastructure/audit_file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <set>

#include "domain/timestamp.hpp"
#include "test_support.hpp"

namespace {

namespace infra = brackwater::infrastructure;
using test_support::TempDir;

// A (sparse) file of `size` bytes modified at `mtime` seconds.
void make_file(const std::string& path, off_t size, time_t mtime) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(::ftruncate(fd, size), 0);
  ::close(fd);
  const timespec times[2] = {{mtime, 0}, {mtime, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

std::set<std::string> names_in(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

// The directory's descriptor, as the writer holds it.
brackwater::support::UniqueFd dir_fd(const std::string& dir) {
  return brackwater::support::UniqueFd(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

std::string month_now() { return brackwater::domain::format_year_month(std::chrono::system_clock::now()); }

TEST(AuditFiles, RotationNamesWithinAMonthAndRefusalWhileASentinelExists) {
  TempDir dir;
  const std::string live = dir / "worktree-events.ndjson";
  const std::string m = month_now();
  const auto fd = dir_fd(dir.path());
  for (int i = 0; i < 3; ++i) {
    test_support::write_file(live, "line " + std::to_string(i) + "\n");
    (void)infra::maybe_rotate(fd.get(), dir.path());
  }
  EXPECT_EQ(names_in(dir.path()),
            (std::set<std::string>{"worktree-events.ndjson", "worktree-events." + m + ".ndjson",
                                   "worktree-events." + m + ".2.ndjson", "worktree-events." + m + ".3.ndjson"}));
  EXPECT_EQ(test_support::read_file(dir / ("worktree-events." + m + ".2.ndjson")), "line 1\n");
  EXPECT_EQ(test_support::read_file(live), "");

  test_support::write_file(dir / "worktree-events.ndjson.rotating", "");
  test_support::write_file(live, "kept\n");
  EXPECT_FALSE(infra::maybe_rotate(fd.get(), dir.path()));
  EXPECT_EQ(test_support::read_file(live), "kept\n");
  EXPECT_TRUE(std::filesystem::exists(dir / "worktree-events.ndjson.rotating"));
}

TEST(AuditFiles, SentinelIsStaleSixtyWholeSecondsEitherSideOfNow) {
  TempDir dir;
  const std::string sentinel = dir / "worktree-events.ndjson.rotating";
  const auto fd = dir_fd(dir.path());
  EXPECT_FALSE(infra::reap_stale_sentinel(fd.get(), dir.path()));  // none there
  // Whether a sentinel dated `offset` seconds from now is reaped, retried
  // should the clock tick between.
  auto reaped_at = [&](time_t offset) {
    for (;;) {
      const time_t now = std::time(nullptr);
      make_file(sentinel, 0, now + offset);
      const bool reaped = infra::reap_stale_sentinel(fd.get(), dir.path());
      if (std::time(nullptr) == now) return reaped && !std::filesystem::exists(sentinel);
    }
  };
  EXPECT_FALSE(reaped_at(-60));
  EXPECT_TRUE(reaped_at(-61));
  EXPECT_FALSE(reaped_at(60));  // another host's clock, a little ahead
  EXPECT_TRUE(reaped_at(61));
}

TEST(AuditFiles, ListingOrderAndWhatCounts) {
  TempDir dir;
  make_file(dir / "worktree-events.ndjson", 1, 100);
  make_file(dir / "worktree-events.ndjson.rotating", 1, 50);
  make_file(dir / "worktree-events.b.ndjson", 1, 300);
  make_file(dir / "worktree-events.a.ndjson", 1, 300);
  make_file(dir / "worktree-events.2026-01.ndjson", 1, 200);
  make_file(dir / "worktree-events.\xff.ndjson", 1, 10);
  make_file(dir / "other.ndjson", 1, 10);
  EXPECT_EQ(infra::list_archives(dir.path()),
            (std::vector<std::string>{dir / "worktree-events.2026-01.ndjson", dir / "worktree-events.a.ndjson",
                                      dir / "worktree-events.b.ndjson"}));
  EXPECT_TRUE(infra::list_archives(dir / "missing").empty());
}

TEST(AuditFiles, PruningAtTheSizeLimit) {
  struct Case {
    std::vector<off_t> sizes;  // oldest first
    size_t survivors;
  };
  const off_t quarter = 209715200 / 4;
  const Case cases[] = {
      {{300000000, 1, 1}, 3},                         // three archives: never pruned
      {{quarter, quarter, quarter, quarter}, 4},      // exactly at the limit
      {{quarter + 1, quarter, quarter, quarter}, 3},  // one byte over: the oldest goes
      {{quarter, quarter, quarter, quarter, 1, 1, 1, 1, 1, 1}, 3},
  };
  for (const auto& c : cases) {
    TempDir dir;
    for (size_t i = 0; i < c.sizes.size(); ++i) {
      // The oldest has a name that is not UTF-8: it is pruned like any other.
      const std::string name =
          i == 0 ? "worktree-events.\xfe.ndjson" : "worktree-events.x" + std::to_string(i) + ".ndjson";
      make_file(dir / name, c.sizes[i], 1000 + static_cast<time_t>(i));
    }
    infra::prune_old_archives(dir_fd(dir.path()).get(), "");
    const auto left = names_in(dir.path());
    EXPECT_EQ(left.size(), c.survivors);
    for (size_t i = std::max<size_t>(1, c.sizes.size() - 3); i < c.sizes.size(); ++i) {
      EXPECT_TRUE(left.count("worktree-events.x" + std::to_string(i) + ".ndjson")) << i;
    }
  }
}

}  // namespace
