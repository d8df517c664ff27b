#!/usr/bin/env bash
# The licence texts the wheel owes: one folder per library it ships (simdjson,
# libyaml) or has compiled in (toml++, utf8proc, nlohmann-json, date, libmd),
# under third-party/, which pyproject.toml lists as the wheel's licence files.
# Each folder holds the Debian package's copyright file and the full text of
# every licence that file only points to in /usr/share/common-licenses
# (simdjson's Apache-2.0, whose terms ask for a copy of it).
#
#   scripts/third-party-licenses.sh           rewrite third-party/ from the installed packages
#   scripts/third-party-licenses.sh --check   fail if third-party/ differs from them
#
# The texts are kept in the repository, not copied at build time, because
# `pip install .` must find its licence files before anything is built.
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

fresh=$(mktemp -d)
trap 'rm -rf "$fresh"' EXIT
for entry in "${libraries[@]}"; do
  read -r library package <<<"$entry"
  copyright=/usr/share/doc/$package/copyright
  [ -f "$copyright" ] || { echo "licenses: $copyright is missing (is $package installed?)" >&2; exit 1; }
  mkdir -p "$fresh/$library"
  cp "$copyright" "$fresh/$library/copyright"
  for common in $(grep -o '/usr/share/common-licenses/[A-Za-z0-9.+-]*' "$copyright" | sort -u); do
    cp "$common" "$fresh/$library/$(basename "$common")"
  done
done

if [ "${1:-}" = --check ]; then
  diff -r "$fresh" third-party >/dev/null || {
    echo "licenses: third-party/ differs from the installed packages' copyright files:" >&2
    diff -rq "$fresh" third-party >&2 || true
    echo "run scripts/third-party-licenses.sh to rewrite it" >&2
    exit 1
  }
else
  rm -rf third-party
  mkdir third-party
  cp -r "$fresh"/. third-party/
  echo "licenses: wrote third-party/ ($(find third-party -type f | wc -l) files)"
fi
