// State shared by every thread of the process behind one mutex, still usable
// in a child forked while another thread held that mutex: the child has no
// such thread to unlock it, so it starts over with a fresh mutex and a fresh
// state (the copied state may be half changed). Both live on the heap so the
// child can drop the copies without touching them. For objects that live as
// long as the process: one is never destroyed.
#pragma once

#include <mutex>
#include <utility>

namespace brackwater::support {

// Has `remake(context)` run in the child after every fork.
void on_fork_child(void (*remake)(void*) noexcept, void* context);

template <class T>
class ForkSafeShared {
 public:
  ForkSafeShared() { on_fork_child(&ForkSafeShared::remake_in_child, this); }
  ForkSafeShared(const ForkSafeShared&) = delete;
  ForkSafeShared& operator=(const ForkSafeShared&) = delete;

  // `use(state)` under the mutex; what it returns.
  template <class Use>
  decltype(auto) with(Use&& use) {
    std::lock_guard lock(*mutex_);
    return std::forward<Use>(use)(*state_);
  }

 private:
  static void remake_in_child(void* self) noexcept {
    auto& shared = *static_cast<ForkSafeShared*>(self);
    if (shared.mutex_->try_lock()) {  // free at the fork: everything copied is sound
      shared.mutex_->unlock();
      return;
    }
    shared.mutex_ = new std::mutex;
    shared.state_ = new T{};
  }

  std::mutex* mutex_ = new std::mutex;
  T* state_ = new T{};
};

}  // namespace brackwater::support
