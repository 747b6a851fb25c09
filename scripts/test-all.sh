#!/usr/bin/env bash
# Builds kelvarin for CPython 3.8 to 3.13 and runs the test suite under each.
# Installs what it needs first (as root on a fresh Debian machine).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-debs.sh liblzf-dev libfast-float-dev

python=$(python3 -c 'import sys; print(sys.executable)')
# Every pyenv-installed interpreter becomes visible as pythonX.Y for nox.
if command -v pyenv >/dev/null 2>&1; then
  for bin in "$(pyenv root)"/versions/3.*/bin; do PATH="$bin:$PATH"; done
  export PATH
fi

"$python" -m pip install -q --disable-pip-version-check "nox>=2024.3"
exec "$python" -m nox --error-on-missing-interpreters "$@"
