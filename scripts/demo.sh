#!/usr/bin/env bash
# Installs kelvarin into the current python3 and loads the shipped sample cloud.
set -euo pipefail
cd "$(dirname "$0")/.."
need=()
for pkg in liblzf-dev libfast-float-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}"
fi
python3 -m pip install -q --disable-pip-version-check .
python3 examples/show_pcd.py "${1:-examples/data/sample.pcd}"
