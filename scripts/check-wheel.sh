#!/usr/bin/env bash
# Checks that the repaired wheel stands on its own:
#   - auditwheel gives it a manylinux tag;
#   - the repair kept the licence texts of third-party/ in its .dist-info,
#     each listed in its metadata;
#   - it installs in a fresh virtual environment of every CPython 3.11 or
#     later on this machine (pyenv's under $PYENV_ROOT or ~/.pyenv, those
#     on PATH and the system's /usr/bin/python3), and the example runs
#     there (hashing, Unicode and TOML all answer);
#   - the loader finds no library outside the wheel but the C and C++
#     runtimes every manylinux system has.
#
#   scripts/check-wheel.sh WHEEL SCRATCH_DIR
set -euo pipefail

wheel=$(realpath "${1:?usage: scripts/check-wheel.sh WHEEL SCRATCH_DIR}")
scratch=${2:?usage: scripts/check-wheel.sh WHEEL SCRATCH_DIR}
venv_bin=$(dirname "$0")/../.venv/bin
examples=$(realpath "$(dirname "$0")/../examples")

tag=$("$venv_bin/auditwheel" show "$wheel" 2>/dev/null | tr -s ' \n' ' ' | grep -o 'platform tag: "[^"]*"' || true)
case "$tag" in
  *manylinux*) echo "wheel: $(basename "$wheel"): $tag" ;;
  *) echo "wheel: auditwheel gives no manylinux tag ($tag)" >&2; exit 1 ;;
esac

# Every licence text of third-party/, byte for byte, in .dist-info/licenses/
# and named by a License-File line of the metadata.
"$venv_bin/python" - "$wheel" "$(dirname "$0")/../third-party" <<'EOF'
import email, pathlib, sys, zipfile

wheel, kept = zipfile.ZipFile(sys.argv[1]), pathlib.Path(sys.argv[2])
dist_info = next(n.split("/")[0] for n in wheel.namelist() if n.endswith(".dist-info/METADATA"))
listed = set(email.message_from_bytes(wheel.read(f"{dist_info}/METADATA")).get_all("License-File", []))
wrong = []
for text in sorted(p for p in kept.rglob("*") if p.is_file()):
    name = f"third-party/{text.relative_to(kept).as_posix()}"
    try:
        same = wheel.read(f"{dist_info}/licenses/{name}") == text.read_bytes()
    except KeyError:
        same = False
    if not same or name not in listed:
        wrong.append(name)
if wrong:
    sys.exit(f"wheel: licence texts missing, changed or unlisted: {', '.join(wrong)}")
print(f"wheel: carries {len(listed)} licence files ({', '.join(sorted(listed))})")
EOF

# What a manylinux system provides itself.
system_libs='^([^ ]*/)?(linux-vdso\.so|ld-linux-x86-64\.so|libc\.so|libm\.so|libdl\.so|librt\.so|libpthread\.so|libstdc\+\+\.so|libgcc_s\.so)'

interpreters=()
# pyenv keeps its interpreters under PYENV_ROOT, by default ~/.pyenv.
for py in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.*/bin/python3 "$HOME"/.pyenv/versions/3.*/bin/python3 \
  $(compgen -c python3. | grep -E "^python3\.[0-9]+$" | sort -u) /usr/bin/python3; do
  # The interpreter itself, not a wrapper (pyenv's shims) that picks one.
  real=$("$py" -c 'import os, sys; sys.version_info >= (3, 11) and print(os.path.realpath(sys.executable))' \
    2>/dev/null) || continue
  [ -n "$real" ] && interpreters+=("$real")
done
mapfile -t interpreters < <(printf '%s\n' "${interpreters[@]}" | sort -u)
[ ${#interpreters[@]} -gt 0 ] || { echo "wheel: no CPython 3.11+ found" >&2; exit 1; }

rm -rf "$scratch"
mkdir -p "$scratch"
scratch=$(realpath "$scratch")
# One interpreter's check; its lines go to $env/check.log.
check_on() {
  local py=$1 env=$2 version=$3 module unresolved outside
  "$py" -m venv "$env"
  "$env/bin/python" -m pip install -q --no-index --no-deps "$wheel"
  # Imported from outside the source tree, so only the installed copy can answer.
  module=$(cd "$scratch" && "$env/bin/python" -c 'import _tidemark; print(_tidemark.__file__)')
  unresolved=$(ldd "$module" | grep 'not found' || true)
  outside=$(ldd "$module" | awk '{print $1, $3}' | grep -Ev "$system_libs" | grep -v '/tidemark\.libs/' || true)
  if [ -n "$unresolved$outside" ]; then
    echo "wheel: on $version the module needs libraries from outside the wheel:"
    echo "$unresolved$outside"
    return 1
  fi
  (cd "$scratch" && "$env/bin/python" "$examples/demo.py" >"$env/demo.log" 2>&1) ||
    { cat "$env/demo.log"; echo "wheel: the example fails on $version"; return 1; }
  echo "wheel: installs, imports and runs the example on CPython $version ($py)"
}

# Every interpreter at once; each reports in order when all are done.
n=0
pids=()
envs=()
for py in "${interpreters[@]}"; do
  version=$("$py" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])')
  # Numbered: pyenv's and the system's interpreter may share a version.
  n=$((n + 1))
  env="$scratch/$n-$version"
  mkdir -p "$env"
  check_on "$py" "$env" "$version" >"$scratch/$n.log" 2>&1 &
  pids+=($!)
  envs+=("$scratch/$n.log")
done
failed=0
for i in "${!pids[@]}"; do
  if wait "${pids[$i]}"; then
    cat "${envs[$i]}"
  else
    cat "${envs[$i]}" >&2
    failed=1
  fi
done
exit "$failed"
