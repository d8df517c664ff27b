"""A walk through _tidemark in a throwaway repository.

Run with the project's virtual environment (`make demo`). Everything is made
under a temporary directory that is removed at the end.
"""

import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import _tidemark as tm

PROJECT_ID = "demo-project"


def section(title):
    print(f"\n== {title}")


def show(label, value):
    print(f"  {label:<34} {value}")


def git(cwd, *args):
    subprocess.run(["git", *args], cwd=cwd, check=True, capture_output=True)


def make_repository(base: Path) -> Path:
    """A fresh repository on branch main whose pyproject.toml names the project."""
    repo = base / "repo"
    repo.mkdir()
    git(repo, "init", "-q", "-b", "main")
    git(repo, "config", "user.name", "Demo")
    git(repo, "config", "user.email", "demo@example.invalid")
    (repo / "pyproject.toml").write_text(
        f'[project]\nname = "demo"\n\n[tool.plowline]\nproject_id = "{PROJECT_ID}"\n',
        encoding="utf-8",
    )
    return repo


def vocabulary():
    section("vocabulary")
    show("names exported", len(tm.__all__))
    show("default project id", tm.LEGACY_PROJECT_ID)
    show("main branches", ", ".join(sorted(tm.MAIN_BRANCHES)))
    show("environment variables", ", ".join(tm.brackwater_env_vars()))


def paths(base: Path):
    section("normalised paths and fingerprints")
    target = base / "data"
    target.mkdir()
    link = base / "link-to-data"
    link.symlink_to(target)
    for raw in (str(target), str(link), f"{link}/not-yet-there", f"{base}/no/such/dir", "   "):
        norm = tm.normalize_path(raw)
        show(repr(raw.replace(str(base), "<tmp>")), f"-> {norm!r}  [{tm.path_fingerprint(raw)}]")
    same = tm.normalize_path(str(link)) == tm.normalize_path(str(target))
    show("link and target normalise equal", same)


def project(repo: Path):
    section("project identity")
    show("repository", repo)
    show("project id", tm.resolve_project_id(str(repo)))
    show("state directory", tm.state_dir(str(repo)))
    show("state directory name", tm.resolve_state_dir_name(PROJECT_ID))
    show("binding store (relative)", tm.store_relative_path(PROJECT_ID))

    # With no argument the repository is the one holding the current directory.
    previous = os.getcwd()
    os.chdir(repo)
    try:
        show("project id from the cwd", tm.resolve_project_id())
        show("store path from the cwd", tm.store_relative_path())
    finally:
        os.chdir(previous)


def errors():
    section("errors")
    try:
        tm.resolve_state_dir_name("Not-Valid")
    except tm.ProjectIdInvalidError as exc:
        show(f"{type(exc).__name__} [{exc.reason_code}]", exc)


def main():
    base = Path(tempfile.mkdtemp(prefix="tidemark-demo-"))
    try:
        vocabulary()
        paths(base)
        project(make_repository(base))
        errors()
    finally:
        shutil.rmtree(base, ignore_errors=True)
    print()


if __name__ == "__main__":
    main()
