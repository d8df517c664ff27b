"""Runs clang-tidy over every source of the compilation database that lies
under the given directories, each file once, and ends with one line that
counts files and findings.

    python scripts/lint.py BUILD_DIR JOBS DIR...

The run takes minutes, so it says how far it is: a line each time another
tenth of the files is done. Findings are printed in full as soon as the file
that shows them is done; a finding in a header that several files include is
printed and counted once. clang-tidy's "N warnings generated."
(diagnostics it suppressed in code that is not ours) is dropped; anything
else it says on standard error is kept. Exits non-zero on any finding or
when clang-tidy fails.
"""

import json
import os
import re
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor, as_completed

CLANG_TIDY = os.environ.get("CLANG_TIDY", "clang-tidy-19")
SUPPRESSED_COUNT = re.compile(r"^\d+ warnings? generated\.$")
# The first line of a diagnostic: "file:line:col: severity: text [check]".
DIAGNOSTIC = re.compile(r"^\S.*:\d+:\d+: (warning|error): ")


def sources(build_dir, dirs):
    """Each file of the database under one of `dirs`, once (a file that
    several targets compile, such as the fuzz driver, has one entry each)."""
    with open(os.path.join(build_dir, "compile_commands.json"), encoding="utf-8") as f:
        entries = json.load(f)
    roots = tuple(os.path.realpath(d) + os.sep for d in dirs)
    found = set()
    for entry in entries:
        path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
        if path.startswith(roots):
            found.add(path)
    return sorted(found)


def tidy(build_dir, path):
    run = subprocess.run([CLANG_TIDY, "-p", build_dir, "--quiet", path], capture_output=True, text=True)
    notes = [line for line in run.stderr.splitlines() if not SUPPRESSED_COUNT.match(line)]
    return run.returncode, run.stdout, notes


def findings(output):
    """The diagnostics of one clang-tidy run, each with the lines that follow
    it (source excerpt, caret, notes) up to the next one."""
    blocks = []
    for line in output.splitlines():
        if DIAGNOSTIC.match(line) or not blocks:
            blocks.append([line])
        else:
            blocks[-1].append(line)
    return ["\n".join(block) for block in blocks if DIAGNOSTIC.match(block[0])]


def main():
    build_dir, jobs, dirs = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
    files = sources(build_dir, dirs)
    if not files:
        print(f"lint: no source under {' '.join(dirs)} in {build_dir}/compile_commands.json", file=sys.stderr)
        return 1
    # Test and fuzz sources take clang-tidy the longest (GoogleTest's macros,
    # the analyser's paths through the fuzz driver's loops): started first,
    # they run beside the many short files instead of after them.
    files.sort(key=lambda path: ("/tests/" not in path and "/fuzz/" not in path, path))
    print(f"lint: clang-tidy over {len(files)} files, {jobs} at a time", flush=True)
    started = time.monotonic()
    step = max(len(files) // 10, 1)
    seen, failed = set(), []
    with ThreadPoolExecutor(max_workers=max(jobs, 1)) as pool:
        runs = {pool.submit(tidy, build_dir, path): path for path in files}
        for done, run in enumerate(as_completed(runs), start=1):
            code, output, notes = run.result()
            for finding in findings(output):
                if finding not in seen:
                    seen.add(finding)
                    print(finding)
            for note in notes:
                print(note, file=sys.stderr)
            if code != 0:
                failed.append(runs[run])
            if done % step == 0 and done < len(files):
                print(f"lint: {done}/{len(files)} files done, {len(seen)} findings,"
                      f" {time.monotonic() - started:.0f} s", flush=True)
    if failed and not seen:
        print(f"lint: clang-tidy failed on {', '.join(sorted(failed))}", file=sys.stderr)
    print(f"lint: {len(files)} files, {len(seen)} findings")
    return 1 if failed or seen else 0


if __name__ == "__main__":
    sys.exit(main())
