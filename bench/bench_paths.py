"""normalize_path and path_fingerprint per call, against the plain-Python way
(os.path.realpath; sha1 of it), and resolve_project_id on a cache hit."""

import hashlib
import os
import shutil
import subprocess
import tempfile
import tomllib

import _tidemark as tm

from _timing import fmt_ns, header, per_call_ns


def py_fingerprint(p):
    return hashlib.sha1(os.path.realpath(p).encode()).hexdigest()[:12]


def bench_paths(base):
    os.makedirs(f"{base}/a/b/c")
    cases = {
        "existing": f"{base}/a/b/c",
        "missing leaf": f"{base}/a/b/c/missing",
        "missing parent": f"{base}/a/nope/missing",
    }
    header("normalize_path vs os.path.realpath (per call)")
    print(f"  {'case':<16}{'_tidemark':>14}{'realpath':>14}{'ratio':>9}")
    for name, p in cases.items():
        ours = per_call_ns(tm.normalize_path, p)
        theirs = per_call_ns(os.path.realpath, p)
        print(f"  {name:<16}{fmt_ns(ours):>14}{fmt_ns(theirs):>14}{ours / theirs:>8.2f}x")

    header("path_fingerprint vs sha1(realpath)[:12] (per call)")
    print(f"  {'case':<16}{'_tidemark':>14}{'python':>14}{'ratio':>9}")
    for name, p in cases.items():
        ours = per_call_ns(tm.path_fingerprint, p)
        theirs = per_call_ns(py_fingerprint, p)
        print(f"  {name:<16}{fmt_ns(ours):>14}{fmt_ns(theirs):>14}{ours / theirs:>8.2f}x")


def bench_project_id(base):
    root = f"{base}/repo"
    os.makedirs(root)
    subprocess.run(["git", "init", "-q", "-b", "main", root], check=True)
    with open(f"{root}/pyproject.toml", "w", encoding="utf-8") as f:
        f.write('[project]\nname = "x"\n\n[tool.plowline]\nproject_id = "bench"\n')
    assert tm.resolve_project_id(root) == "bench"  # fills the cache

    cache = {root: "bench"}

    def py_read_and_parse():
        with open(f"{root}/pyproject.toml", "rb") as f:
            return tomllib.load(f)["tool"]["plowline"]["project_id"]

    header("resolve_project_id(root) on a cache hit (per call)")
    hit = per_call_ns(tm.resolve_project_id, root)
    dict_hit = per_call_ns(cache.get, root)
    parse = per_call_ns(py_read_and_parse)
    print(f"  {'_tidemark cache hit':<34}{fmt_ns(hit):>14}")
    print(f"  {'python dict.get (floor)':<34}{fmt_ns(dict_hit):>14}  ratio {hit / dict_hit:.2f}x")
    print(f"  {'python read + tomllib (no cache)':<34}{fmt_ns(parse):>14}  ratio {hit / parse:.3f}x")


def main():
    base = os.path.realpath(tempfile.mkdtemp(prefix="bench-paths-"))
    try:
        bench_paths(base)
        bench_project_id(base)
    finally:
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
