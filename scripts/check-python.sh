#!/usr/bin/env bash
# Run by the Makefile before anything else. Prints, in one line, why PYTHON
# cannot make the project's virtual environment (missing, does not run, not
# CPython, older than 3.11), or nothing when it can; the Makefile stops with
# that line. A VENV whose own interpreter is no longer fit (gone, or older
# than 3.11) is removed first, so that it is made again rather than failing
# the same way at every run.
#
#   scripts/check-python.sh PYTHON VENV
set -uo pipefail

python=${1:?usage: scripts/check-python.sh PYTHON VENV}
venv=${2:?usage: scripts/check-python.sh PYTHON VENV}
# What to do about it, for the bare Debian or Ubuntu a newcomer starts from.
need="tidemark needs CPython 3.11 or newer: on Debian 12 or Ubuntu 24.04 and later, apt-get install python3 (as root)\
 gives one; elsewhere install one (pyenv, or your release's python3.11 with its -venv and -dev packages), put it\
 first on PATH or name it, as in make PYTHON=python3.11"

# "implementation version fit" of an interpreter, or nothing when it does not run.
describe() {
  "$1" -c 'import sys; print(sys.implementation.name, "%d.%d.%d" % sys.version_info[:3], int(sys.version_info >= (3, 11)))' \
    2>/dev/null </dev/null
}

if [ -d "$venv" ]; then
  read -r _ venv_version venv_fit <<<"$(describe "$venv/bin/python")"
  if [ -z "${venv_version:-}" ]; then
    echo "make: removing $venv, whose interpreter no longer runs; it is made again" >&2
    rm -rf "$venv"
  elif [ "$venv_fit" != 1 ]; then
    echo "make: removing $venv, made by Python $venv_version; it is made again" >&2
    rm -rf "$venv"
  fi
fi

path=$(command -v "$python") || { echo "$python: not found; $need"; exit 0; }
read -r implementation version fit <<<"$(describe "$path")"
if [ -z "${version:-}" ]; then
  echo "$python ($path) does not run; $need"
elif [ "$implementation" != cpython ] || [ "$fit" != 1 ]; then
  echo "$python ($path) is $([ "$implementation" = cpython ] && echo Python || echo "$implementation") $version; $need"
fi
