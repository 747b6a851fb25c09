#!/usr/bin/env bash
# The whole test suite: kelvarin built for CPython 3.8 to 3.13 and tested
# under each, then the longer checks (3.14 and 3.15 among them, in a Debian sid
# root file system). Installs what it needs first (as root on
# a fresh Debian machine) and writes nothing into the checkout.
#
#   bash scripts/test-all.sh [NOX ARGS...]     e.g. -s tests-3.12
#
# An interpreter that is missing is skipped with a notice, unless CI=true,
# where it fails the run. Environment: KELVARIN_WORK (virtual environments,
# build trees and wheels; default under ~/.cache/kelvarin, one per checkout).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-debs.sh g++ make cmake liblzf-dev libfast-float-dev doctest-dev g++-multilib clang-format
PY=$(bash scripts/host-python.sh)
WORK=$(bash scripts/work-dir.sh)
export KELVARIN_WORK=$WORK

# Every pyenv-installed interpreter becomes visible as pythonX.Y for nox.
if command -v pyenv >/dev/null 2>&1; then
  for bin in "$(pyenv root)"/versions/3.*/bin; do PATH="$bin:$PATH"; done
  export PATH
fi

if [ ! -x "$WORK/tools/bin/python" ]; then
  "$PY" -m venv "$WORK/tools"
fi
"$WORK/tools/bin/python" -m pip install -q --disable-pip-version-check "nox>=2024.10.9"
missing=--no-error-on-missing-interpreters
[ "${CI:-}" = true ] && missing=--error-on-missing-interpreters
exec "$WORK/tools/bin/python" -m nox --envdir "$WORK/nox" "$missing" "$@"
