// Ends a child of this process together with everything it started, without
// a process group of its own: the child stays in the caller's group, where a
// terminal's Ctrl-C reaches it as it reaches any child of the host program.
//
// The tree is found through the parent links in /proc and stopped from the
// top down before anything is killed: a stopped process cannot fork and
// cannot reap its children, so every pid found below it stays the one that
// was found until it is killed. SIGSTOP takes effect after kill returns, so
// a process is looked under only once /proc shows it stopped. What escapes:
// a descendant whose parent had already exited (it was handed to init or to
// a subreaper before we looked), and one that a parent outside the tree
// took in.
#pragma once

#include <sys/types.h>

namespace brackwater::infrastructure {

// Stops `root` (through `root_pidfd` when it is valid, which no pid reuse can
// misdirect), then each descendant found, then kills them all with SIGKILL.
// `root` must not have been reaped yet. Best effort: failures are ignored.
void kill_process_tree(pid_t root, int root_pidfd) noexcept;

}  // namespace brackwater::infrastructure
