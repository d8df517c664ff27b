"""A walk through _tidemark in a throwaway repository.

Run with the project's virtual environment (`make demo`). Everything is made
under a temporary directory that is removed at the end.
"""

import json
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import _tidemark as tm

PROJECT_ID = "demo-project"

# The variables whose values change what the module answers, as the README's
# table lists them. TESSARY_STATE_DIR and UV_PROJECT, which BRACKWATER_ENV_VARS
# also names, are only ever written (by set_tessary_project_root_for_worktree);
# TESSARY_WORKTREE and TESSARY_BRANCH are read only from the env map given to
# the validation functions.
ANSWER_CHANGING_ENV = (
    "TESSARY_REPO_ROOT", "TESSARY_PROJECT_ROOT", "PLOWLINE_SHARED_DIR", "TESSARY_SHARED_DIR",
    "CI", "GITHUB_ACTIONS", "TESSARY_WORKTREE_BASE", "HOME", "USERPROFILE", "PATH",
)


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
    show("environment that changes answers", ", ".join(ANSWER_CHANGING_ENV))
    show("read only from a given env map", ", ".join(tm.worktree_identity_env_vars()))


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


def add_worktree(repo: Path, base: Path) -> Path:
    """A first commit on main, then a linked worktree on a new branch."""
    git(repo, "add", "pyproject.toml")
    git(repo, "commit", "-q", "-m", "init")
    worktree = base / "feature-wt"
    git(repo, "worktree", "add", "-q", "-b", "feature", str(worktree))
    return worktree


def result_line(result):
    return f"ok={result.ok} {result.reason_code}: {result.message}"


def bindings(repo: Path, worktree: Path):
    section("bindings: the main road")
    binding = tm.register_binding(session_id="session-1", worktree=worktree, branch="feature",
                                  main_worktree=repo)
    show("registered", binding)
    show("  worktree", binding.worktree)
    show("  main worktree (store root)", binding.main_worktree)
    show("  state path", binding.state_path)
    store = tm.WorktreeBindingStore(main_worktree=worktree)
    show("store file", store.path)

    show("validated from the worktree", result_line(tm.validate_binding(binding, cwd=str(worktree))))
    show("validated from the main worktree", result_line(tm.validate_binding(binding, cwd=str(repo))))
    env = {"TESSARY_WORKTREE": str(worktree), "TESSARY_BRANCH": "main"}
    show("validated with a wrong branch env", result_line(tm.validate_binding(binding, env=env)))
    current = tm.validate_current_binding(main_worktree=repo, session_id="session-1", cwd=worktree, check_git=True)
    show("current binding of session-1", result_line(current))

    try:
        tm.register_binding(session_id="session-2", worktree=worktree, branch="main", main_worktree=repo)
    except ValueError as exc:
        show("registering on the wrong branch", exc)

    tm.register_binding(session_id="session-2", worktree=worktree, branch="feature", main_worktree=repo)
    show("listed", [b.session_id for b in tm.list_bindings(repo)])
    show("removed", tm.remove_binding("session-2", repo))
    show("listed after removal", [b.session_id for b in store.list()])


def recovery(repo: Path, worktree: Path):
    section("recovering a lost binding from session metadata")
    session_dir = repo / f".{PROJECT_ID}" / "state" / "plowline" / "sessions" / "session-3"
    session_dir.mkdir(parents=True)
    (session_dir / "metadata.json").write_text(
        json.dumps({"worktree_path": str(worktree), "branch": "feature", "source_ref": "main"}), encoding="utf-8")
    show("before recovery", tm.load_binding("session-3", repo))
    recovered = tm.recover_binding("session-3", repo)
    show("recovered", f"{recovered} commit_ish={recovered.commit_ish!r}")
    show("in the store now", tm.load_binding("session-3", repo))


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
        repo = make_repository(base)
        project(repo)
        worktree = add_worktree(repo, base)
        bindings(repo, worktree)
        recovery(repo, worktree)
        errors()
    finally:
        shutil.rmtree(base, ignore_errors=True)
    print()


if __name__ == "__main__":
    main()
