"""Binding store: upsert, load and list on stores of 1, 100, 1,000 and 10,000
entries, against the plain-Python way (flock on the lock file, json.load,
json.dump(sort_keys=True, indent=2) to a temporary file, os.replace) and
against the floor: the bare system calls of the operation (lock; read; for
upsert also write a temporary file and rename it), made from Python.

The module also normalises the four paths of every entry it returns; so
`list` is also set against a plain-Python list that realpaths the four
paths of every entry ("plain+rp").
"""

import fcntl
import json
import os
import subprocess
import tempfile

import _tidemark

from _timing import fmt_ns, header, per_call_ns

SIZES = (1, 100, 1000, 10000)
PATH_KEYS = ("worktree", "state_path", "git_common_dir", "main_worktree")


def entry(root, i):
    wt = os.path.join(root, f"wt{i}")
    return {
        "branch": f"b{i}",
        "commit_ish": "",
        "git_common_dir": os.path.join(root, ".git"),
        "main_worktree": root,
        "schema_version": 2,
        "session_id": f"s{i}",
        "state_path": os.path.join(wt, ".tessary/state/plowline"),
        "worktree": wt,
    }


def make_store(root, n):
    subprocess.run(["git", "init", "-q", "-b", "main", root], check=True)
    store = _tidemark.WorktreeBindingStore(main_worktree=root)
    os.makedirs(os.path.dirname(store.path), exist_ok=True)
    with open(store.path, "w") as f:
        json.dump({"bindings": [entry(root, i) for i in range(n)], "schema_version": 2}, f, sort_keys=True, indent=2)
        f.write("\n")
    return store


class PlainStore:
    """The same store done the plain-Python way."""

    def __init__(self, path):
        self.path = path
        self.lock_path = path + ".lock"

    def _locked(self):
        fd = os.open(self.lock_path, os.O_RDWR | os.O_CREAT, 0o666)
        fcntl.flock(fd, fcntl.LOCK_EX)
        return fd

    def _read(self):
        try:
            with open(self.path, encoding="utf-8") as f:
                return json.load(f)
        except FileNotFoundError:
            return {"bindings": [], "schema_version": 2}

    def upsert(self, item):
        fd = self._locked()
        try:
            doc = self._read()
            doc["bindings"] = [e for e in doc["bindings"] if e.get("session_id") != item["session_id"]] + [item]
            tmp_fd, tmp = tempfile.mkstemp(dir=os.path.dirname(self.path), prefix=".tmp", suffix=".tmp")
            with os.fdopen(tmp_fd, "w", encoding="utf-8") as f:
                json.dump(doc, f, sort_keys=True, indent=2, ensure_ascii=False)
                f.write("\n")
            os.replace(tmp, self.path)
        finally:
            os.close(fd)

    def load(self, session_id):
        fd = self._locked()
        try:
            return next((e for e in self._read()["bindings"] if e.get("session_id") == session_id), None)
        finally:
            os.close(fd)

    def list(self):
        fd = self._locked()
        try:
            return list(self._read()["bindings"])
        finally:
            os.close(fd)

    def list_resolved(self):
        return [{**e, **{k: os.path.realpath(e[k]) for k in PATH_KEYS}} for e in self.list()]


class Floor:
    """The system calls of each operation and nothing else."""

    def __init__(self, path):
        self.path = path
        self.lock_path = path + ".lock"
        self.dir = os.path.dirname(path)

    def _read(self):
        fd = os.open(self.path, os.O_RDONLY | os.O_CLOEXEC)
        try:
            data = os.read(fd, os.fstat(fd).st_size + 1)
        finally:
            os.close(fd)
        return data

    def read(self):
        lock = os.open(self.lock_path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
        try:
            fcntl.flock(lock, fcntl.LOCK_EX)
            return self._read()
        finally:
            os.close(lock)

    def rewrite(self):
        lock = os.open(self.lock_path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
        try:
            fcntl.flock(lock, fcntl.LOCK_EX)
            data = self._read()
            tmp = os.path.join(self.dir, ".tmpfloor0.tmp")
            fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
            try:
                os.write(fd, data)
            finally:
                os.close(fd)
            os.replace(tmp, self.path)
        finally:
            os.close(lock)


def main():
    header("binding store per call: module vs plain Python (json + fcntl + os.replace) and the floor")
    print("ratios: module / plain (below 1: the module is faster); x floor: module / bare system calls")
    print(f"{'op':8} {'entries':>7} {'module':>12} {'plain':>12} {'ratio':>7} {'floor':>12} {'x floor':>8}")
    growth = {}
    with tempfile.TemporaryDirectory() as tmp:
        for n in SIZES:
            root = os.path.realpath(os.path.join(tmp, f"repo{n}"))
            store = make_store(root, n)
            plain = PlainStore(store.path)
            floor = Floor(store.path)
            probe = entry(root, n // 2)
            binding = _tidemark.WorktreeBinding.from_dict(probe)
            cases = {
                "upsert": (lambda: store.upsert(binding), lambda: plain.upsert(probe), floor.rewrite),
                "load": (lambda: store.load(probe["session_id"]), lambda: plain.load(probe["session_id"]), floor.read),
                "list": (store.list, plain.list, floor.read),
                "list+rp": (store.list, plain.list_resolved, floor.read),
            }
            budget = 0.05 if n < 1000 else 0.2 if n < 10000 else 0.5
            timed = {}
            for op, (mod_fn, plain_fn, floor_fn) in cases.items():
                # Writes meet the file system's journal now and then: more rounds, best kept.
                repeat = 9 if op == "upsert" else 3
                mod = timed[op[:4]] if op == "list+rp" else per_call_ns(mod_fn, repeat=repeat, budget_s=budget)
                timed[op] = mod
                py = per_call_ns(plain_fn, repeat=repeat, budget_s=budget)
                fl = per_call_ns(floor_fn, repeat=repeat, budget_s=budget)
                if op != "list+rp":
                    growth.setdefault(op, []).append(mod)
                print(f"{op:8} {n:7d} {fmt_ns(mod)} {fmt_ns(py)} {mod / py:7.2f} {fmt_ns(fl)} {mod / fl:8.1f}")
    header("growth of the module's cost with the number of entries (relative to 1 entry)")
    for op, times in growth.items():
        print(f"{op:8} " + "  ".join(f"{n}: x{t / times[0]:.1f}" for n, t in zip(SIZES, times)))


if __name__ == "__main__":
    main()
