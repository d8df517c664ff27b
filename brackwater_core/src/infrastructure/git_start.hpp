// How git is started. A child made as posix_spawn makes one (sharing our
// memory, on a stack of its own, running only system calls) sets git's
// descriptors, directory and signals up and searches PATH as execvp does,
// with the environment of the call's copy (support/call_environment.hpp),
// never `environ`.
//
// git is started either directly, as our child with SIGCHLD as its exit
// signal, watched through the pidfd the kernel gives with the child (so no
// reaper of the host can take its pid before we hold it), or under a relay:
// a process of our own, made with exit signal 0 and never calling execve (an
// execve would give it SIGCHLD back), so that no waitpid(-1) of the host
// reaps it and no ignored SIGCHLD makes the kernel reap it. The relay starts
// git with SIGCHLD at its default, waits for it and writes its exact wait
// status on a pipe. It keeps every signal blocked, so a terminal's Ctrl-C
// ends git, not the relay and git's status with it. Nothing of the caller's
// environment or arguments appears on any command line but git's own
// arguments, and git's argv[0] is "git".
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <expected>
#include <string>
#include <vector>

#include "support/call_environment.hpp"
#include "support/unique_fd.hpp"

namespace brackwater::infrastructure {

// Descriptors of ours lie above this one, so that making a child's 0 to 2
// (and the relay's pipes) never overwrites them (make_child_pipe).
inline constexpr int kHighestChildFd = 5;

// What a start needs, made before any child exists: the children only read
// it, but for the start error git's child leaves in `error`.
class GitLaunch {
 public:
  // git with `argv` (argv[0] "git") in `dir`, standard output and error on
  // `out_fd` and `err_fd`, the environment `environment`.
  GitLaunch(const std::string& dir, char* const* argv, support::EnvironmentCopy& environment, int out_fd, int err_fd);
  GitLaunch(const GitLaunch&) = delete;
  GitLaunch& operator=(const GitLaunch&) = delete;

  const char* dir;
  char* const* argv;
  char* const* envp_list = nullptr;
  // Where the PATH search tries git, in order, as execvp builds the names;
  // a null pointer ends the list.
  const char* const* candidate_list = nullptr;
  int out_fd;
  int err_fd;
  int report_fd = -1;
  char* git_stack_top = nullptr;
  int error = 0;

 private:
  std::vector<char*> envp_store_;
  std::vector<std::string> names_;
  std::vector<const char*> candidates_;
};

// A child started here: its pid, and the pidfd the kernel gave with it
// (invalid when pidfds are not to be had).
struct StartedChild {
  pid_t pid;
  support::UniqueFd pidfd;
};

// Whether this kernel gives pidfds and waits on them (5.4 and later, unless
// a container refuses them); asked once per process.
[[nodiscard]] bool pidfds_usable() noexcept;

// Starts git as a direct child, with its pidfd (pidfds_usable() must have
// said yes). The error is the start's errno. A clone refused its pidfd (a
// container's filter may refuse CLONE_PIDFD and let pidfd_open through)
// makes pidfds_usable() say no from then on: the caller then starts git
// the way that needs none.
[[nodiscard]] std::expected<StartedChild, int> start_git_directly(GitLaunch& launch);

// The relay's stack, which lives until the relay has been reaped.
class RelayStack {
 public:
  RelayStack() = default;
  RelayStack(RelayStack&& other) noexcept;
  RelayStack& operator=(RelayStack&&) = delete;
  RelayStack(const RelayStack&) = delete;
  RelayStack& operator=(const RelayStack&) = delete;
  ~RelayStack();

  // Maps it; the error is an errno.
  [[nodiscard]] int map() noexcept;
  char* relay_top() const noexcept;
  char* git_top() const noexcept;

 private:
  char* base_ = nullptr;
};

// Starts git under the relay, whose report pipe `report` is: its write end
// is closed here, its read end gives git's wait status (four bytes in this
// host's order) once git has ended. Returns once git has been started, or
// the start's errno (the relay then reaped).
[[nodiscard]] std::expected<StartedChild, int> start_git_relayed(GitLaunch& launch, const RelayStack& stack,
                                                                 support::UniqueFd& report_write,
                                                                 const support::UniqueFd& report_read);

// Waits for the relay, which only we can reap; 0 or the wait's errno.
int reap_relay(const StartedChild& relay) noexcept;

}  // namespace brackwater::infrastructure
