#include "domain/paths.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include "domain/path_resolver.hpp"
#include "support/concat.hpp"
#include "support/text.hpp"

#include "test_support.hpp"

namespace {

using namespace brackwater::domain;
using namespace std::string_literals;
using brackwater::support::concat;
using test_support::ScopedCwd;
using test_support::ScopedEnv;
using test_support::TempDir;

// <tmp>/d (directory), <tmp>/d/f (file), <tmp>/link -> d, and
// <tmp>/odd -> a directory whose name is not valid UTF-8.
class PathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir((tmp / "d").c_str(), 0777), 0);
    test_support::write_file(tmp / "d/f", "x");
    ASSERT_EQ(::symlink("d", (tmp / "link").c_str()), 0);
    ASSERT_EQ(::mkdir((tmp / "x\xffy").c_str(), 0777), 0);
    ASSERT_EQ(::symlink("x\xffy", (tmp / "odd").c_str()), 0);
  }
  TempDir tmp;
};

TEST_F(PathsTest, NormalizePath) {
  ScopedCwd cwd(tmp.path());  // relative inputs resolve against the temp dir
  const std::string r = tmp.path();
  const std::pair<std::string, std::string> cases[] = {
      {"   ", ""},
      {"\t\n\u3000\u00a0", ""},  // Unicode White_Space counts as blank
      {"\u200b", "\u200b"},      // zero-width space is not White_Space
      {" /tmp", " /tmp"},        // never trimmed
      {r + "/link", r + "/d"},
      {r + "/link/f", r + "/d/f"},
      {r + "/link/missing", r + "/d/missing"},
      {r + "//d///./missing/", r + "/d/missing"},  // separators collapse, trailing "/" lost
      {r + "/nodir/missing", r + "/nodir/missing"},
      {r + "/d/..", r},
      {"d/../d/f", r + "/d/f"},
      {".", r},
      {"newdir", "newdir"},
      {"./newdir", r + "/newdir"},
      {"/missing-brackwater", "/missing-brackwater"},
      {"a/b/..", "a/b/.."},
      {"~/x", "~/x"},
      {r + "/odd/missing", r + "/x\uFFFDy/missing"},  // lossy UTF-8 on the real path
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(normalize_path(input), expected) << "input: " << input;
  }
}

TEST_F(PathsTest, PathsEqualAndFingerprint) {
  const std::string r = tmp.path();
  EXPECT_TRUE(paths_equal(r + "/d", r + "/link"));
  EXPECT_TRUE(paths_equal(r + "/d", r + "/d/"));
  EXPECT_TRUE(paths_equal(r + "/d/new", r + "/link/new"));
  EXPECT_TRUE(paths_equal("", "  \n"));
  EXPECT_FALSE(paths_equal("", r));
  EXPECT_FALSE(paths_equal(r + "/d", r + "/d/f"));

  EXPECT_EQ(path_fingerprint(""), "da39a3ee5e6b");
  EXPECT_EQ(path_fingerprint(" \t"), "da39a3ee5e6b");
  EXPECT_EQ(path_fingerprint(r + "/link"), path_fingerprint(r + "/d"));
  EXPECT_NE(path_fingerprint(r + "/d"), path_fingerprint(r + "/d/f"));
  ScopedCwd cwd(tmp.path());
  EXPECT_EQ(path_fingerprint("abc"), "a9993e364706");  // SHA-1("abc"); a missing relative name stays as is
  // FIPS 180-4's two-block example: the padding spills into a second block.
  EXPECT_EQ(path_fingerprint("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"), "84983e441c3b");
}

// The rules walked the slow way, one realpath(3) per step, to hold the
// resolver's shortcuts (one kernel walk, lexical folding, the memo) to.
std::string reference_normalize(const std::string& path) {
  auto real = [](const std::string& p) -> std::optional<std::string> {
    if (p.empty() || p.find('\0') != std::string::npos) return std::nullopt;
    std::unique_ptr<char, decltype(&std::free)> r(::realpath(p.c_str(), nullptr), &std::free);
    if (!r) return std::nullopt;
    return std::string(r.get());
  };
  if (path.find_first_not_of(" \t\n") == std::string::npos) return "";
  if (auto r = real(path)) return *r;
  std::vector<std::string> parts;
  for (size_t pos = 0, end; pos <= path.size(); pos = end + 1) {
    end = std::min(path.find('/', pos), path.size());
    const std::string part = path.substr(pos, end - pos);
    if (!part.empty() && (part != "." || (parts.empty() && path[0] != '/'))) parts.push_back(part);
  }
  if (parts.empty() || parts.back() == "." || parts.back() == "..") return path;
  std::string parent = path[0] == '/' ? "/" : "";
  for (size_t i = 0; i + 1 < parts.size(); ++i) parent += (i > 0 ? "/" : "") + parts[i];
  if (auto r = real(parent)) return *r + (r->ends_with('/') ? "" : "/") + parts.back();
  return path;
}

// Links in the middle, at the end, dangling and looping; files where a
// directory is expected; "." and ".." after links; the root. Each path is
// tried relative and absolute, alone and through one shared resolver.
TEST_F(PathsTest, ResolverAgreesWithRealpathWalk) {
  const std::string r = tmp.path();
  ASSERT_EQ(::mkdir((tmp / "d/sub").c_str(), 0777), 0);
  ASSERT_EQ(::symlink("nowhere", (tmp / "dangling").c_str()), 0);
  ASSERT_EQ(::symlink("d/f", (tmp / "flink").c_str()), 0);
  ASSERT_EQ(::symlink("loop", (tmp / "loop").c_str()), 0);
  ASSERT_EQ(::symlink("../link", (tmp / "d/sub/up").c_str()), 0);
  const std::string base = r.substr(r.rfind('/') + 1);
  const std::string relative[] = {
      "d",
      "d/",
      "d/f",
      "d/f/",
      "d/f/x",
      "d/f/x/y",
      "link",
      "link/",
      "link/..",
      "link/../d/f",
      "link/./f",
      "link/sub/up/f",
      "d/sub/up/missing",
      "d/sub/../f",
      "d//f",
      "./link",
      "dangling",
      "dangling/",
      "dangling/x",
      "flink",
      "flink/",
      "flink/x",
      "loop",
      "loop/",
      "loop/x",
      "missing/x",
      "missing/..",
      "../" + base + "/link/f",
      "link/x\0y"s,
      "d/x\0y"s,
      "x\0y"s,
      "odd",
      "odd/n",
  };
  ScopedCwd cwd(tmp.path());
  PathResolver shared;
  for (const auto& rel : relative) {
    for (const std::string& path : {rel, concat(r, "/", rel), concat(r, "//./", rel)}) {
      const std::string expected = brackwater::support::lossy_utf8(reference_normalize(path));
      EXPECT_EQ(normalize_path(path), expected) << "path: " << path;
      EXPECT_EQ(shared.normalize(path), expected) << "path (shared resolver): " << path;
    }
  }
  for (const std::string& path : {"/"s, "/."s, "//"s, "/.."s, "/tmp/.."s, base}) {
    ScopedCwd at_root("/");
    EXPECT_EQ(normalize_path(path), reference_normalize(path)) << "path: " << path;
    EXPECT_EQ(normalize_path(r.substr(1) + "/link/f"), r + "/d/f");
  }
}

// The environment-dependent functions, one row per call:
// HOME, USERPROFILE (nullopt = unset), the call, the expected result.
struct HomeCase {
  std::optional<std::string> home_env, profile_env;
  std::function<std::string()> call;
  std::string expected;
};

TEST(HomeRules, ExpanduserHomeDirAndWorktreeBase) {
  using std::nullopt;
  const std::string h = "/h";
  const HomeCase cases[] = {
      {h, nullopt, [] { return expanduser(""); }, ""},
      {h, nullopt, [] { return expanduser("x~"); }, "x~"},
      {h, nullopt, [] { return expanduser("~"); }, "/h/"},
      {h, nullopt, [] { return expanduser("~/"); }, "/h/"},
      {h, nullopt, [] { return expanduser("~//a\\b"); }, "/h/a\\b"},
      {h, nullopt, [] { return expanduser("~\\/a"); }, "/h/a"},
      {h, nullopt, [] { return expanduser("~name/x"); }, "/h/name/x"},
      {"/h/", nullopt, [] { return expanduser("~/a"); }, "/h/a"},
      {"~x", nullopt, [] { return expanduser("~/a"); }, "~x/a"},  // home used as is
      {"", "/u", [] { return expanduser("~/a"); }, "~/a"},        // empty HOME does not fall through
      {nullopt, "/u", [] { return expanduser("~/a"); }, "/u/a"},
      {"\xff", "/u", [] { return expanduser("~/a"); }, "/u/a"},  // non-UTF-8 HOME counts as unset
      {nullopt, nullopt, [] { return expanduser("~/a"); }, "~/a"},
      {nullopt, nullopt, [] { return home_dir(nullopt); }, "."},
      {"", "", [] { return home_dir(nullopt); }, "."},
      {"", "/u", [] { return home_dir(nullopt); }, "/u"},  // home_dir skips an empty HOME
      {"\xff", "/u", [] { return home_dir(nullopt); }, "/u"},
      {h, "/u", [] { return home_dir(nullopt); }, "/h"},
      {h, nullopt, [] { return home_dir(""); }, ""},
      {h, nullopt, [] { return home_dir("~"); }, "/h/"},
      {h, nullopt, [] { return home_dir("/g"); }, "/g"},
      {"/home/u", nullopt, [] { return home_worktree_base("alpha", nullopt); }, "/home/u/.plowline/worktrees/alpha"},
      {h, nullopt, [] { return home_worktree_base(nullopt, nullopt); }, "/h/.plowline/worktrees/tessary"},
      {h, nullopt, [] { return home_worktree_base("", nullopt); }, "/h/.plowline/worktrees/tessary"},
      {h, nullopt, [] { return home_worktree_base("alpha", ""); }, ".plowline/worktrees/alpha"},
      {h, nullopt, [] { return home_worktree_base("alpha", "/g/"); }, "/g/.plowline/worktrees/alpha"},
      {h, nullopt, [] { return home_worktree_base("Not Valid", "~"); }, "/h/.plowline/worktrees/Not Valid"},
      {nullopt, nullopt, [] { return home_worktree_base("p", nullopt); }, "./.plowline/worktrees/p"},
  };
  int row = 0;
  for (const auto& c : cases) {
    ScopedEnv home("HOME", c.home_env);
    ScopedEnv profile("USERPROFILE", c.profile_env);
    EXPECT_EQ(c.call(), c.expected) << "row " << row;
    ++row;
  }
}

TEST(ValidateProjectId, Accepts) {
  for (const std::string& id : {"a"s, "a" + std::string(63, '9'), "abc-def_01"s, "z-"s}) {
    auto r = validate_project_id(id);
    ASSERT_TRUE(r.has_value()) << id;
    EXPECT_EQ(*r, id);
  }
}

// Rejected ids and how they appear, quoted, in the message.
TEST(ValidateProjectId, RejectsWithQuotedLiteral) {
  const std::pair<std::string, std::string> cases[] = {
      {"", R"("")"},
      {"A1", R"("A1")"},
      {"1abc", R"("1abc")"},
      {"ab.c", R"("ab.c")"},
      {"ab c", R"("ab c")"},
      {"a" + std::string(64, 'b'), "\"a" + std::string(64, 'b') + "\""},
      {"ab/c", R"("ab/c")"},
      {"a'b", R"("a'b")"},
      {"a\"b", R"("a\"b")"},
      {"a\\b", R"("a\\b")"},
      {"a\tb\r\n", R"("a\tb\r\n")"},
      {"a\0b"s, R"("a\0b")"},
      {"a\x7f\x1b", R"("a\u{7f}\u{1b}")"},
      {"e\u0301", R"("e\u{301}")"},    // combining mark
      {"a\u00a0b", R"("a\u{a0}b")"},   // no-break space is not printable here
      {"a\u200d", R"("a\u{200d}")"},   // format character
      {"caf\u00e9", "\"caf\u00e9\""},  // printable non-ASCII stays as is
      {"\u00f1andu", "\"\u00f1andu\""},
      {"a\U0001F600", "\"a\U0001F600\""},
  };
  for (const auto& [id, literal] : cases) {
    auto r = validate_project_id(id);
    ASSERT_FALSE(r.has_value()) << literal;
    EXPECT_EQ(r.error().code, "PROJECT_ID_INVALID");
    EXPECT_EQ(r.error().message,
              "project_id " + literal + " does not match the normative pattern '^[a-z][a-z0-9_-]{0,63}$'");
  }
}

}  // namespace
