#!/usr/bin/env bash
# pip install, quietly, into the project's environment. When pip fails
# because it could not reach a package index, this says so in one line in
# place of pip's last words, which blame the first requirement it found no
# version of (for the pinned pip itself, a "conflict" that is none). Where
# everything asked for is installed already, pip needs no index at all.
#
#   scripts/pip-install.sh PYTHON PIP_INSTALL_ARGUMENT...
set -uo pipefail

python=${1:?usage: scripts/pip-install.sh PYTHON PIP_INSTALL_ARGUMENT...}
shift
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# pip's --log file holds its debug lines, among them each index page it
# could not fetch and why; the console keeps what -q lets through (the
# progress bar aside, which a log file would otherwise turn on).
"$python" -m pip install -q --progress-bar off --log "$scratch/debug.log" "$@" >"$scratch/console.log" 2>&1
status=$?
unreachable=$(grep -m1 -E 'Could not fetch URL [^ ]+: (connection error|timed out|There was a problem confirming the ssl certificate)' \
  "$scratch/debug.log" 2>/dev/null)
if [ "$status" -ne 0 ] && [ -n "$unreachable" ]; then
  url=${unreachable#*Could not fetch URL }
  url=${url%%: *}
  why=$(grep -o -m1 -E '\[Errno [^]]*\] [^'\''")]*|timed out|problem confirming the ssl certificate' <<<"$unreachable")
  echo "pip-install: no package index could be reached ($url: ${why:-connection error}); the build and test tools" \
    "come from one: connect this machine, or name a reachable index or wheel folder in PIP_INDEX_URL or PIP_FIND_LINKS;" \
    "behind a proxy that re-signs TLS, name its CA certificate in PIP_CERT (or add it to the system's CA store)" >&2
  exit "$status"
fi
# A configured index or wheel folder that has no entry for a package is
# worth knowing only when something could not be found.
if [ "$status" -eq 0 ]; then
  grep -v -E "^WARNING: Location '[^']*' is ignored: it is neither a file nor a directory\.$" "$scratch/console.log" >&2
else
  cat "$scratch/console.log" >&2
fi
exit "$status"
