#include "infrastructure/binding_store.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

#include "test_support.hpp"

namespace {

using brackwater::domain::WorktreeBinding;
using namespace brackwater::infrastructure;
using nlohmann::json;
using test_support::exited_zero;
using test_support::in_child;
using test_support::read_file;
using test_support::ScopedEnv;
using test_support::spawn;
using test_support::TempDir;
using test_support::wait_for;
using test_support::write_file;
using test_support::write_file_mkdirs;
namespace fs = std::filesystem;

// "ok:<session ids>" or "err:<display text>".
std::string outcome(const std::expected<std::vector<WorktreeBinding>, BindingStoreError>& r) {
  if (!r) return "err:" + r.error().display();
  std::string ids = "ok:";
  for (const auto& b : r.value()) ids += b.session_id + ",";
  return ids;
}

std::vector<std::string> temp_files(const std::string& dir) {
  std::vector<std::string> found;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path().filename().string().starts_with(".tmp")) found.push_back(e.path().filename());
  }
  return found;
}

class BindingStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test_support::make_repo_with_commit(repo);
    auto made = WorktreeBindingStore::create(repo);
    ASSERT_TRUE(made);
    store.emplace(*made);
  }
  WorktreeBinding binding(const std::string& id, const std::string& branch = "main") const {
    return WorktreeBinding::create(id, repo, branch, repo + "/state", repo + "/.git", repo, "");
  }
  // Short fields for the big stores: every upsert parses and rewrites the
  // whole document, and every read normalises each path again.
  static WorktreeBinding tiny(const std::string& id) {
    return WorktreeBinding::create(id, "/w", "b", "/s", "", "/m", "");
  }
  std::string doc() const { return read_file(store->path()); }

  TempDir tmp;
  ScopedEnv ceiling{"GIT_CEILING_DIRECTORIES", tmp.path()};
  ScopedEnv repo_root{"TESSARY_REPO_ROOT", std::nullopt};
  std::string repo = tmp / "repo";
  std::string dir = repo + "/.tessary/state/brackwater";
  std::optional<WorktreeBindingStore> store;
};

TEST_F(BindingStoreTest, StoreRootFromEveryKindOfDirectory) {
  fs::create_directories(repo + "/sub/deeper");
  ASSERT_TRUE(test_support::git(repo, "worktree add -q -b feature " + tmp / "linked"));
  ASSERT_TRUE(test_support::run("git init -q --bare " + tmp / "bare.git"));
  const std::string sub = tmp / "subrepo", super = tmp / "super";
  test_support::make_repo_with_commit(sub);
  test_support::make_repo_with_commit(super);
  ASSERT_TRUE(test_support::git(super, "-c protocol.file.allow=always submodule add -q " + sub + " mod"));
  fs::create_directories(tmp / "plain");

  const std::pair<std::string, std::string> cases[] = {
      {repo, repo},
      {tmp / "linked", repo},
      {repo + "/sub/deeper", repo},
      {tmp / "bare.git", tmp / "bare.git"},  // common dir is the repository itself
      {super + "/mod", super + "/mod"},      // common dir lies under the superproject's .git
      {tmp / "plain", tmp / "plain"},
  };
  for (const auto& [candidate, root] : cases) {
    EXPECT_EQ(resolve_store_root(candidate), root) << candidate;
    auto s = WorktreeBindingStore::create(candidate + "/.");
    ASSERT_TRUE(s) << candidate;
    EXPECT_EQ(s->main_worktree(), root) << candidate;
    EXPECT_EQ(s->path(), root + "/.tessary/state/brackwater/bindings.json") << candidate;
  }
}

TEST_F(BindingStoreTest, MissingStoreDirectoryReadsEmptyAndCreatesNothing) {
  EXPECT_EQ(outcome(store->list()), "ok:");
  EXPECT_EQ(store->load("s"), std::nullopt);
  EXPECT_EQ(store->remove("s"), std::nullopt);
  EXPECT_FALSE(fs::exists(repo + "/.tessary"));
}

TEST_F(BindingStoreTest, FirstUpsertWritesTheExactForm) {
  auto b = binding("s1");
  b.commit_ish = "r\u00e9f\"\\\t\x01/\x7f";
  ASSERT_TRUE(store->upsert(b));
  EXPECT_TRUE(fs::is_regular_file(dir + "/bindings.json.lock"));
  const std::string expected = R"({
  "bindings": [
    {
      "branch": "main",
      "commit_ish": "r)"
                               "\u00e9"
                               R"(f\"\\\t\u0001/)"
                               "\x7f"
                               R"(",
      "git_common_dir": ")" + repo +
                               R"(/.git",
      "main_worktree": ")" + repo +
                               R"(",
      "schema_version": 2,
      "session_id": "s1",
      "state_path": ")" + repo +
                               R"(/state",
      "worktree": ")" + repo + R"("
    }
  ],
  "schema_version": 2
}
)";
  EXPECT_EQ(doc(), expected);
  struct stat st{};
  ASSERT_EQ(::stat(store->path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(temp_files(dir).empty());
}

TEST_F(BindingStoreTest, UpsertMovesTheSessionToTheEnd) {
  ASSERT_TRUE(store->upsert(binding("a")));
  ASSERT_TRUE(store->upsert(binding("b")));
  ASSERT_TRUE(store->upsert(binding("a", "second")));
  EXPECT_EQ(outcome(store->list()), "ok:b,a,");
  EXPECT_EQ(store->load("a").value()->branch, "second");
  EXPECT_EQ(store->load("A"), std::nullopt);  // ids match byte for byte
}

TEST_F(BindingStoreTest, HandEditedDuplicates) {
  const json entries = {binding("x", "first").to_dict(), binding("y").to_dict(), binding("x", "later").to_dict()};
  const std::string text = json{{"bindings", entries}}.dump();
  write_file_mkdirs(store->path(), text);

  EXPECT_EQ(store->load("x").value()->branch, "first");
  EXPECT_EQ(store->remove("x").value()->branch, "first");
  EXPECT_EQ(outcome(store->list()), "ok:y,x,");
  EXPECT_EQ(store->load("x").value()->branch, "later");

  write_file(store->path(), text);
  ASSERT_TRUE(store->upsert(binding("x", "new")));
  EXPECT_EQ(outcome(store->list()), "ok:y,x,");
  EXPECT_EQ(store->load("x").value()->branch, "new");
}

TEST_F(BindingStoreTest, RemoveOfUnknownIdDoesNotRewrite) {
  ASSERT_TRUE(store->upsert(binding("a")));
  auto identity = [&] {
    struct stat st{};
    ::stat(store->path().c_str(), &st);
    return std::tuple(st.st_ino, st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  };
  const auto before = identity();
  EXPECT_EQ(store->remove("nobody"), std::nullopt);
  EXPECT_EQ(identity(), before);
  EXPECT_EQ(store->remove("a").value()->session_id, "a");
  EXPECT_EQ(doc(), "{\n  \"bindings\": [],\n  \"schema_version\": 2\n}\n");
}

TEST_F(BindingStoreTest, DocumentsThatAreNotStores) {
  const std::string corrupt =
      "err:WORKTREE_BINDING_STORE_CORRUPT: binding store " + dir + "/bindings.json is not valid JSON: ";
  const std::string io = "err:WORKTREE_BINDING_STORE_IO: binding store " + dir + "/bindings.json: ";
  const std::pair<std::string, std::string> cases[] = {
      {"", "ok:"},
      {" \n\t\u3000\u00a0", "ok:"},  // Unicode blanks count as empty
      {"[]", corrupt + "top-level value is not an object"},
      {"\"x\"", corrupt + "top-level value is not an object"},
      {"null", corrupt + "top-level value is not an object"},
      {"{\n  \"bindings\": [\n    {,}\n  ]\n}", " at line 3 column 6"},
      {"{\n\"a\": 1\n]", " at line 3 column 1"},
      {"{\n", " at line 2 column 1"},
      {"{\"bindings\": [1e400]}", " at line 1 column 19"},  // a number out of double range
      {"{\"b\xff\": 1}", io + "file is not valid UTF-8"},
      {"{\"bindings\": {\"s\": 1}}", "ok:"},
      {"{\"bindings\": 5, \"schema_version\": \"x\"}", "ok:"},
      // Exactly one value: a NUL byte does not end the text.
      {std::string("{\"bindings\": []}") + '\0' + "{\"x\": 1}",
       corrupt + "unexpected NUL byte after the value at line 1 column 17"},
      {"{\"bindings\": []} {}", " at line 1 column 18"},
      // Nesting that writing back could not take is refused before parsing.
      {"{\"x\": " + std::string(100000, '[') + std::string(100000, ']') + "}",
       corrupt + "nesting deeper than 512 levels at line 1 column 518"},
      {"{\"x\": \"" + std::string(1000, '[') + "\"}", "ok:"},
      // The parser quotes the bytes it last read, cut inside a character.
      {"[\xef\xbc\x91]", corrupt + "syntax error while parsing value - invalid literal; last read: '[\xef\xbf\xbd'"},
  };
  for (const auto& [text, expected] : cases) {
    write_file_mkdirs(store->path(), text);
    const std::string got = outcome(store->list());
    if (expected.starts_with(" at line")) {
      EXPECT_TRUE(got.starts_with(corrupt) && got.ends_with(expected)) << text << " gave " << got;
      EXPECT_GT(got.size(), corrupt.size() + expected.size()) << "no parser description";
    } else {
      EXPECT_TRUE(got.starts_with(expected)) << text << " gave " << got;
    }
    if (got.starts_with("err:")) {
      EXPECT_EQ("err:" + store->upsert(binding("s")).error().display(), got) << text;
      EXPECT_EQ(doc(), text) << "a failed upsert must not write";
      EXPECT_EQ("err:" + store->load("s").error().display(), got) << text;
    } else {
      ASSERT_TRUE(store->upsert(binding("s"))) << text;  // whatever "bindings" was, it is now an array
      EXPECT_EQ(json::parse(doc())["bindings"], json::array({binding("s").to_dict()})) << text;
    }
  }
}

TEST_F(BindingStoreTest, ForeignContentIsWrittenBackUnchanged) {
  // Numbers up to the unsigned 64-bit range keep their exact value; a larger
  // integer is parsed as a double by the JSON library and is written back in
  // that form. Nothing reads these keys, so that loss is accepted.
  const json alias_entry = {{"session_id", "old"}, {"worktree_path", repo}, {"repo_root", repo},
                            {"branch", "main"},    {"state_path", repo},    {"source_ref", "r1"}};
  const std::string text = R"({"schema_version": 1, "extra": {"k": [1, "two"]}, "bindings": [)" + alias_entry.dump() +
                           R"(, 5, "str", {"no": "id"}, {"session_id": 3}],)" +
                           R"( "i64": -9223372036854775808, "u64": 18446744073709551615,)" +
                           R"( "beyond": 18446744073709551616})";
  write_file_mkdirs(store->path(), text);
  EXPECT_EQ(outcome(store->list()), "ok:old,");
  EXPECT_EQ(store->load("old").value()->commit_ish, "r1");

  ASSERT_TRUE(store->upsert(binding("new")));
  const json after = json::parse(doc());
  const json before = json::parse(text);
  EXPECT_EQ(after["schema_version"], 2);
  EXPECT_EQ(after["extra"], before["extra"]);
  ASSERT_EQ(after["bindings"].size(), 6u);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(after["bindings"][i], before["bindings"][i]) << i;
  EXPECT_EQ(after["bindings"][5], binding("new").to_dict());
  EXPECT_NE(doc().find("\"i64\": -9223372036854775808,"), std::string::npos);
  EXPECT_NE(doc().find("\"u64\": 18446744073709551615\n"), std::string::npos);
  EXPECT_NE(doc().find("\"beyond\": 1.8446744073709552e+19,"), std::string::npos);
}

// Documents the fast parser refuses but the store has always read: they are
// read, and rewritten, as the value-tree parser reads them.
TEST_F(BindingStoreTest, DocumentsOnlyTheFallbackParserReads) {
  const std::string entry = binding("old").to_dict().dump();
  const std::string texts[] = {
      "\xef\xbb\xbf{\"bindings\": [" + entry + "]}",  // byte-order mark
      "{\"bindings\": [" + entry + "], \"n\": [18446744073709551616, -9223372036854775809]}",
  };
  for (const auto& text : texts) {
    write_file_mkdirs(store->path(), text);
    EXPECT_EQ(outcome(store->list()), "ok:old,") << text.substr(0, 40);
    ASSERT_TRUE(store->upsert(binding("new"))) << text.substr(0, 40);
    json expected = json::parse(text);
    expected["bindings"].push_back(binding("new").to_dict());
    expected["schema_version"] = 2;
    EXPECT_EQ(doc(), expected.dump(2) + "\n") << text.substr(0, 40);
  }
}

// Paths are resolved once per call, never across calls: a directory moved
// between two lists shows in the second.
TEST_F(BindingStoreTest, EachListResolvesPathsAfresh) {
  fs::create_directories(tmp / "v1/wt");
  fs::create_directory_symlink("v1", tmp / "current");
  const std::string via_link = tmp / "current/wt";
  json entries = json::array();
  for (const auto& id : {"a", "b"}) {
    entries.push_back({{"session_id", id},
                       {"worktree", via_link},
                       {"branch", "b"},
                       {"state_path", via_link + "/state"},
                       {"main_worktree", via_link}});
  }
  write_file_mkdirs(store->path(), json{{"bindings", entries}}.dump());
  auto first = store->list();
  ASSERT_TRUE(first);
  for (const auto& b : *first) EXPECT_EQ(b.worktree, tmp / "v1/wt");

  fs::rename(tmp / "v1", tmp / "v2");
  fs::remove(tmp / "current");
  fs::create_directory_symlink("v2", tmp / "current");
  auto second = store->list();
  ASSERT_TRUE(second);
  for (const auto& b : *second) {
    EXPECT_EQ(b.worktree, tmp / "v2/wt");
    EXPECT_EQ(b.state_path, tmp / "v2/wt/state");
  }
  EXPECT_EQ(store->load("b").value()->main_worktree, tmp / "v2/wt");
}

TEST_F(BindingStoreTest, TenThousandEntries) {
  json entries = json::array();
  for (int i = 0; i < 10000; ++i) entries.push_back(tiny("s" + std::to_string(i)).to_dict());
  write_file_mkdirs(store->path(), json{{"bindings", entries}}.dump());
  auto all = store->list();
  ASSERT_TRUE(all);
  EXPECT_EQ(all->size(), 10000u);
  ASSERT_TRUE(store->upsert(binding("s5")));
  const json after = json::parse(doc())["bindings"];
  ASSERT_EQ(after.size(), 10000u);
  EXPECT_EQ(after.back(), binding("s5").to_dict());
  EXPECT_EQ(after[5]["session_id"], "s6");
}

TEST_F(BindingStoreTest, FileSystemShapesThatBreakTheStore) {
  const std::string io = "WORKTREE_BINDING_STORE_IO: binding store ";
  // A file where the store directory belongs: reads see no store, a write fails.
  write_file_mkdirs(dir, "x");
  EXPECT_EQ(outcome(store->list()), "ok:");
  EXPECT_EQ(store->upsert(binding("s")).error().display(), io + dir + "/bindings.json: File exists (os error 17)");
  fs::remove(dir);

  // A directory where the store file or the lock file belongs.
  fs::create_directories(dir + "/bindings.json");
  EXPECT_EQ(outcome(store->list()), "err:" + io + dir + "/bindings.json: Is a directory (os error 21)");
  EXPECT_EQ(store->upsert(binding("s")).error().display(), io + dir + "/bindings.json: Is a directory (os error 21)");
  EXPECT_TRUE(temp_files(dir).empty());
  fs::remove(dir + "/bindings.json");
  fs::remove(dir + "/bindings.json.lock");
  fs::create_directories(dir + "/bindings.json.lock");
  EXPECT_EQ(outcome(store->list()), "err:" + io + dir + "/bindings.json.lock: Is a directory (os error 21)");
}

// A write cut short by the file-size limit leaves the old document and no
// temporary file.
TEST_F(BindingStoreTest, FailedWriteLeavesTheOldFile) {
  ASSERT_TRUE(store->upsert(binding("a")));
  const std::string before = doc();
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const int status = in_child([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{before.size(), before.size()};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    auto r = store->upsert(binding("b", std::string(4096, 'x')));
    const std::string text = r ? "written" : r.error().display();
    return ::write(pipe_fds[1], text.data(), text.size()) > 0 ? 0 : 1;
  });
  ::close(pipe_fds[1]);
  char buf[512] = {};
  const ssize_t n = ::read(pipe_fds[0], buf, sizeof buf - 1);
  ::close(pipe_fds[0]);
  ASSERT_TRUE(exited_zero(status));
  EXPECT_EQ(std::string(buf, n > 0 ? n : 0),
            "WORKTREE_BINDING_STORE_IO: binding store " + store->path() + ": File too large (os error 27)");
  EXPECT_EQ(doc(), before);
  EXPECT_TRUE(temp_files(dir).empty());
}

// The temporary file is written through the descriptor that created it:
// with only three descriptors to spare (the store's directory, the lock and
// the temporary file), an implementation that reopened the temporary file
// by path would fail.
TEST_F(BindingStoreTest, WritesThroughTheCreatingDescriptor) {
  ASSERT_TRUE(store->upsert(binding("a")));
  const int status = in_child([&] {
    for (int fd = 3; fd < 1024; ++fd) ::close(fd);
    const rlimit limit{6, 6};  // descriptors 0-2 taken, 3 to 5 free
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 2;
    return store->upsert(binding("b")) ? 0 : 1;
  });
  EXPECT_TRUE(exited_zero(status)) << status;
  EXPECT_EQ(outcome(store->list()), "ok:a,b,");
}

// Eight processes upsert 200 ids each into one store while another reads the
// file without the lock: every id arrives, and the reader only ever sees
// whole documents.
TEST_F(BindingStoreTest, ConcurrentWritersAndAnUnlockedReader) {
  // Each upsert rewrites the whole document, so the cost grows with the
  // square of the count.
  constexpr int kWriters = 8, kIds = 100;
  ASSERT_TRUE(store->upsert(tiny("seed")));
  const std::string done = tmp / "done";
  const pid_t reader = spawn([&] {
    int whole = 0;
    for (; ::access(done.c_str(), F_OK) != 0 && whole < 1000000; ++whole) {
      json j = json::parse(read_file(store->path()), nullptr, false);
      if (j.is_discarded() || !j.is_object() || !j["bindings"].is_array()) return 1;
    }
    return whole > 0 ? 0 : 2;
  });
  std::vector<pid_t> writers;
  writers.reserve(kWriters);
  for (int w = 0; w < kWriters; ++w) {
    writers.push_back(spawn([&] {
      for (int i = 0; i < kIds; ++i) {
        if (!store->upsert(tiny("w" + std::to_string(w) + "-" + std::to_string(i)))) return 1;
      }
      return 0;
    }));
  }
  for (pid_t pid : writers) EXPECT_TRUE(exited_zero(wait_for(pid))) << "writer " << pid;
  write_file(done, "");
  EXPECT_TRUE(exited_zero(wait_for(reader))) << "the reader saw a partial document";
  auto all = store->list();
  ASSERT_TRUE(all);
  EXPECT_EQ(all->size(), 1u + kWriters * kIds);
  for (int w = 0; w < kWriters; ++w) {
    EXPECT_TRUE(store->load("w" + std::to_string(w) + "-" + std::to_string(kIds - 1)).value()) << w;
  }
}

// A writer killed in the middle of its work leaves a readable store and no
// lock held: the next upsert goes through.
TEST_F(BindingStoreTest, WriterKilledMidLoop) {
  const pid_t writer = spawn([&] {
    for (int i = 0; i < 100000; ++i) (void)store->upsert(tiny("k" + std::to_string(i)));
    return 0;
  });
  for (int tries = 0; tries < 5000; ++tries) {
    json j = json::parse(read_file(store->path()), nullptr, false);
    if (j.is_object() && j["bindings"].size() >= 30) break;
    ::usleep(1000);
  }
  ::kill(writer, SIGKILL);
  const int status = wait_for(writer);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  auto listed = store->list();
  ASSERT_TRUE(listed) << listed.error().display();
  EXPECT_FALSE(listed->empty());
  ASSERT_TRUE(store->upsert(binding("after")));
  EXPECT_EQ(store->list()->back().session_id, "after");
}

}  // namespace
