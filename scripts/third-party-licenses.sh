#!/usr/bin/env bash
# The licence texts the wheel owes: one folder per library it ships (simdjson,
# libyaml) or has compiled in (toml++, utf8proc, nlohmann-json, date, libmd),
# under third-party/, which pyproject.toml lists as the wheel's licence files.
# Each folder holds the Debian package's copyright file and the full text of
# every licence that file only points to in /usr/share/common-licenses
# (simdjson's Apache-2.0, whose terms ask for a copy of it).
#
#   scripts/third-party-licenses.sh           rewrite third-party/ from the installed packages
#   scripts/third-party-licenses.sh --check   compare third-party/ with them
#
# The texts are kept in the repository, not copied at build time, because
# `pip install .` must find its licence files before anything is built.
# A difference stops CI (CI set to anything but "", "0" or "false", in any
# case), where the kept texts are what is reviewed.
# Elsewhere it is one warning and the build goes on with the kept texts: a
# later Debian point release or another distribution words a copyright file
# differently, which is no reason to refuse a user the demo.
set -euo pipefail
cd "$(dirname "$0")/.."

# library  Debian package whose copyright file covers it
libraries=(
  "simdjson libsimdjson-dev"
  "libyaml libyaml-dev"
  "tomlplusplus libtomlplusplus-dev"
  "utf8proc libutf8proc-dev"
  "nlohmann-json nlohmann-json3-dev"
  "date libhowardhinnant-date-dev"
  "libmd libmd-dev"
)

check=0
[ "${1:-}" = --check ] && check=1

fresh=$(mktemp -d)
trap 'rm -rf "$fresh"' EXIT
problems=()
for entry in "${libraries[@]}"; do
  read -r library package <<<"$entry"
  copyright=/usr/share/doc/$package/copyright
  if [ ! -f "$copyright" ]; then
    [ "$check" -eq 1 ] || { echo "licenses: $copyright is missing (is $package installed?)" >&2; exit 1; }
    # Nothing to compare with: named once, and the kept folder stands for itself.
    problems+=("$copyright (missing)")
    [ ! -d "third-party/$library" ] || cp -r "third-party/$library" "$fresh/$library"
    continue
  fi
  mkdir -p "$fresh/$library"
  cp "$copyright" "$fresh/$library/copyright"
  for common in $(grep -o '/usr/share/common-licenses/[A-Za-z0-9.+-]*' "$copyright" | sort -u); do
    cp "$common" "$fresh/$library/$(basename "$common")"
  done
done

if [ "$check" -eq 0 ]; then
  rm -rf third-party
  mkdir third-party
  cp -r "$fresh"/. third-party/
  echo "licenses: wrote third-party/ ($(find third-party -type f | wc -l) files)"
  exit 0
fi

# Each difference, named by its path under third-party/. diff names a file
# found on one side only as "Only in DIR: NAME".
only_in() {
  local dir=${1%%: *}
  dir=${dir#/}
  echo "third-party/${dir:+$dir/}${1#*: }"
}
while IFS= read -r line; do
  case "$line" in
    "Files $fresh/"*) name=${line#"Files $fresh/"}; problems+=("third-party/${name%% and third-party/*}") ;;
    "Only in $fresh"*) problems+=("$(only_in "${line#"Only in $fresh"}") (not kept)") ;;
    "Only in third-party"*) problems+=("$(only_in "${line#"Only in third-party"}") (not made here)") ;;
    ?*) problems+=("$line") ;;
  esac
done <<<"$(diff -rq "$fresh" third-party 2>&1)"
[ ${#problems[@]} -gt 0 ] || exit 0

list=$(printf '%s, ' "${problems[@]}")
list=${list%, }
ci=${CI:-}
case "${ci,,}" in "" | 0 | false) under_ci=0 ;; *) under_ci=1 ;; esac
if [ "$under_ci" -eq 1 ]; then
  echo "licenses: third-party/ differs from the installed packages' copyright files: $list;" \
    "run bash scripts/third-party-licenses.sh to rewrite it" >&2
  exit 1
fi
echo "licenses: warning: third-party/ differs from this machine's copyright files ($list); the wheel" \
  "carries the kept texts; to carry this machine's, rewrite them: bash scripts/third-party-licenses.sh (under CI this stops the build)" >&2
