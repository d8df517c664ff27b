"""A C++ exception inside an entry from the interpreter becomes a Python
exception instead of aborting the process."""

import os
import subprocess
import sys
import textwrap

import pytest

# In a child: a binding holding a 64 MiB text, then an address-space limit
# 32 MiB above what the process maps, so that copying the text in C++ fails
# while the interpreter's own small allocations still succeed.
CHILD = textwrap.dedent("""
    import resource, sys, _tidemark as t
    big = "x" * (64 << 20)
    b = t.WorktreeBinding(big, "/w", "b", "/s", "", "/m")
    with open("/proc/self/status") as f:
        vm = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (vm + (32 << 20), resource.RLIM_INFINITY))
    entry = {"constructor": lambda: t.WorktreeBinding(big, "/w", "b", "/s", "", "/m"),
             "repr": lambda: repr(b)}[sys.argv[1]]
    try:
        entry()
    except MemoryError:
        print("MemoryError")
""")


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's allocator aborts on an exhausted address space")
@pytest.mark.parametrize("entry", ["constructor", "repr"])
def test_exhausted_memory_is_a_memory_error(entry):
    out = subprocess.run([sys.executable, "-c", CHILD, entry], capture_output=True, text=True, timeout=60)
    assert (out.returncode, out.stdout.strip()) == (0, "MemoryError"), out.stderr[-2000:]
