// One run of git as a child of this process, started and watched as the
// host program expects of any child: it stays in the caller's process group
// (a terminal's Ctrl-C reaches it), nothing of the caller's signal state
// changes, and it gets no descriptor of the caller's but its standard three.
// git starts with no signal blocked and SIGPIPE, SIGXFSZ and SIGCHLD at
// their defaults.
//
// The host may take git's exit status before we do: a SIGCHLD handler that
// reaps with waitpid(-1, ...) (it may even run inside our wait, from the wait
// hook), or SIGCHLD ignored, which makes the kernel reap every child at once.
// So a direct child is watched through a pidfd, which no reuse of its pid can
// misdirect, and looked at without being reaped (WNOWAIT) until the run is
// over. When its status was taken, kernels from 6.15 on still tell it through
// the pidfd; on older ones the state says the status is lost, and the
// caller, whose git commands are all read-only queries, runs it once more
// under the relay (git_relay.hpp), whose status pipe no reaper can empty.
// git runs under the relay from the start when SIGCHLD is ignored.
//
// Without pidfds (kernels before 5.3, or no descriptor left) a direct child
// is looked at now and then, and signalled by pid only while no one else has
// reaped it; the relay's shell may always be signalled while its status pipe
// is open, since it holds that pipe until it exits.
#pragma once

#include <sys/types.h>
#include <sys/wait.h>

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "infrastructure/git_relay.hpp"
#include "support/unique_fd.hpp"

namespace brackwater::infrastructure {

// A pipe between us and the child.
struct ChildPipe {
  support::UniqueFd read;
  support::UniqueFd write;
};

// A close-on-exec pipe whose read end (ours) does not block; the child's end
// stays blocking, as a child expects of its output. Both ends lie above the
// descriptors the child's own are made from (0 to 5), so that making those
// cannot overwrite them, even in a host that closed its standard streams.
// The error is an errno.
[[nodiscard]] std::expected<ChildPipe, int> make_child_pipe();

class GitChild {
 public:
  enum class State : uint8_t { kRunning, kExited, kStatusLost };

  // Starts git (argv[0] is "git", found on PATH) in `dir` with standard
  // input from /dev/null and standard output and error on `out_fd` and
  // `err_fd`; under the relay when `relayed` is asked for or SIGCHLD is
  // ignored. The error is the start's: ENOENT for a git missing from PATH
  // or a missing directory.
  [[nodiscard]] static std::expected<GitChild, StartError> start(const std::string& dir, char* const* argv, int out_fd,
                                                                 int err_fd, bool relayed);

  GitChild(GitChild&&) noexcept;
  GitChild& operator=(GitChild&&) = delete;
  GitChild(const GitChild&) = delete;
  GitChild& operator=(const GitChild&) = delete;
  // Ends a run that was not finished: kills git and what it started.
  ~GitChild();

  bool relayed() const noexcept { return relayed_; }
  // The read end of the relay's status pipe, else invalid. Read it to its
  // end like git's output, then call relay_ended().
  support::UniqueFd take_status_pipe() noexcept { return std::move(status_pipe_); }
  // The status pipe reached its end: the shell is exiting, and its pid may
  // be given away once someone reaps it.
  void relay_ended() noexcept { relay_open_ = false; }
  // What to poll for the child's end, or -1 (then look now and then).
  int pidfd() const noexcept { return exited_ ? -1 : pidfd_.get(); }

  // A look at the child that does not block and does not reap it. The
  // error is the wait's errno. A child under the relay counts as exited
  // from the start: its status pipe tells the status, so its run is over
  // once every pipe is.
  [[nodiscard]] std::expected<State, int> look();
  // git's exit status from what the relay wrote on its status pipe.
  void take_reported_status(std::string_view reported) noexcept;

  bool exited() const noexcept { return exited_; }
  // The exit status; 1 when git was ended by a signal (under the relay,
  // when the shell was: it reports a signalled git as 128 + the signal).
  int32_t code() const noexcept { return code_; }
  // Whether git (under the relay: the shell) was ended by a signal.
  bool signalled() const noexcept { return signalled_; }

  // Kills git with its descendants and reaps it (kill_process_tree).
  void kill_and_reap() noexcept;
  // The normal end of a run: reaps git and leaves its descendants alone.
  void reap() noexcept;

 private:
  GitChild(pid_t pid, bool relayed, support::UniqueFd status_pipe) noexcept;
  // waitid on the child (its pidfd where the kernel takes one); 0 or errno.
  int wait(siginfo_t& info, int options) noexcept;
  void set_status(int wait_status) noexcept;
  // Whether the pid is surely still the child's, so that it may be
  // signalled or waited for by pid.
  bool pid_is_ours() const noexcept { return relayed_ ? relay_open_ : !taken_; }

  pid_t pid_;
  support::UniqueFd pidfd_;
  support::UniqueFd status_pipe_;
  bool relayed_;
  bool relay_open_;
  int32_t code_ = 0;
  bool signalled_ = false;
  bool exited_ = false;
  bool taken_ = false;  // someone else reaped it
  bool done_ = false;   // reaped, or nothing left to do
  bool wait_on_pidfd_ = true;
};

}  // namespace brackwater::infrastructure
