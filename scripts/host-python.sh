#!/usr/bin/env bash
# Prints the path of a CPython that can make virtual environments and build
# extension modules: the given pyenv version where there is one, else the
# first python3 on PATH. Debian's own python3 gets its venv module and headers
# installed first (as root); nothing is ever installed into it.
#
#   PY=$(bash scripts/host-python.sh [MINOR])      MINOR e.g. 3.11
set -euo pipefail
here=$(dirname "$0")
minor=${1:-}
if [ -n "$minor" ] && command -v pyenv >/dev/null 2>&1; then
  for bin in "$(pyenv root)"/versions/"$minor".*/bin/python; do
    [ -x "$bin" ] && py=$bin
  done
fi
if [ -z "${py:-}" ]; then
  py=$(command -v python3 || true)
  if [ -z "$py" ]; then
    bash "$here/install-debs.sh" python3 >&2
    py=$(command -v python3)
  fi
fi
# Debian splits venv and the C headers off its interpreter.
if ! "$py" -c 'import ensurepip, venv, sysconfig, os, sys
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null; then
  ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  bash "$here/install-debs.sh" "python${ver}-venv" "python${ver}-dev" >&2
fi
echo "$py"
