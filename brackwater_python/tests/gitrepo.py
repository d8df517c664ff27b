"""Repositories with history and worktrees, and a git wrapper for PATH."""

import shutil
from pathlib import Path

from conftest import git, make_repo


def committed_repo(path: Path, pyproject: str | None = None) -> Path:
    """make_repo plus one commit, so that worktrees can be added."""
    make_repo(path, pyproject)
    git(path, "add", "-A")
    git(path, "commit", "-q", "--allow-empty", "-m", "initial")
    return path


def add_worktree(repo: Path, path: Path, branch: str | None = None) -> Path:
    """A linked worktree at `path` on a new `branch`, or detached when None."""
    if branch is None:
        git(repo, "worktree", "add", "-q", "--detach", str(path))
    else:
        git(repo, "worktree", "add", "-q", "-b", branch, str(path))
    return path


def slow_git(bindir: Path, delay: float) -> Path:
    """Writes `bindir/git`, which sleeps `delay` seconds and then becomes
    the real git, and returns `bindir` for the front of PATH."""
    real = shutil.which("git")
    assert real, "git is needed for these tests"
    bindir.mkdir(parents=True, exist_ok=True)
    script = bindir / "git"
    script.write_text(f'#!/bin/sh\nsleep {delay}\nexec "{real}" "$@"\n')
    script.chmod(0o755)
    return bindir
