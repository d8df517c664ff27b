// One run of git as a child of this process, started and watched as the
// host program expects of any child: it stays in the caller's process group
// (a terminal's Ctrl-C reaches it), and nothing of the caller's signal state
// changes. git starts with no signal blocked and SIGPIPE, SIGXFSZ and
// SIGCHLD at their defaults.
//
// The host may take git's exit status before we do: a SIGCHLD handler that
// reaps with waitpid(-1, ...) (it may even run inside our wait, from the wait
// hook), or SIGCHLD ignored, which makes the kernel reap every child at once.
// So the child is watched through a pidfd, which no reuse of its pid can
// misdirect, and looked at without being reaped (WNOWAIT) until the run is
// over. When its status was taken, kernels from 6.15 on still tell it through
// the pidfd; on older ones the state says the status is lost, and the
// caller, whose git commands are all read-only queries, runs it again. When
// SIGCHLD is ignored as the run starts, git runs under a small shell that
// waits for it and writes its exit status on a pipe of its own.
#pragma once

#include <sys/types.h>
#include <sys/wait.h>

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "support/unique_fd.hpp"

namespace brackwater::infrastructure {

// A pipe between us and the child.
struct ChildPipe {
  support::UniqueFd read;
  support::UniqueFd write;
};

// A close-on-exec pipe whose read end (ours) does not block; the child's end
// stays blocking, as a child expects of its output. Both ends lie above the
// descriptors the child's own are made from (0 to 3), so that making those
// cannot overwrite them, even in a host that closed its standard streams.
// The error is an errno.
[[nodiscard]] std::expected<ChildPipe, int> make_child_pipe();

class GitChild {
 public:
  enum class State : uint8_t { kRunning, kExited, kStatusLost };

  // Starts git (argv[0] is "git", found on PATH) in `dir` with standard
  // input from /dev/null and standard output and error on `out_fd` and
  // `err_fd`. The error is the start's errno (ENOENT for a git missing from
  // PATH or a missing directory).
  [[nodiscard]] static std::expected<GitChild, int> start(const std::string& dir, char* const* argv, int out_fd,
                                                          int err_fd);

  GitChild(GitChild&&) noexcept;
  GitChild& operator=(GitChild&&) = delete;
  GitChild(const GitChild&) = delete;
  GitChild& operator=(const GitChild&) = delete;
  // Ends a run that was not finished: kills git and what it started.
  ~GitChild();

  // The read end of the shell's status pipe when git runs under the shell
  // (SIGCHLD ignored), else invalid. Read it to its end like git's output.
  support::UniqueFd take_status_pipe() noexcept { return std::move(status_pipe_); }
  // What to poll for the child's end, or -1 (then look now and then).
  int pidfd() const noexcept { return exited_ ? -1 : pidfd_.get(); }

  // A look at the child that does not block and does not reap it. The
  // error is the wait's errno. A child under the shell counts as exited
  // from the start: the kernel reaps the shell, whose status pipe tells the
  // status, so its run is over once every pipe is.
  [[nodiscard]] std::expected<State, int> look();
  // git's exit status from what the shell wrote on its status pipe; the
  // error is the start's errno the shell's status stands for.
  [[nodiscard]] std::expected<void, int> take_reported_status(std::string_view reported);

  bool exited() const noexcept { return exited_; }
  // The exit status; 1 when git was ended by a signal.
  int32_t code() const noexcept { return code_; }
  // Whether git was ended by a signal.
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
  // Whether this process may still wait for the child: no one else reaped
  // it, and the shell (whose pid the kernel may have reaped and given away)
  // is waited for only through its pidfd. Waiting for a shell the kernel
  // reaped ends at once.
  bool ours() const noexcept { return !taken_ && (!relayed_ || pidfd_.valid()); }

  pid_t pid_;
  support::UniqueFd pidfd_;
  support::UniqueFd status_pipe_;
  bool relayed_;
  int32_t code_ = 0;
  bool signalled_ = false;
  bool exited_ = false;
  bool taken_ = false;  // someone else reaped it
  bool done_ = false;   // reaped, or nothing left to do
  bool wait_on_pidfd_ = true;
};

}  // namespace brackwater::infrastructure
