#!/usr/bin/env bash
# Builds kelvarin into a virtual environment of its own and loads a cloud with
# it (the shipped sample unless a path is given). Installs what the build needs
# from Debian's packages first (as root).
#
#   bash scripts/demo.sh [FILE.pcd]
#
# Environment: KELVARIN_VENV (the virtual environment; default under
# ~/.cache/kelvarin).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-debs.sh g++ make cmake liblzf-dev libfast-float-dev
PY=$(bash scripts/host-python.sh)
VENV=${KELVARIN_VENV:-${XDG_CACHE_HOME:-$HOME/.cache}/kelvarin/demo-venv}
[ -x "$VENV/bin/python" ] || "$PY" -m venv "$VENV"
"$VENV/bin/python" -m pip install -q --disable-pip-version-check .
"$VENV/bin/python" examples/show_pcd.py "${1:-examples/data/sample.pcd}"
