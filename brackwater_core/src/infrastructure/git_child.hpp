// One run of git as a child of this process, started and watched as the
// host program expects of any child: it stays in the caller's process group
// (a terminal's Ctrl-C reaches it), nothing of the caller's signal state
// changes, and it gets no descriptor of the caller's but its standard three
// (git_start.hpp).
//
// The host may take git's exit status before we do: a SIGCHLD handler that
// reaps with waitpid(-1, ...) (it may even run inside our wait, from the wait
// hook), or SIGCHLD ignored, which makes the kernel reap every child at once.
// So a direct child is watched through the pidfd it was made with, which no
// reuse of its pid can misdirect, and looked at without being reaped
// (WNOWAIT) until the run is over. When its status was taken, kernels from
// 6.15 on still tell it through the pidfd; on older ones the state says the
// status is lost, and the caller, whose git commands are all read-only
// queries, runs it once more under the relay, whose report no reaper can
// take. git runs under the relay from the start where SIGCHLD is ignored or
// the kernel gives no pidfds: a pid that someone else may have reaped is
// never signalled or waited for, and the relay is a child only we can reap.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "infrastructure/git_start.hpp"
#include "support/call_environment.hpp"
#include "support/unique_fd.hpp"

namespace brackwater::infrastructure {

// A pipe between us and the child.
struct ChildPipe {
  support::UniqueFd read;
  support::UniqueFd write;
};

// A close-on-exec pipe whose read end (ours) does not block; the child's end
// stays blocking, as a child expects of its output. Both ends lie above
// kHighestChildFd, so that making a child's own descriptors cannot overwrite
// them, even in a host that closed its standard streams. The error is an
// errno.
[[nodiscard]] std::expected<ChildPipe, int> make_child_pipe();

class GitChild {
 public:
  enum class State : uint8_t { kRunning, kExited, kStatusLost };

  // Starts git (argv[0] is "git", found on PATH as execvp finds it) in `dir`
  // with the environment `environment`, standard input from /dev/null and
  // standard output and error on `out_fd` and `err_fd`; under the relay when
  // `relayed` is asked for or a direct child could lose its status unseen.
  // The error is the start's errno: ENOENT for a git missing from PATH or a
  // missing directory.
  [[nodiscard]] static std::expected<GitChild, int> start(const std::string& dir, char* const* argv,
                                                          support::EnvironmentCopy& environment, int out_fd, int err_fd,
                                                          bool relayed);

  GitChild(GitChild&&) noexcept;
  GitChild& operator=(GitChild&&) = delete;
  GitChild(const GitChild&) = delete;
  GitChild& operator=(const GitChild&) = delete;
  // Ends a run that was not finished: kills git and what it started.
  ~GitChild();

  bool relayed() const noexcept { return relayed_; }
  // The read end of the relay's report, else invalid. Read it to its end
  // like git's output, then call take_reported_status().
  support::UniqueFd take_report() noexcept { return std::move(report_); }
  // What to poll for the child's end, or -1.
  int pidfd() const noexcept { return exited_ ? -1 : child_.pidfd.get(); }

  // A look at a direct child that does not block and does not reap it. The
  // error is the wait's errno. A child under the relay counts as exited
  // from the start: its report tells the status, so its run is over once
  // every pipe is.
  [[nodiscard]] std::expected<State, int> look();
  // git's wait status from what the relay reported.
  void take_reported_status(std::string_view reported) noexcept;

  bool exited() const noexcept { return exited_; }
  // The exit status; 1 when git was ended by a signal.
  int32_t code() const noexcept { return code_; }
  // Whether git was ended by a signal (or the relay before it could say).
  bool signalled() const noexcept { return signalled_; }

  // Kills git with its descendants and reaps it (kill_process_tree).
  void kill_and_reap() noexcept;
  // The normal end of a run: reaps git and leaves its descendants alone.
  void reap() noexcept;

 private:
  GitChild(StartedChild child, bool relayed, RelayStack stack, support::UniqueFd report) noexcept;
  void set_status(int wait_status) noexcept;

  StartedChild child_;
  RelayStack stack_;
  support::UniqueFd report_;
  bool relayed_;
  int32_t code_ = 0;
  bool signalled_ = false;
  bool exited_ = false;
  bool taken_ = false;  // someone else reaped it
  bool done_ = false;   // reaped, or nothing left to do
};

}  // namespace brackwater::infrastructure
