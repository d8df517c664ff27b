// The only place in the system that starts a process: runs `git` in a
// directory with a time limit, captures both output streams as UTF-8 text and
// tells every way a run can fail apart.
//
// One loop polls both pipes and a pidfd for the child with the time left as
// its timeout, so a chatty child never blocks on a full pipe, the limit is
// exact, and no reader thread is ever left blocked on a pipe that a
// descendant of git keeps open. The whole call, including reading what
// remains after the child exits, is bounded by the limit. git is a child as
// the host program expects one (git_child.hpp): in the caller's process
// group, with no signal mask changed, and with right answers when the host
// reaps children itself or ignores SIGCHLD: a run whose status the host
// took is run once more under a relay that cannot lose it. A run cut short
// (the limit, a failed wait, a stop) kills git with its descendants
// (process_tree.hpp). The wait asks the wait hook (support/wait_hook.hpp)
// after a signal interrupts it and at least every tenth of a second, however
// much git writes, and a stop ends the run the way the limit does.
#pragma once

#include <array>
#include <chrono>
#include <concepts>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "support/error_kinds.hpp"

namespace brackwater::infrastructure {

// One finished run. (`stdout`/`stderr` are macros in C, hence the suffix.)
struct CommandOutput {
  std::string stdout_text;  // whole standard output, untrimmed
  std::string stderr_text;  // whole standard error, untrimmed
  int32_t code = 0;         // exit status; 1 when ended by a signal
};

// Why a run produced no usable answer.
struct GitInvokeErrorKinds {
  struct NotFound {};
  struct Timeout {
    uint64_t secs;
  };
  struct Spawn {
    std::string text;
  };
  struct Utf8 {
    std::string text;
  };
  struct NonZeroExit {
    std::string stderr_text;
    int32_t code;
  };
  // The wait hook said stop during the wait (or had said so on this thread
  // before: then git is not started).
  struct Interrupted {};
};
class GitInvokeError : public GitInvokeErrorKinds,
                       public support::ErrorKinds<GitInvokeErrorKinds::NotFound, GitInvokeErrorKinds::Timeout,
                                                  GitInvokeErrorKinds::Spawn, GitInvokeErrorKinds::Utf8,
                                                  GitInvokeErrorKinds::NonZeroExit, GitInvokeErrorKinds::Interrupted> {
 public:
  using ErrorKinds::ErrorKinds;
  // git ran and refused; every other kind means git could not be run or read.
  bool is_nonzero_exit() const noexcept { return is<NonZeroExit>(); }

  std::string display() const;
};

// Every git command line of the system.
namespace git_commands {
inline constexpr uint64_t kTimeoutSecs = 10;
inline constexpr uint64_t kListTimeoutSecs = 30;
inline constexpr std::array<std::string_view, 2> kShowToplevel{"rev-parse", "--show-toplevel"};
inline constexpr std::array<std::string_view, 3> kCommonDir{"rev-parse", "--path-format=absolute", "--git-common-dir"};
inline constexpr std::array<std::string_view, 2> kShowCurrentBranch{"branch", "--show-current"};
inline constexpr std::array<std::string_view, 7> kIdentity{
    "rev-parse", "--path-format=absolute", "--git-dir", "--git-common-dir", "--show-toplevel", "--abbrev-ref", "HEAD"};
// The listing as a caller's own runner is asked to produce it, in lines.
inline constexpr std::array<std::string_view, 3> kWorktreeList{"worktree", "list", "--porcelain"};
// The listing run here: NUL-ended attributes, so no path can forge a record.
// A git older than 2.36 refuses -z with its usage status, kUsageExit; the
// listing then falls back to the line form.
inline constexpr std::array<std::string_view, 4> kWorktreeListNul{"worktree", "list", "--porcelain", "-z"};
inline constexpr int32_t kUsageExit = 129;
}  // namespace git_commands

// A time limit that several runs can share: a call that runs git twice
// (the listing's fallback) still ends at its one limit. `secs` is the limit
// a timeout reports.
struct GitDeadline {
  std::chrono::steady_clock::time_point at;
  uint64_t secs;

  static GitDeadline after(uint64_t secs);
};

// Runs git with `args` in `cwd` (unchanged; not checked beforehand). A
// non-zero exit status is not an error here: it comes back in `code`.
[[nodiscard]] std::expected<CommandOutput, GitInvokeError> invoke_git(std::string_view cwd,
                                                                      std::span<const std::string_view> args,
                                                                      uint64_t timeout_secs);
[[nodiscard]] std::expected<CommandOutput, GitInvokeError> invoke_git(std::string_view cwd,
                                                                      std::span<const std::string_view> args,
                                                                      const GitDeadline& limit);

// `invoke_git` with the 10-second limit; exit 0 gives the trimmed standard
// output, any other status `NonZeroExit` with the untrimmed standard error.
[[nodiscard]] std::expected<std::string, GitInvokeError> git_output(std::string_view cwd,
                                                                    std::span<const std::string_view> args);

// `git rev-parse --show-toplevel` in `cwd` (or "."); "" on any failure.
std::string git_repo_root(const std::optional<std::string>& cwd);

}  // namespace brackwater::infrastructure
