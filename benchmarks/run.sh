#!/usr/bin/env bash
# Load benchmark: kelvarin against numpy/pandas/LZF baselines and the peers
# pypcd4 and Open3D. Sets up everything it needs, then measures (measure.py:
# raw figures to JSON, tables), checks the targets (targets.py: PASS/FAIL) and
# draws the chart (chart.py):
#
#   bash benchmarks/run.sh            # full run (1M and 10M points), 16-21 min on 2 cores
#   bash benchmarks/run.sh --quick    # 100k and 1M points, fewer runs
#   bash benchmarks/run.sh --help     # measure.py's options
#
# Set-up, on a fresh Debian machine as root: the Debian packages kelvarin's
# build needs (liblzf-dev, libfast-float-dev) and Open3D's wheel loads
# (libusb-1.0-0, libgomp1); a venv ($KELVARIN_BENCH_OUT/venv) with the baselines,
# the peers and kelvarin built from this checkout.
#
# Environment: PYTHON (interpreter for the venv; default: a 3.11, which the
# peers have wheels for), KELVARIN_BENCH_OUT (generated clouds, results, venv
# and build; default bench/ under the checkout's work dir, scripts/work-dir.sh),
# KELVARIN_BENCH_VENV, KELVARIN_BENCH_BUILD (kelvarin's CMake build dir).
# A full run with the default options writes benchmarks/results.png.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
REPO=$(dirname "$HERE")
OUT=${KELVARIN_BENCH_OUT:-$(bash "$REPO/scripts/work-dir.sh")/bench}
VENV=${KELVARIN_BENCH_VENV:-$OUT/venv}
BUILD=${KELVARIN_BENCH_BUILD:-$OUT/build}
mkdir -p "$OUT"

say() { printf '== %s\n' "$*" >&2; }

# ---- Debian packages
bash "$REPO/scripts/install-debs.sh" liblzf-dev libfast-float-dev libusb-1.0-0 libgomp1

# ---- interpreter: one the peers ship wheels for
pick_python() {
  local c
  for c in "${PYTHON:-}" "$HOME"/.pyenv/versions/3.11*/bin/python "$HOME"/.pyenv/versions/3.12*/bin/python \
           python3.11 python3.12 python3.10 python3; do
    [ -n "$c" ] || continue
    if command -v "$c" >/dev/null 2>&1 &&
       "$c" -c 'import sys, venv; sys.exit(not ((3, 8) <= sys.version_info[:2] <= (3, 13)))' 2>/dev/null; then
      command -v "$c"
      return 0
    fi
  done
  return 1
}
PY=$(pick_python) || { say "no Python 3.8-3.13 with venv found; set PYTHON"; exit 1; }

# ---- venv with the baselines and the peers (redone when the requirements change)
if [ ! -x "$VENV/bin/python" ]; then
  say "creating venv $VENV with $("$PY" --version 2>&1)"
  "$PY" -m venv "$VENV"
fi
VPY="$VENV/bin/python"
# pip's notes about index locations that this machine's pip configuration names are dropped
pipq() {
  "$VPY" -m pip install -q --disable-pip-version-check "$@" 2> >(grep -v "^WARNING: Location '" >&2)
}
stamp="$VENV/.kelvarin-bench-deps"
want=$(cat "$HERE/requirements.txt" "$HERE/requirements-peers.txt" | sha256sum | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
  say "installing the baselines (benchmarks/requirements.txt)"
  pipq -r "$HERE/requirements.txt"
  while read -r peer; do
    case "$peer" in ''|'#'*) continue ;; esac
    say "installing peer $peer"
    if ! pipq "$peer" </dev/null 2>"$OUT/pip-$peer.log"; then
      say "peer $peer did not install for $("$VPY" --version 2>&1); measure.py reports it as not available:"
      tail -n 3 "$OUT/pip-$peer.log" >&2 || true
    fi
  done < "$HERE/requirements-peers.txt"
  # pypcd4 brings python-neo-lzf, whose module is also named lzf: put python-lzf's back
  pipq --force-reinstall --no-deps python-lzf
  echo "$want" > "$stamp"
fi

# ---- kelvarin from this checkout, in a build dir of its own
say "building kelvarin from $REPO"
pipq --force-reinstall --no-deps "$REPO" -Cbuild-dir="$BUILD"

case " $* " in *" -h "*|*" --help "*) exec "$VPY" "$HERE/measure.py" --help ;; esac
say "running benchmarks/measure.py $*"
rm -f "$OUT/latest"
"$VPY" "$HERE/measure.py" --out "$OUT" "$@"
json=$(cat "$OUT/latest")
echo
# a missed target is a finding of the run, not a failure of the script
"$VPY" "$HERE/targets.py" "$json" || true
"$VPY" "$HERE/chart.py" "$json"
