#!/usr/bin/env bash
# Installs kelvarin into the current python3 and loads the shipped sample cloud.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-debs.sh liblzf-dev libfast-float-dev
python3 -m pip install -q --disable-pip-version-check .
python3 examples/show_pcd.py "${1:-examples/data/sample.pcd}"
