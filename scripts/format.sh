#!/usr/bin/env bash
# Applies .clang-format to every tracked C++ source (scripts/format.sh), or
# only lists the files it would change (scripts/format.sh --check, as
# `make lint` runs it).
set -euo pipefail
cd "$(dirname "$0")/.."
clang_format=${CLANG_FORMAT:-clang-format-19}
mapfile -t files < <(git ls-files '*.cpp' '*.hpp' '*.h')
if [ "${1:-}" = --check ]; then
  "$clang_format" --dry-run --Werror "${files[@]}"
else
  "$clang_format" -i "${files[@]}"
fi
