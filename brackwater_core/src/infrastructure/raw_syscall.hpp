// System calls made without the C library, for code that runs in a child
// sharing this process's memory (git_start.cpp): the library's wrappers
// write errno, which there is the errno of a thread of ours, still running.
// Each returns the kernel's answer: the result, or -errno.
#pragma once

#include <sys/syscall.h>

namespace brackwater::infrastructure::raw {

// The child's stack as clone below leaves it: fn on top, then arg, popped
// by the child before it calls fn; 16-byte aligned when `stack_top` is.
[[gnu::always_inline]] inline void** child_stack(void* stack_top, int (*fn)(void*), void* arg) noexcept {
  void** sp = static_cast<void**>(stack_top);
  *--sp = arg;
  *--sp = reinterpret_cast<void*>(fn);
  return sp;
}

#if defined(__x86_64__)

[[gnu::always_inline]] inline long call(long nr, long a = 0, long b = 0, long c = 0, long d = 0) noexcept {
  long ret;
  register long r10 asm("r10") = d;
  asm volatile("syscall" : "=a"(ret) : "a"(nr), "D"(a), "S"(b), "d"(c), "r"(r10) : "rcx", "r11", "memory");
  return ret;
}

// clone(2) with the child on `stack_top` (16-byte aligned), where it runs
// fn(arg) and exits with its result; in the parent, the child's pid. The
// kernel writes the pidfd to `parent_tid` with CLONE_PIDFD.
// NOLINTNEXTLINE(readability-non-const-parameter)
[[gnu::always_inline]] inline long clone(unsigned long flags, void* stack_top, int* parent_tid, int (*fn)(void*),
                                         void* arg) noexcept {
  void** sp = child_stack(stack_top, fn, arg);
  long ret;
  register long r10 asm("r10") = 0;  // child_tid
  register long r8 asm("r8") = 0;    // tls
  asm volatile(
      "syscall\n\t"
      "testq %%rax, %%rax\n\t"
      "jnz 1f\n\t"
      "xorl %%ebp, %%ebp\n\t"
      "popq %%rax\n\t"
      "popq %%rdi\n\t"
      "call *%%rax\n\t"
      "movq %%rax, %%rdi\n\t"
      "movl %[exit], %%eax\n\t"
      "syscall\n\t"
      "hlt\n"
      "1:"
      : "=a"(ret)
      : "a"(SYS_clone), "D"(flags), "S"(sp), "d"(parent_tid), "r"(r10), "r"(r8), [exit] "i"(SYS_exit)
      : "rcx", "r11", "memory");
  return ret;
}

#elif defined(__aarch64__)

[[gnu::always_inline]] inline long call(long nr, long a = 0, long b = 0, long c = 0, long d = 0) noexcept {
  register long x8 asm("x8") = nr;
  register long x0 asm("x0") = a;
  register long x1 asm("x1") = b;
  register long x2 asm("x2") = c;
  register long x3 asm("x3") = d;
  asm volatile("svc #0" : "+r"(x0) : "r"(x8), "r"(x1), "r"(x2), "r"(x3) : "memory");
  return x0;
}

// NOLINTNEXTLINE(readability-non-const-parameter)
[[gnu::always_inline]] inline long clone(unsigned long flags, void* stack_top, int* parent_tid, int (*fn)(void*),
                                         void* arg) noexcept {
  void** sp = child_stack(stack_top, fn, arg);
  register long x8 asm("x8") = SYS_clone;
  register long x0 asm("x0") = static_cast<long>(flags);
  register long x1 asm("x1") = reinterpret_cast<long>(sp);
  register long x2 asm("x2") = reinterpret_cast<long>(parent_tid);
  register long x3 asm("x3") = 0;  // tls
  register long x4 asm("x4") = 0;  // child_tid
  asm volatile(
      "svc #0\n\t"
      "cbnz x0, 1f\n\t"
      "mov x29, xzr\n\t"
      "ldp x1, x0, [sp], #16\n\t"
      "blr x1\n\t"
      "mov x8, %[exit]\n\t"
      "svc #0\n"
      "1:"
      : "+r"(x0)
      : "r"(x8), "r"(x1), "r"(x2), "r"(x3), "r"(x4), [exit] "i"(SYS_exit)
      : "x30", "memory");
  return x0;
}

#else
#error "no raw system calls for this target"
#endif

}  // namespace brackwater::infrastructure::raw
