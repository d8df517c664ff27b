// Small helpers shared by the core tests: temporary directories, shell
// commands, real git repositories, scoped environment and a fake `git`.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace test_support {

// A fresh directory under /tmp, removed with everything in it at scope end.
// `path()` is its real path, so results that went through realpath compare
// equal to it.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/brackwater-test-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = std::filesystem::canonical(tmpl).string();
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

inline std::string shell_quote(std::string_view s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs `command` with /bin/sh; true when it exited 0.
inline bool run(const std::string& command) {
  const int status = std::system(command.c_str());
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Standard output of a /bin/sh command, without its final newline.
inline std::string capture(const std::string& command) {
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
    ::pclose(pipe);
  }
  if (out.ends_with('\n')) out.pop_back();
  return out;
}

inline void write_file(const std::string& path, std::string_view contents) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

// Creates the parent directories as needed.
inline void write_file_mkdirs(const std::string& path, std::string_view contents) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  write_file(path, contents);
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Forks a child that ends with `_exit(body())`; the child must not return
// into the test framework.
template <class Body>
pid_t spawn(Body&& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(std::forward<Body>(body)());
  return pid;
}

// The wait status of a child.
inline int wait_for(pid_t pid) {
  int status = -1;
  if (pid > 0) ::waitpid(pid, &status, 0);
  return status;
}

// Runs `body` in a forked child; returns its wait status.
template <class Body>
int in_child(Body&& body) {
  return wait_for(spawn(std::forward<Body>(body)));
}

inline bool exited_zero(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

// A real repository on branch main with a local identity.
inline void make_repo(const std::string& dir) {
  const auto q = shell_quote(dir);
  ASSERT_TRUE(run("git init -q -b main " + q + " && git -C " + q + " config user.name Tester && git -C " + q +
                  " config user.email tester@example.invalid"));
}

// A repository on main with one empty commit, so branches and worktrees can
// be made from it.
inline void make_repo_with_commit(const std::string& dir) {
  make_repo(dir);
  ASSERT_TRUE(run("git -C " + shell_quote(dir) + " commit -q --allow-empty -m init"));
}

// Runs `git -C dir <args>` (args already quoted as needed); true on exit 0.
inline bool git(const std::string& dir, const std::string& args) {
  return run("git -C " + shell_quote(dir) + " " + args + " >/dev/null 2>&1");
}

// Sets (or, with nullopt, unsets) one environment variable for a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    set(value);
  }
  ~ScopedEnv() { set(old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void set(const std::optional<std::string>& value) { value ? ::setenv(name_, value->c_str(), 1) : ::unsetenv(name_); }
  const char* name_;
  std::optional<std::string> old_;
};

// Changes the current directory for a scope.
struct ScopedCwd {
  explicit ScopedCwd(const std::string& dir) { std::filesystem::current_path(dir); }
  ~ScopedCwd() {
    std::error_code ec;
    std::filesystem::current_path(old, ec);
  }
  std::filesystem::path old = std::filesystem::current_path();
};

// A directory holding a `git` script, put first on PATH (or, with `only`,
// as the whole PATH). Scripts should `exec` their last command so the
// process git's caller sees is the one that does the work.
class FakeGit {
 public:
  explicit FakeGit(std::string_view body, mode_t mode = 0755, bool only = false)
      : path_env_("PATH", only ? dir_.path() : dir_.path() + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "")) {
    if (body.empty()) return;  // an empty directory: no git at all
    write_file(dir_ / "git", "#!/bin/sh\n" + std::string(body) + "\n");
    ::chmod((dir_ / "git").c_str(), mode);
  }

 private:
  TempDir dir_;
  ScopedEnv path_env_;
};

}  // namespace test_support
