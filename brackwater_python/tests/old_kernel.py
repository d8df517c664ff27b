"""A library preloaded into a host program that makes this machine look like
the older kernels users run (no pidfds, no PIDFD_GET_INFO, no close_range),
and the host one that reaps every child itself, in C (see its source)."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parents[2] / "brackwater_core" / "tests" / "preload" / "old_kernel.cpp"


# Run inside a host program: prints which of the calls the library refuses
# were refused, so that a test knows it took the older kernel's path.
REFUSED = """
import ctypes, errno
libc = ctypes.CDLL(None, use_errno=True)
def fails(result, err):
    return result == -1 and ctypes.get_errno() == err
print(sorted(name for name, refused in {
    "pidfd_open": fails(libc.syscall(434, os.getpid(), 0), errno.ENOSYS),
    "close_range": fails(libc.syscall(436, 1 << 20, (1 << 20) + 1, 0), errno.ENOSYS),
    "pidfd_info": fails(libc.ioctl(-1, ctypes.c_ulong(0xC050FF0B), 0), errno.ENOTTY),
}.items() if refused))
"""


@pytest.fixture(scope="session")
def old_kernel(tmp_path_factory):
    """env(refuses, reap=False): os.environ for a host program whose kernel
    refuses the calls named in `refuses` ("pidfd_open", "pidfd_info",
    "close_range") and, with `reap`, whose SIGCHLD handler reaps every child."""
    compiler = shutil.which("g++")
    if compiler is None:
        pytest.skip("g++ is needed to build the preloaded library")
    lib = tmp_path_factory.mktemp("preload") / "old_kernel.so"
    subprocess.run([compiler, "-std=c++23", "-O1", "-shared", "-fPIC", "-o", str(lib), str(SOURCE)], check=True)

    def env(refuses=(), reap=False, base=None):
        base = dict(os.environ if base is None else base)
        # After what is preloaded already (the sanitizers' runtimes come first).
        base["LD_PRELOAD"] = ":".join(filter(None, [base.get("LD_PRELOAD"), str(lib)]))
        base["ASAN_OPTIONS"] = ":".join(filter(None, [base.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
        base["OLD_KERNEL_REFUSES"] = ",".join(refuses)
        if reap:
            base["REAP_EVERY_CHILD"] = "1"
        return base
    return env
