#include "infrastructure/git_adapter.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <vector>

#include "infrastructure/git_child.hpp"
#include "support/call_environment.hpp"
#include "support/concat.hpp"
#include "support/log.hpp"
#include "support/os_error.hpp"
#include "support/text.hpp"
#include "support/unique_fd.hpp"
#include "support/wait_hook.hpp"

namespace brackwater::infrastructure {
namespace {

using support::UniqueFd;
using Clock = std::chrono::steady_clock;
constexpr std::string_view kLogTarget = "brackwater::infrastructure::git_adapter";

// One output stream of the child while it is being drained.
struct Stream {
  static constexpr size_t kReadBytes = 65536;

  UniqueFd fd;
  // What was read, in blocks that never move once filled: a git that floods
  // its output costs no copy of all that was read so far while the call
  // waits (which could hold the wait past the limit or Ctrl-C), only one
  // join at the end. Each new block is as large as all before it.
  std::vector<std::string> blocks;
  size_t size = 0;
  int read_error = 0;

  bool open() const { return fd.valid(); }

  // Reads one buffer's worth of what is available, without blocking, so
  // that a child that writes without end still lets the wait look at the
  // clock and the hook between reads; closes the pipe at end of file or on
  // a read error.
  void drain() {
    if (blocks.empty() || blocks.back().capacity() - blocks.back().size() < kReadBytes) {
      blocks.emplace_back().reserve(std::max(kReadBytes, size));
    }
    std::string& block = blocks.back();
    const size_t used = block.size();
    ssize_t n = 0;
    int err = 0;
    block.resize_and_overwrite(used + kReadBytes, [&](char* at, size_t) {
      do {
        n = ::read(fd.get(), at + used, kReadBytes);
      } while (n < 0 && errno == EINTR);
      err = errno;
      return used + static_cast<size_t>(std::max<ssize_t>(n, 0));
    });
    if (n > 0) {
      size += static_cast<size_t>(n);
    } else if (n == 0) {
      fd.reset();
    } else if (err != EAGAIN && err != EWOULDBLOCK) {
      read_error = err;
      fd.reset();
    }
  }

  // All that was read, as one text.
  std::string take() {
    if (blocks.size() == 1) return std::move(blocks.front());
    std::string all;
    all.reserve(size);
    for (std::string& block : blocks) {
      all += block;
      std::string().swap(block);
    }
    return all;
  }
};

std::expected<std::string, GitInvokeError> decode(std::string_view name, Stream& stream) {
  if (stream.read_error != 0) {
    return std::unexpected(
        GitInvokeError::Spawn{support::concat("read ", name, ": ", support::os_error_text(stream.read_error))});
  }
  std::string text = stream.take();
  if (auto bad = support::utf8_error(text)) {
    return std::unexpected(GitInvokeError::Utf8{support::concat(name, ": ", *bad)});
  }
  return text;
}

// Every failed run leaves invoke_git through here. The error is built in
// place: moving it through a std::unexpected at each of the many early
// returns makes g++ 12 warn that alternatives it cannot see being set may be
// used uninitialised.
std::expected<CommandOutput, GitInvokeError> failed(GitInvokeError error) {
  return std::expected<CommandOutput, GitInvokeError>(std::unexpect, std::move(error));
}

GitInvokeError spawn_error(int err) {
  if (err == ENOENT) return GitInvokeError::NotFound{};
  return GitInvokeError::Spawn{support::os_error_text(err)};
}

// How often a wait asks the wait hook, whatever else wakes it: a signal that
// reached another thread interrupts no poll of ours, yet its handler may
// want the call to end: within a tenth of a second, ending git included,
// also on a loaded machine.
constexpr auto kHookInterval = std::chrono::milliseconds(25);

// One run of git, directly or under the relay. `status_lost` is set when
// someone else reaped a direct git and its status could not be learnt: the
// result is then an error to run again under the relay.
std::expected<CommandOutput, GitInvokeError> run_once(const std::string& dir, char* const* argv,
                                                      support::EnvironmentCopy& environment, const GitDeadline& limit,
                                                      bool relayed, bool& status_lost) {
  auto out_pipe = make_child_pipe();
  if (!out_pipe) return failed(spawn_error(out_pipe.error()));
  auto err_pipe = make_child_pipe();
  if (!err_pipe) return failed(spawn_error(err_pipe.error()));
  auto started = GitChild::start(dir, argv, environment, out_pipe->write.get(), err_pipe->write.get(), relayed);
  if (!started) return failed(spawn_error(started.error()));
  GitChild& child = *started;
  out_pipe->write.reset();
  err_pipe->write.reset();
  // git's standard output and error, and the relay's report.
  Stream streams[3];
  streams[0].fd = std::move(out_pipe->read);
  streams[1].fd = std::move(err_pipe->read);
  streams[2].fd = child.take_report();

  auto next_ask = Clock::now() + kHookInterval;
  // Output still open after git has exited means a descendant holds the
  // pipes: it is waited for until the limit.
  while (streams[0].open() || streams[1].open() || streams[2].open() || !child.exited()) {
    auto now = Clock::now();
    if (now >= limit.at) {
      child.kill_and_reap();
      return failed(GitInvokeError::Timeout{limit.secs});
    }
    long long wait_ms = std::chrono::ceil<std::chrono::milliseconds>(std::min(limit.at, next_ask) - now).count();

    pollfd fds[4];
    nfds_t n = 0;
    int slot[4];
    for (int i = 0; i < 3; ++i) {
      if (streams[i].open()) {
        fds[n] = {streams[i].fd.get(), POLLIN, 0};
        slot[n++] = i;
      }
    }
    if (!child.exited()) {
      fds[n] = {child.pidfd(), POLLIN, 0};
      slot[n++] = 3;
    }

    const int ready = ::poll(fds, n, static_cast<int>(std::max(wait_ms, 0LL)));
    if (ready < 0 && errno != EINTR) {
      const int err = errno;
      child.kill_and_reap();
      return failed(GitInvokeError::Spawn{support::os_error_text(err)});
    }
    now = Clock::now();
    if (ready < 0 || now >= next_ask) {
      next_ask = now + kHookInterval;
      if (!support::may_go_on()) {
        child.kill_and_reap();
        return failed(GitInvokeError::Interrupted{});
      }
    }
    for (nfds_t i = 0; i < n && ready > 0; ++i) {
      if (fds[i].revents != 0 && slot[i] < 3) streams[slot[i]].drain();
    }
    if (!child.exited()) {
      auto state = child.look();
      if (!state) {
        child.kill_and_reap();
        return failed(GitInvokeError::Spawn{support::os_error_text(state.error())});
      }
      if (*state == GitChild::State::kStatusLost) {
        status_lost = true;
        child.kill_and_reap();
        return failed(GitInvokeError::Spawn{support::os_error_text(ECHILD)});
      }
    }
  }

  child.take_reported_status(streams[2].take());
  child.reap();
  // A git ended by a signal was most likely hit by the terminal's Ctrl-C,
  // which this process got too: its handler may want the call to end.
  if (child.signalled() && !support::may_go_on()) return failed(GitInvokeError::Interrupted{});
  CommandOutput output;
  output.code = child.code();
  auto out = decode("stdout", streams[0]);
  if (!out) return failed(out.error());
  auto err = decode("stderr", streams[1]);
  if (!err) return failed(err.error());
  output.stdout_text = *std::move(out);
  output.stderr_text = *std::move(err);
  return output;
}

}  // namespace

std::string GitInvokeError::display() const {
  struct Visitor {
    std::string operator()(const NotFound&) const { return "git binary not found on PATH"; }
    std::string operator()(const Timeout& t) const { return support::concat("git timed out after ", t.secs, "s"); }
    std::string operator()(const Spawn& s) const { return "failed to run git: " + s.text; }
    std::string operator()(const Utf8& u) const { return "git output is not valid UTF-8: " + u.text; }
    std::string operator()(const Interrupted&) const { return "git interrupted by a signal"; }
    std::string operator()(const NonZeroExit& e) const {
      const auto trimmed = support::trim(e.stderr_text);
      if (trimmed.empty()) return support::concat("git exited ", e.code);
      return support::concat("git exited ", e.code, ": ", trimmed);
    }
  };
  return std::visit(Visitor{}, value());
}

GitDeadline GitDeadline::after(uint64_t secs) {
  // Capped so that any limit, however large, stays a valid time point.
  constexpr uint64_t kMaxSecs = 100ULL * 365 * 24 * 3600;
  return {std::chrono::steady_clock::now() + std::chrono::seconds(std::min(secs, kMaxSecs)), secs};
}

std::expected<CommandOutput, GitInvokeError> invoke_git(std::string_view cwd, std::span<const std::string_view> args,
                                                        uint64_t timeout_secs) {
  return invoke_git(cwd, args, GitDeadline::after(timeout_secs));
}

std::expected<CommandOutput, GitInvokeError> invoke_git(std::string_view cwd, std::span<const std::string_view> args,
                                                        const GitDeadline& limit) {
  if (support::wait_stopped()) return failed(GitInvokeError::Interrupted{});
  const std::string dir(cwd);
  std::vector<std::string> argv_store{"git"};
  for (auto a : args) argv_store.emplace_back(a);
  for (const auto& s : argv_store) {
    if (s.find('\0') != std::string::npos) {
      return failed(GitInvokeError::Spawn{"nul byte found in provided data"});
    }
  }
  if (dir.find('\0') != std::string::npos) {
    return failed(GitInvokeError::Spawn{"nul byte found in provided data"});
  }
  std::vector<char*> argv;
  argv.reserve(argv_store.size() + 1);
  for (auto& s : argv_store) argv.push_back(s.data());
  argv.push_back(nullptr);

  // Every command is a read-only query, so a run whose exit status the host
  // took (and the kernel no longer tells) is run once more, under the relay,
  // whose status no reaper can take; so is every later run of the call.
  std::optional<support::CallEnvironment> own_call;
  support::CallEnvironment& call = support::CallEnvironment::current_or(own_call);
  bool status_lost = false;
  auto run = run_once(dir, argv.data(), call.environment(), limit, call.status_lost, status_lost);
  if (!status_lost) return run;
  call.status_lost = true;
  return run_once(dir, argv.data(), call.environment(), limit, true, status_lost);
}

std::expected<std::string, GitInvokeError> git_output(std::string_view cwd, std::span<const std::string_view> args) {
  auto run = invoke_git(cwd, args, git_commands::kTimeoutSecs);
  if (!run) return std::unexpected(run.error());
  if (run->code != 0) {
    return std::unexpected(GitInvokeError::NonZeroExit{std::move(run->stderr_text), run->code});
  }
  return std::string(support::trim(run->stdout_text));
}

std::string git_repo_root(const std::optional<std::string>& cwd) {
  const std::string dir = cwd.value_or(".");
  auto root = git_output(dir, git_commands::kShowToplevel);
  if (!root) {
    support::log::debug(kLogTarget,
                        [&] { return support::concat("git_repo_root(", dir, "): ", root.error().display()); });
    return {};
  }
  return *std::move(root);
}

}  // namespace brackwater::infrastructure
