#include "infrastructure/git_relay.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "support/concat.hpp"
#include "support/unique_fd.hpp"

namespace brackwater::infrastructure {
namespace {

// "$@" is env(1), its arguments and git's. The shell's own words go to its
// standard error, the null device; git's status goes out on descriptor 3,
// which git itself does not get. git runs in a subshell, which becomes git,
// so that the shell's word on a git ended by a signal ("Segmentation
// fault") is said outside git's redirections. The status is tested in an
// or-list so that no option could end the shell before it reports one.
constexpr const char* kScript = "s=0; (\"$@\" >&4 2>&5 3>&- 4>&- 5>&-) || s=$?; echo \"$s\" >&3";
constexpr const char* kEnvTools[] = {"/usr/bin/env", "/bin/env"};
// The search path of a start when PATH is not set.
constexpr std::string_view kDefaultPath = "/bin:/usr/bin";

// The errors after which a search of PATH tries the next entry.
bool try_next_entry(int err) {
  return err == ENOENT || err == ESTALE || err == ENOTDIR || err == ENODEV || err == ETIMEDOUT;
}

}  // namespace

std::expected<std::string, int> find_on_path(const std::string& dir, std::string_view name) {
  // The start changes to `dir` before it searches, so relative entries of
  // PATH are taken from there; a directory it cannot change to fails it.
  const support::UniqueFd at(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!at) return std::unexpected(errno);
  const char* set = std::getenv("PATH");
  const std::string_view path = set != nullptr ? std::string_view(set) : kDefaultPath;
  bool denied = false;
  for (size_t start = 0;;) {
    const size_t end = std::min(path.find(':', start), path.size());
    const std::string_view entry = path.substr(start, end - start);
    std::string candidate = entry.empty() ? std::string(name) : support::concat(entry, '/', name);
    struct stat st;
    if (::fstatat(at.get(), candidate.c_str(), &st, 0) == 0) {
      // What cannot be run (no x bit, a directory, a mount without exec)
      // is passed over, and told only when nothing else is found.
      if (S_ISREG(st.st_mode) && ::faccessat(at.get(), candidate.c_str(), X_OK, AT_EACCESS) == 0) return candidate;
      denied = true;
    } else if (errno == EACCES) {
      denied = true;
    } else if (!try_next_entry(errno)) {
      return std::unexpected(errno);
    }
    if (end == path.size()) break;
    start = end + 1;
  }
  return std::unexpected(denied ? EACCES : ENOENT);
}

std::expected<RelayCommand, StartError> relay_command(const std::string& dir, char* const* argv) {
  auto git = find_on_path(dir, argv[0]);
  if (!git) return std::unexpected(StartError{git.error(), {}});
  // env(1) would search PATH for a bare name, and takes any word with '='
  // before the command for a variable.
  if (git->find('/') == std::string::npos) git->insert(0, "./");
  const auto* const env_tool = std::ranges::find_if(kEnvTools, [](const char* p) { return ::access(p, X_OK) == 0; });
  if (env_tool == std::end(kEnvTools)) return std::unexpected(StartError{ENOENT, kEnvTools[0]});
  if (git->find('=') != std::string::npos) return std::unexpected(StartError{EINVAL, *env_tool});

  RelayCommand command;
  auto& args = command.args_;
  args = {"sh", "-c", kScript, "sh", *env_tool, "-i", "--"};
  // The environment exactly as git would get it from a direct start, but
  // for entries without a name, which env(1) cannot set.
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const char* eq = std::strchr(*entry, '=');
    if (eq != nullptr && eq != *entry) args.emplace_back(*entry);
  }
  args.push_back(*std::move(git));
  for (char* const* arg = argv + 1; *arg != nullptr; ++arg) args.emplace_back(*arg);
  command.argv_.reserve(args.size() + 1);
  for (auto& arg : args) command.argv_.push_back(arg.data());
  command.argv_.push_back(nullptr);
  return command;
}

}  // namespace brackwater::infrastructure
