#include "support/wait_hook.hpp"

#include <atomic>
#include <utility>

namespace brackwater::support {
namespace {

std::atomic<WaitHook> wait_hook{nullptr};
std::atomic<ElsewhereHook> elsewhere_hook{nullptr};
thread_local bool stopped_here = false;

}  // namespace

void set_wait_hook(WaitHook hook, ElsewhereHook elsewhere) noexcept {
  wait_hook.store(hook, std::memory_order_release);
  elsewhere_hook.store(elsewhere, std::memory_order_release);
}

bool signals_may_land_elsewhere() {
  const ElsewhereHook elsewhere = elsewhere_hook.load(std::memory_order_acquire);
  return elsewhere != nullptr && elsewhere();
}

bool may_go_on() {
  if (stopped_here) return false;
  const WaitHook hook = wait_hook.load(std::memory_order_acquire);
  if (hook == nullptr || hook()) return true;
  stopped_here = true;
  return false;
}

bool wait_stopped() noexcept { return stopped_here; }

bool exchange_wait_stopped(bool stopped) noexcept { return std::exchange(stopped_here, stopped); }

}  // namespace brackwater::support
