"""Shared fixtures: an isolated environment and real git repositories."""

import os
import subprocess
from pathlib import Path

import pytest

# Variables the module reads besides the TESSARY_* family.
_OTHER_VARS = ("CI", "GITHUB_ACTIONS", "PLOWLINE_SHARED_DIR", "USERPROFILE")


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: takes seconds (waits out a time limit, or repeats a call many times); runs first")


def pytest_collection_modifyitems(items):
    """Tests that take seconds go first, so that in a parallel run
    (pytest-xdist) the other processes work through the rest meanwhile
    instead of waiting for them at the end."""
    items.sort(key=lambda item: item.get_closest_marker("slow") is None)


@pytest.fixture(autouse=True)
def isolated_env(monkeypatch, tmp_path):
    """A private HOME and none of the variables that steer the module.

    Git is kept from finding a repository above the test's directory, so
    "outside any repository" holds wherever the temporary directory lives
    (make puts it in the checkout's build/). The ceiling is the directory's
    parent: git looks on past a ceiling that is the directory it starts in.
    """
    home = tmp_path / "home"
    home.mkdir()
    monkeypatch.setenv("HOME", str(home))
    for name in list(os.environ):
        if name.startswith("TESSARY_") or name in _OTHER_VARS:
            monkeypatch.delenv(name)
    monkeypatch.setenv("GIT_CEILING_DIRECTORIES", os.path.realpath(tmp_path.parent))
    monkeypatch.setenv("GIT_CONFIG_NOSYSTEM", "1")
    return home


def git(cwd, *args):
    return subprocess.run(
        ["git", *args], cwd=cwd, check=True, capture_output=True, text=True
    ).stdout.strip()


def make_repo(path: Path, pyproject: str | bytes | None = None) -> Path:
    """A real repository at `path` (created), on branch main, with a local
    identity; `pyproject` becomes its pyproject.toml when given."""
    path.mkdir(parents=True, exist_ok=True)
    git(path, "init", "-q", "-b", "main")
    git(path, "config", "user.name", "Test User")
    git(path, "config", "user.email", "test@example.invalid")
    if pyproject is not None:
        target = path / "pyproject.toml"
        if isinstance(pyproject, bytes):
            target.write_bytes(pyproject)
        else:
            target.write_text(pyproject, encoding="utf-8")
    return path


@pytest.fixture
def real_tmp(tmp_path):
    """tmp_path with every symbolic link resolved."""
    return Path(os.path.realpath(tmp_path))


@pytest.fixture
def repo(real_tmp):
    """A fresh repository without pyproject.toml, under a unique directory."""
    return make_repo(real_tmp / "repo")


@pytest.fixture
def outside(real_tmp):
    """A directory that belongs to no repository."""
    d = real_tmp / "outside"
    d.mkdir()
    return d


@pytest.fixture
def chdir(monkeypatch):
    """chdir(path): change the current directory for the rest of the test."""
    return monkeypatch.chdir
