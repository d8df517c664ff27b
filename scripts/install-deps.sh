#!/usr/bin/env bash
# Installs the Debian packages a target needs, skipping those already present.
#
#   scripts/install-deps.sh [GROUP...]
#
# With no group: what building the module and its wheel needs (make demo,
# pip install .). Each group adds what one more target uses:
#   tests     make test: GoogleTest for the core suite
#   sanitize  make sanitize: the core suite under gcc's sanitizers
#   fuzz      make fuzz: clang 19 and libFuzzer
#   lint      make lint: clang-format and clang-tidy 19, and the test and
#             benchmark headers its compilation database names
#   bench     make bench: Google Benchmark
# so that the demo does not pull in the clang and LLVM toolchain.
# python3-dev (Python.h) and python3-venv (python3 -m venv) are what a stock
# Debian 12 whose only Python is /usr/bin/python3 lacks for `make demo`.
# As root it installs them; otherwise it prints the apt-get line and fails.
#   scripts/install-deps.sh --list [GROUP...]   prints the packages, installs nothing
set -euo pipefail

list_only=0
if [ "${1:-}" = --list ]; then
  list_only=1
  shift
fi

packages=(
  build-essential pkg-config git
  python3-dev python3-venv
  nlohmann-json3-dev libsimdjson-dev libtomlplusplus-dev libyaml-dev
  libhowardhinnant-date-dev libmd-dev libutf8proc-dev
)
for group in "$@"; do
  case "$group" in
    tests | sanitize) packages+=(libgtest-dev libgmock-dev) ;;
    fuzz) packages+=(clang-19 libclang-rt-19-dev) ;;
    lint) packages+=(clang-format-19 clang-tidy-19 libgtest-dev libgmock-dev libbenchmark-dev) ;;
    bench) packages+=(libbenchmark-dev) ;;
    *) echo "install-deps: unknown group '$group' (tests, sanitize, fuzz, lint, bench)" >&2; exit 2 ;;
  esac
done
mapfile -t packages < <(printf '%s\n' "${packages[@]}" | awk '!seen[$0]++')

if [ "$list_only" -eq 1 ]; then
  echo "${packages[*]}"
  exit 0
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

install=(install -y --no-install-recommends "${missing[@]}")
line="apt-get ${install[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "missing system packages: ${missing[*]}" >&2
  echo "run as root: apt-get update && $line" >&2
  exit 1
fi

# How long, roughly, from a Debian mirror: the clang toolchain is the bulk.
case " ${missing[*]}" in
  *" clang"*) takes="a minute or two" ;;
  *) takes=$([ ${#missing[@]} -gt 5 ] && echo "about half a minute" || echo "a few seconds") ;;
esac
echo "deps: installing ${#missing[@]} Debian packages with apt-get ($takes): ${missing[*]}"
# apt's progress and debconf's notes go to a log, shown only when it fails.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
export DEBIAN_FRONTEND=noninteractive
if ! { apt-get -qq update && apt-get -qq "${install[@]}"; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "install-deps: $line failed" >&2
  exit 1
fi
