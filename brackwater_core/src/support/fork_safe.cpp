#include "support/fork_safe.hpp"

#include <pthread.h>

#include <atomic>

namespace brackwater::support {
namespace {

struct Hook {
  void (*remake)(void*) noexcept;
  void* context;
  Hook* next;
};

// Pushed without a lock, so the child's handler never waits on one.
std::atomic<Hook*> g_hooks{nullptr};

void run_hooks() noexcept {
  for (Hook* hook = g_hooks.load(std::memory_order_acquire); hook != nullptr; hook = hook->next) {
    hook->remake(hook->context);
  }
}

}  // namespace

void on_fork_child(void (*remake)(void*) noexcept, void* context) {
  // Fails only for want of memory; forks then go unhandled.
  static const bool installed = ::pthread_atfork(nullptr, nullptr, run_hooks) == 0;
  (void)installed;
  auto* hook = new Hook{remake, context, g_hooks.load(std::memory_order_relaxed)};
  while (!g_hooks.compare_exchange_weak(hook->next, hook, std::memory_order_release, std::memory_order_relaxed)) {
  }
}

}  // namespace brackwater::support
