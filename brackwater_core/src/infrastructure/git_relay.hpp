// git under a small shell that waits for it and writes its exit status on a
// pipe of its own, which no reaper of the host can take away.
//
// The shell is a stranger to git's run: it starts with an empty environment
// (so nothing of the caller's, such as SHELLOPTS, BASH_ENV or an exported
// function, changes what it does), with its own output thrown away (so
// nothing it says reaches git's), and it runs git through env(1), which
// gives git the caller's environment exactly as a direct start would. git
// is found on PATH here, before the shell starts, by the rules of a direct
// start, so that its own exit statuses 126 and 127 stay exit statuses.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace brackwater::infrastructure {

// The shell's descriptors besides its standard three (which are the null
// device): git's status pipe, and git's standard output and error.
inline constexpr int kRelayStatusFd = 3;
inline constexpr int kRelayOutFd = 4;
inline constexpr int kRelayErrFd = 5;
inline constexpr const char* kRelayShell = "/bin/sh";

// Why git cannot be started, as its start would report it: an errno, and
// the program it concerns when that is not git itself (the relay's own
// tools).
struct StartError {
  int err;
  std::string_view program;
};

// The shell's argument vector for git's `argv` (argv[0] "git") run in
// `dir`; it lives as long as this object.
class RelayCommand {
 public:
  char* const* argv() const noexcept { return argv_.data(); }

 private:
  friend std::expected<RelayCommand, StartError> relay_command(const std::string& dir, char* const* argv);
  std::vector<std::string> args_;
  std::vector<char*> argv_;
};

[[nodiscard]] std::expected<RelayCommand, StartError> relay_command(const std::string& dir, char* const* argv);

// Where a direct start of `name` in `dir` would find it on PATH: the first
// executable regular file, a path relative to `dir` where the entry of PATH
// is; ENOENT when there is none, EACCES when only files that cannot be run
// were found, or the error that stops the search.
[[nodiscard]] std::expected<std::string, int> find_on_path(const std::string& dir, std::string_view name);

}  // namespace brackwater::infrastructure
