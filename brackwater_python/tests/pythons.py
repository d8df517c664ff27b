"""The CPythons found here that can load the abi3 module."""

import glob
import os
import shutil
import subprocess
import sys

# Looked for at import, before the fixtures give each test its own HOME;
# pyenv keeps its interpreters under PYENV_ROOT, by default ~/.pyenv.
CANDIDATES = [sys.executable, shutil.which("python3.13"), shutil.which("python3.12"),
              *(py for root in (os.environ.get("PYENV_ROOT"), os.path.expanduser("~/.pyenv")) if root
                for py in glob.glob(os.path.join(root, "versions/3.1[1-9]*/bin/python3")))]


def cpythons(oldest=(3, 11)):
    """One interpreter per version from `oldest` on, as (version, path),
    oldest first; sys.executable stands for its own version."""
    found = {}
    for exe in filter(None, CANDIDATES):
        out = subprocess.run([exe, "-c", "import sys; print(*sys.version_info[:2])"],
                             capture_output=True, text=True)
        if out.returncode == 0:
            version = tuple(map(int, out.stdout.split()))
            if version >= oldest:
                found.setdefault(version, exe)
    return sorted(found.items())
