#!/usr/bin/env bash
# Checks how the build finds liblzf and fast_float on systems without their
# CMake packages (Fedora, Homebrew, conda-forge ...). In a private mount
# namespace, Debian's CMake package files of both are hidden under empty
# directories; then
#   1. the build must find the header and library by themselves, build the
#      module and load a cloud with it;
#   2. with their headers hidden too, configuration must stop with the message
#      that says what to install.
# Nothing outside the namespace sees the hidden directories. Runs as root.
#
#   bash scripts/discovery.sh
#
# Environment: DISCOVERY_DIR (work directory, default a fresh temp dir).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
WORK=${DISCOVERY_DIR:-$(mktemp -d /tmp/kelvarin-discovery.XXXXXX)}
mkdir -p "$WORK"

bash scripts/install-debs.sh g++ make cmake liblzf-dev libfast-float-dev pkg-config
PY=$(bash scripts/host-python.sh 3.11)
if [ ! -x "$WORK/venv/bin/python" ]; then
  "$PY" -m venv "$WORK/venv"
  "$WORK/venv/bin/python" -m pip install -q --disable-pip-version-check "pybind11>=3.0,<3.1" numpy
fi

# The directories that Debian's packages install for CMake, and their headers.
cmake_dirs=$(dpkg -L liblzf-dev libfast-float-dev | grep -E '/cmake/(liblzf|FastFloat)$')
header_dirs=$(dpkg -L liblzf-dev libfast-float-dev | grep -E '/include/(liblzf|fast_float)$')
[ "$(wc -l <<<"$cmake_dirs")" = 2 ] && [ "$(wc -l <<<"$header_dirs")" = 2 ] || {
  echo "discovery.sh: unexpected layout of liblzf-dev and libfast-float-dev" >&2; exit 1; }
mkdir -p "$WORK/empty"

# configure BUILD_DIR "DIRS TO HIDE": cmake's configure step with the
# directories hidden, in a mount namespace of its own.
configure() {
  local build=$1 hide=$2
  rm -rf --one-file-system "$build"
  unshare --mount --propagation private -- bash -c '
    empty=$1 src=$2 build=$3 py=$4 hide=$5
    for dir in $hide; do mount --bind "$empty" "$dir"; done
    cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$py" \
      -Dpybind11_DIR="$("$py" -m pybind11 --cmakedir)"' \
    configure "$WORK/empty" "$ROOT" "$build" "$WORK/venv/bin/python" "$hide"
}

echo "== CMake packages hidden: $(tr '\n' ' ' <<<"$cmake_dirs")"
configure "$WORK/found" "$cmake_dirs" >"$WORK/found.log" 2>&1 \
  || { cat "$WORK/found.log"; exit 1; }
grep -E '^-- (liblzf|fast_float):' "$WORK/found.log"
if grep -E '^-- (liblzf|fast_float): CMake package' "$WORK/found.log"; then
  echo "discovery.sh: a hidden CMake package was used" >&2
  exit 1
fi
cmake --build "$WORK/found" --target kelvarin -j 2 >"$WORK/build.log" 2>&1 \
  || { tail -n 40 "$WORK/build.log"; exit 1; }
(cd "$WORK/found" && "$WORK/venv/bin/python" -c '
import sys, kelvarin
points, fields = kelvarin.load_pcd(sys.argv[1])
print("built module loads", sys.argv[1].rsplit("/", 1)[-1], "->", points.shape, sorted(fields))
' "$ROOT/tests/data/corpus/files/pypcd4_binary_compressed.pcd")

echo "== CMake packages and headers hidden"
if configure "$WORK/missing" "$cmake_dirs $header_dirs" >"$WORK/missing.log" 2>&1; then
  echo "discovery.sh: configuration went through without the headers" >&2
  exit 1
fi
sed -n '/CMake Error/,/at where they are/p' "$WORK/missing.log"
grep -q 'kelvarin needs liblzf (lzf.h and the lzf library) and fast_float' "$WORK/missing.log"
grep -q 'apt install liblzf-dev libfast-float-dev' "$WORK/missing.log"
echo "discovery: fallback found both, and their absence is explained"
