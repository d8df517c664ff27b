// Preloaded into a test program (LD_PRELOAD), this makes the kernel and the
// host look like the ones users run, whatever this machine has:
//
//   OLD_KERNEL_REFUSES  a comma-separated list of what the kernel refuses,
//                       as kernels before the call existed do:
//                       pidfd_open (ENOSYS, before 5.3), pidfd_info (the
//                       PIDFD_GET_INFO ioctl: ENOTTY, before 6.15),
//                       close_range (ENOSYS, before 5.9), and clone_pidfd
//                       (clone asked for a pidfd: EPERM, as a container's
//                       filter may answer where it lets pidfd_open through)
//   REAP_EVERY_CHILD    when set, a SIGCHLD handler in C reaps every child
//                       of the process with waitpid(-1, WNOHANG), as some
//                       host programs do
//
// The refusals are a seccomp filter, so they hold for every caller of the
// system call, and for the children, as on such a kernel.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

#if defined(__x86_64__)
constexpr uint32_t kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr uint32_t kArch = AUDIT_ARCH_AARCH64;
#else
#error "no seccomp architecture for this target"
#endif

// PIDFD_GET_INFO whatever the size of the structure it is given, which has
// grown from kernel to kernel.
constexpr uint32_t kPidfdGetInfo = _IOC(_IOC_READ | _IOC_WRITE, 0xFF, 11, 0);
constexpr uint32_t kIoctlSizeBits = _IOC_SIZEMASK << _IOC_SIZESHIFT;

bool listed(const char* list, const char* word) {
  const size_t n = std::strlen(word);
  for (const char* p = list; (p = std::strstr(p, word)) != nullptr; p += n) {
    if ((p == list || p[-1] == ',') && (p[n] == '\0' || p[n] == ',')) return true;
  }
  return false;
}

sock_filter stmt(uint16_t code, uint32_t k) { return BPF_STMT(code, k); }
sock_filter jump(uint16_t code, uint32_t k, uint8_t jt, uint8_t jf) { return BPF_JUMP(code, k, jt, jf); }

void refuse(const char* list) {
  std::vector<sock_filter> f{
      stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      jump(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
      stmt(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
  };
  const auto refuse_call = [&](long nr, int err) {
    f.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(nr), 0, 1));
    f.push_back(stmt(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<uint32_t>(err)));
  };
  if (listed(list, "pidfd_open")) refuse_call(SYS_pidfd_open, ENOSYS);
  if (listed(list, "close_range")) refuse_call(SYS_close_range, ENOSYS);
  if (listed(list, "clone_pidfd")) {
    // clone(CLONE_PIDFD | ...): the flags are the first argument. Settled
    // here either way, so nothing after it needs the call's number again.
    f.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone, 0, 4));
    f.push_back(stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])));
    f.push_back(jump(BPF_JMP | BPF_JSET | BPF_K, CLONE_PIDFD, 0, 1));
    f.push_back(stmt(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM));
    f.push_back(stmt(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  }
  if (listed(list, "pidfd_info")) {
    // ioctl(fd, PIDFD_GET_INFO, ...): the request is the second argument.
    // Last, since it leaves the request, not the call's number, loaded.
    f.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_ioctl, 0, 4));
    f.push_back(stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[1])));
    f.push_back(stmt(BPF_ALU | BPF_AND | BPF_K, ~kIoctlSizeBits));
    f.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, kPidfdGetInfo, 0, 1));
    f.push_back(stmt(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOTTY));
  }
  f.push_back(stmt(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  const sock_fprog program{static_cast<unsigned short>(f.size()), f.data()};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    std::abort();
  }
}

void reap_every_child(int) {
  const int saved = errno;
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
  errno = saved;
}

[[gnu::constructor]] void set_up() {
  if (const char* list = std::getenv("OLD_KERNEL_REFUSES"); list != nullptr && *list != '\0') refuse(list);
  if (std::getenv("REAP_EVERY_CHILD") != nullptr) {
    struct sigaction reaper{};
    reaper.sa_handler = reap_every_child;
    reaper.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigemptyset(&reaper.sa_mask);
    sigaction(SIGCHLD, &reaper, nullptr);
  }
}

}  // namespace
