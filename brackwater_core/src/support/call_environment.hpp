// The environment the processes of one call inherit, copied once as the call
// starts.
//
// Another thread may change the process environment at any time (Python's
// os.environ does, under the interpreter lock, which a call of ours gives up
// while it waits): reading `environ` then races with the change, and may
// read freed memory. So the runtime copies it while it still holds that lock,
// and nothing that runs after reads `environ` again. The copy keeps every
// entry as it stands, in order: a name given twice twice (the first is the
// one getenv(3) finds), an entry without a name or without '=' too.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brackwater::support {

class EnvironmentCopy {
 public:
  // The process environment as it is now; the caller makes sure that no
  // other thread changes it meanwhile.
  [[nodiscard]] static EnvironmentCopy of_process();
  // The current call's copy (CallEnvironment), else of_process().
  [[nodiscard]] static EnvironmentCopy of_call();

  [[nodiscard]] size_t size() const noexcept { return starts_.size(); }
  [[nodiscard]] size_t bytes() const noexcept { return text_.size(); }
  [[nodiscard]] std::string_view entry(size_t i) const noexcept { return text_.data() + starts_[i]; }
  // Pointers to the entries followed by a null pointer, as execve takes
  // them; they live as long as this copy and `out` is unchanged.
  void entries(std::vector<char*>& out);
  // The value of the first entry named `name`, as getenv(3) finds it.
  [[nodiscard]] std::optional<std::string_view> first(std::string_view name) const noexcept;

 private:
  std::string text_;
  std::vector<size_t> starts_;
};

// The copy for the calling thread's current call: made at construction and
// seen by environment_of_call() on this thread until destruction, which puts
// back an outer call's. Also what the call learnt about its children on the
// way (see git_adapter.cpp).
class CallEnvironment {
 public:
  CallEnvironment();
  ~CallEnvironment();
  CallEnvironment(const CallEnvironment&) = delete;
  CallEnvironment& operator=(const CallEnvironment&) = delete;

  [[nodiscard]] EnvironmentCopy& environment() noexcept { return environment_; }
  [[nodiscard]] const EnvironmentCopy& environment() const noexcept { return environment_; }
  // Set once a child's exit status was taken by someone else during the
  // call: the rest of the call starts its children the way that cannot
  // lose it.
  bool status_lost = false;

  // The calling thread's current one, or nullptr outside any.
  [[nodiscard]] static CallEnvironment* current() noexcept;
  // The current one, or, outside any, `own` made now: a call of the core
  // made from C++ that starts several children is one call too.
  static CallEnvironment& current_or(std::optional<CallEnvironment>& own);

 private:
  EnvironmentCopy environment_;
  CallEnvironment* outer_;
};

}  // namespace brackwater::support
