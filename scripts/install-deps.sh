#!/usr/bin/env bash
# Installs the Debian packages the build needs, skipping those already present.
# python3-dev (Python.h) and python3-venv (python3 -m venv) are what a stock
# Debian 12 whose only Python is /usr/bin/python3 lacks for `make demo`.
# As root it installs them; otherwise it prints the apt-get line and fails.
set -euo pipefail

packages=(
  build-essential pkg-config git
  python3-dev python3-venv
  nlohmann-json3-dev libsimdjson-dev libtomlplusplus-dev libyaml-dev
  libhowardhinnant-date-dev libmd-dev libutf8proc-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang-19 libclang-rt-19-dev clang-format-19 clang-tidy-19
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

line="apt-get install -y --no-install-recommends ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "missing system packages: ${missing[*]}" >&2
  echo "run as root: apt-get update && $line" >&2
  exit 1
fi

echo "installing: ${missing[*]}"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive $line
