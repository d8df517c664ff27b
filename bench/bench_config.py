"""Worktree bases and the GitHub policy per call, against the plain-Python way:
the same rules written in Python over os.path, PyYAML's safe_load and tomllib,
with the same snapshot of os.environ taken per call (dict(os.environ); the
column "no snapshot" reads os.environ directly instead). Outside CI, and
under CI with a config/worktree.yaml of ten overrides (the last applies)."""

import os
import shutil
import subprocess
import tempfile
import tomllib

import yaml

import _tidemark as tm

from _timing import fmt_ns, header, per_call_ns

# ---- the plain-Python way ------------------------------------------------------

_PROJECT_IDS = {}  # the module caches project ids per root too


def py_normalize(p):
    if not p.strip():
        return ""
    if os.path.exists(p):
        return os.path.realpath(p)
    parent, name = os.path.split(p.rstrip("/"))
    if name not in ("", ".", "..") and parent and os.path.exists(parent):
        return os.path.join(os.path.realpath(parent), name)
    return p


def py_project_id(root):
    if root not in _PROJECT_IDS:
        try:
            with open(os.path.join(root, "pyproject.toml"), "rb") as f:
                doc = tomllib.load(f)
        except FileNotFoundError:
            doc = {}
        _PROJECT_IDS[root] = doc.get("tool", {}).get("plowline", {}).get("project_id") or "tessary"
    return _PROJECT_IDS[root]


def py_under_ci(env):
    return bool(env.get("CI") or env.get("GITHUB_ACTIONS"))


def py_home_base(project, home):
    home = home if home is not None else (os.environ.get("HOME") or ".")
    return py_normalize(os.path.join(os.path.expanduser(home), ".plowline", "worktrees", project))


def py_override(root, env):
    try:
        with open(os.path.join(root, "config", "worktree.yaml"), encoding="utf-8") as f:
            config = yaml.safe_load(f)
    except FileNotFoundError:
        return None
    section = config.get("worktree") if isinstance(config, dict) else None
    overrides = section.get("overrides") if isinstance(section, dict) else None
    for entry in overrides if isinstance(overrides, list) else ():
        detection = entry.get("detection") if isinstance(entry, dict) else None
        names = detection.get("env_vars_any") if isinstance(detection, dict) else None
        if isinstance(names, list) and not any(isinstance(n, str) and env.get(n) for n in names):
            continue
        base = entry.get("base") if isinstance(entry, dict) else None
        if isinstance(base, str) and base:
            joined = os.path.join(root, base)
            return os.path.realpath(joined) if os.path.exists(joined) else joined
    return None


SNAPSHOT = [True]


def py_env():
    return dict(os.environ) if SNAPSHOT[0] else os.environ


def py_resolve_worktree_base(explicit_base=None, repo_root=None, home=None, env=None):
    env = py_env() if env is None else env
    if explicit_base:
        return py_normalize(explicit_base)
    if py_under_ci(env) and env.get("TESSARY_WORKTREE_BASE"):
        return py_normalize(env["TESSARY_WORKTREE_BASE"])
    root = py_normalize(repo_root or env.get("TESSARY_REPO_ROOT") or "")
    project = py_project_id(root) if root else "tessary"
    if root and py_under_ci(env):
        chosen = py_override(root, env)
        if chosen:
            return py_normalize(chosen)
    return py_home_base(project, home)


def py_resolve_worktree_dir(name, explicit_base=None, repo_root=None, home=None):
    return os.path.join(py_resolve_worktree_base(explicit_base, repo_root, home, py_env()), name)


def py_legacy(root, project):
    names = (f"{project}-worktrees", "tessary-worktrees")
    parent = os.path.dirname(root)
    out = [root] if os.path.basename(root) in names else []
    if os.path.basename(parent) in names:
        out.append(parent)
        container = os.path.dirname(parent) if os.path.basename(root) not in names else parent
    else:
        container = parent
    out += [os.path.join(container, n) for n in names if os.path.exists(os.path.join(container, n))]
    return [py_normalize(p) for p in out]


def py_resolve_known_worktree_bases(repo_root=None, home=None):
    env = py_env()
    root = py_normalize(repo_root or env.get("TESSARY_REPO_ROOT") or "")
    project = py_project_id(root) if root else "tessary"
    bases = [py_home_base(project, home), py_resolve_worktree_base(None, root or None, home, env)]
    if env.get("TESSARY_WORKTREE_BASE"):
        bases.append(py_normalize(env["TESSARY_WORKTREE_BASE"]))
    if root and os.path.exists(os.path.join(root, ".plowline", "worktrees")):
        bases.append(py_normalize(os.path.join(root, ".plowline", "worktrees")))
    if root:
        bases += py_legacy(root, project)
    return tuple(dict.fromkeys(b for b in bases if b))


_FALLBACK = {
    "pr_title_prefixes": ("feat", "fix", "chore", "docs", "refactor", "test", "perf", "build", "ci"),
    "main_branches": ("main", "master"),
    "required_sections_issue": ("Goal", "Background", "Scope", "Acceptance Criteria"),
    "required_sections_pr": ("Summary", "Linked Issues", "Test Plan", "Breaking Changes"),
    "pr_title_issue_suffix_required": True,
}


def _strings(value):
    items = tuple(v for v in value if isinstance(v, str)) if isinstance(value, list) else ()
    return items or None


def py_resolve_github_policy(project_root=None):
    policy = dict(_FALLBACK)
    root = project_root or os.environ.get("TESSARY_REPO_ROOT")
    if not root:
        return policy
    try:
        with open(os.path.join(py_normalize(root), "pyproject.toml"), "rb") as f:
            doc = tomllib.load(f)
    except (OSError, UnicodeDecodeError, tomllib.TOMLDecodeError):
        return policy
    table = doc.get("tool", {}).get("plowline", {}).get("github_policy")
    if not isinstance(table, dict):
        return policy
    for key in ("pr_title_prefixes", "main_branches"):
        policy[key] = _strings(table.get(key)) or policy[key]
    if isinstance(table.get("pr_title_issue_suffix_required"), bool):
        policy["pr_title_issue_suffix_required"] = table["pr_title_issue_suffix_required"]
    sections = table.get("required_sections")
    if isinstance(sections, dict):
        policy["required_sections_issue"] = _strings(sections.get("issue")) or policy["required_sections_issue"]
        policy["required_sections_pr"] = _strings(sections.get("pr")) or policy["required_sections_pr"]
    policy["main_branches"] = frozenset(policy["main_branches"])
    return policy


# ---- the comparison ------------------------------------------------------------

PYPROJECT = """[project]
name = "bench"

[tool.plowline]
project_id = "bench"

[tool.plowline.github_policy]
main_branches = ["main", "release"]
pr_title_prefixes = ["feat", "fix", "docs"]
pr_title_issue_suffix_required = false

[tool.plowline.github_policy.required_sections]
issue = ["Goal", "Scope"]
"""

TEN_OVERRIDES = "# Where CI runners keep their worktrees.\nworktree:\n  overrides:\n" + "".join(
    f"    - detection:\n        env_vars_any: [RUNNER_KIND_{i}, RUNNER_FLAVOUR_{i}]\n"
    f"      base: runners/kind-{i}\n" for i in range(9)
) + "    - base: ci-trees\n"


def setup(base):
    root = f"{base}/bench"
    os.makedirs(f"{root}/config")
    os.makedirs(f"{root}/ci-trees")
    os.makedirs(f"{root}/.plowline/worktrees")
    os.makedirs(f"{base}/bench-worktrees")
    subprocess.run(["git", "init", "-q", "-b", "main", root], check=True)
    with open(f"{root}/pyproject.toml", "w", encoding="utf-8") as f:
        f.write(PYPROJECT)
    with open(f"{root}/config/worktree.yaml", "w", encoding="utf-8") as f:
        f.write(TEN_OVERRIDES)
    return root


def compare(rows, both=False):
    extra = f"{'no snapshot':>13}{'speed-up':>10}" if both else ""
    print(f"  {'call':<44}{'_tidemark':>13}{'python':>13}{'speed-up':>10}{extra}")
    for name, ours, theirs, args in rows:
        assert ours(*args) == theirs(*args) or name.startswith("resolve_github_policy"), name
        a, b = per_call_ns(ours, *args), per_call_ns(theirs, *args)
        line = f"  {name:<44}{fmt_ns(a):>13}{fmt_ns(b):>13}{b / a:>9.1f}x"
        if both:
            SNAPSHOT[0] = False
            c = per_call_ns(theirs, *args)
            SNAPSHOT[0] = True
            line += f"{fmt_ns(c):>13}{c / a:>9.1f}x"
        print(line)


def policy_attrs(project_root):
    p = tm.resolve_github_policy(project_root)
    return (p.pr_title_prefixes, p.main_branches, p.pr_title_issue_suffix_required,
            p.required_sections_issue, p.required_sections_pr)


def main():
    base = os.path.realpath(tempfile.mkdtemp(prefix="bench-config-"))
    saved = {k: os.environ.pop(k) for k in ("CI", "GITHUB_ACTIONS", "TESSARY_WORKTREE_BASE") if k in os.environ}
    try:
        root = setup(base)
        home = f"{base}/home"
        rows = [
            ("resolve_worktree_base(repo_root, home)", tm.resolve_worktree_base, py_resolve_worktree_base,
             (None, root, home)),
            ("resolve_worktree_dir(name, repo_root, home)", tm.resolve_worktree_dir, py_resolve_worktree_dir,
             ("wt-1", None, root, home)),
            ("resolve_known_worktree_bases(repo_root, home)", tm.resolve_known_worktree_bases,
             py_resolve_known_worktree_bases, (root, home)),
        ]
        header("outside CI (per call)")
        compare(rows, both=True)
        os.environ["CI"] = "1"
        header("under CI, config/worktree.yaml with ten overrides (per call)")
        assert tm.resolve_worktree_base(None, root, home) == f"{root}/ci-trees"
        compare(rows, both=True)
        del os.environ["CI"]
        header("GitHub policy from pyproject.toml (per call)")
        assert tm.resolve_main_branches(root) == py_resolve_github_policy(root)["main_branches"]
        compare([("resolve_github_policy(root) + attributes", policy_attrs, py_resolve_github_policy, (root,)),
                 ("resolve_main_branches(root)", tm.resolve_main_branches,
                  lambda r: py_resolve_github_policy(r)["main_branches"], (root,))])
    finally:
        os.environ.pop("CI", None)
        os.environ.update(saved)
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
