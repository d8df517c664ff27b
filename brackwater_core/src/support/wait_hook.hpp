// What a wait of the core asks when a signal may want it to end: whether to
// go on.
//
// A signal handler installed without SA_RESTART (the Python interpreter
// installs its own that way) makes a blocking call (flock, poll) return
// EINTR. The waits retry then, unless the process's hook says stop: that is
// how an embedding runtime lets a signal end a wait (Ctrl-C in Python) while
// others are simply retried. A signal can also come before the wait starts,
// or reach another thread, interrupting nothing: so a lock wait asks before
// it blocks (and in slices where signals may land elsewhere), and the git
// wait asks every tenth of a second. A stop sticks to the thread until the runtime
// clears it, so the operation that was told to stop starts no further wait
// (another lock, another git) on its way out, and writes nothing under them.
#pragma once

namespace brackwater::support {

// Asked by a wait, on the waiting thread: true to go on,
// false to stop. Not noexcept: a hook that reaches into its runtime may end
// the thread with a forced unwind (pthread_exit), which must pass through
// every frame of the wait.
using WaitHook = bool (*)();

// Asked by a lock wait on the waiting thread before it blocks: whether a
// signal meant to end it may be delivered to another thread of the process,
// where it interrupts nothing of this wait. Such a wait blocks in slices
// instead and asks the hook between them, at least every tenth of a second.
using ElsewhereHook = bool (*)();

// Installs `hook` for every wait of the process (nullptr: always go on, the
// default), and `elsewhere` (nullptr: never). Meant to be set once, before
// any wait.
void set_wait_hook(WaitHook hook, ElsewhereHook elsewhere = nullptr) noexcept;

// Asks `elsewhere`.
[[nodiscard]] bool signals_may_land_elsewhere();

// Asks the hook, unless this thread was told to stop already. False from
// here on until `exchange_wait_stopped(false)`.
[[nodiscard]] bool may_go_on();

// Whether a wait on this thread was told to stop; waits check it before
// they start.
[[nodiscard]] bool wait_stopped() noexcept;

// Sets this thread's stop mark and returns the previous one: the runtime
// clears it at the start of each operation and puts the outer one back at
// its end.
bool exchange_wait_stopped(bool stopped) noexcept;

}  // namespace brackwater::support
