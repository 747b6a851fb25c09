#!/usr/bin/env bash
# Builds kelvarin inside a Debian root file system (rootfs.sh) and runs the
# pytest suite there, and the C++ unit tests where the tree has them: i386 and
# arm64 (under qemu) in Debian 12, with its CPython, NumPy and pytest; sid,
# Debian unstable of this machine's architecture, with each of its newest
# CPythons (KELVARIN_SID_PYTHONS, default "3.14 3.15") and NumPy, pytest and
# mypy from the registry. The committed tree (HEAD) is what is built: commit first.
# The build backend comes from the registry. Runs as root.
#
#   bash scripts/foreign-arch.sh i386|arm64|sid [PYTEST ARGS...]
#
# Environment: KELVARIN_WORK (work dir; the run's files go to foreign-TARGET
# there and are removed afterwards), KELVARIN_ROOTFS_CACHE (see rootfs.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:-}
tools=(g++ make cmake ninja-build liblzf-dev libfast-float-dev doctest-dev)
case "$target" in
  i386 | arm64)
    shift
    rootfs=("$target" python3 python3-dev python3-venv python3-numpy python3-pytest "${tools[@]}")
    pythons=python3
    # Debian's NumPy and pytest, seen from the venv.
    venv_options=--system-site-packages
    registry_packages=
    ;;
  sid)
    shift
    rootfs=(--suite sid "$(dpkg --print-architecture)" "${tools[@]}")
    pythons=
    for version in ${KELVARIN_SID_PYTHONS:-3.14 3.15}; do
      rootfs+=("python$version" "python$version-dev" "python$version-venv")
      pythons+=" python$version"
    done
    venv_options=
    registry_packages="numpy pytest mypy"
    ;;
  *) sed -n '10p' "$0" >&2; exit 2 ;;
esac
work=$(bash scripts/work-dir.sh)
run=$work/foreign-$target

start=$(date +%s)
root=$(bash scripts/rootfs.sh "${rootfs[@]}")
setup_seconds=$(($(date +%s) - start))

rm -rf --one-file-system "$run"
trap 'rm -rf --one-file-system "$run"' EXIT
mkdir -p "$run/upper/root/kelvarin"
git archive HEAD | tar -x -C "$run/upper/root/kelvarin"
unit_tests=OFF
grep -q KELVARIN_UNIT_TESTS "$run/upper/root/kelvarin/CMakeLists.txt" && unit_tests=ON

# Each interpreter builds a wheel in a venv of its own, the build backend
# installed there (no build isolation) so that the build tree stays usable for
# ctest; the first one builds the unit tests too. Every build is made before
# the tests run, so that each interpreter's suite also sees the others' wheels
# (KELVARIN_WHEELHOUSE). The versions the run used are printed.
read -r -d '' inside <<'EOF' || true
set -eu
cd /root/kelvarin
status=0
unit_tests=$UNIT_TESTS
for python in $PYTHONS; do
  venv=/root/venv-$python build=/root/build-$python
  "$python" -m venv $VENV_OPTIONS "$venv"
  t0=$(date +%s)
  "$venv/bin/python" -m pip install -q "scikit-build-core>=0.10" "pybind11>=3.0,<3.1" \
    $REGISTRY_PACKAGES
  CMAKE_BUILD_PARALLEL_LEVEL=2 "$venv/bin/python" -m pip wheel -q --no-build-isolation \
    --no-deps -w "/root/wheels-$python" --config-settings=build-dir="$build" \
    --config-settings=cmake.define.KELVARIN_UNIT_TESTS="$unit_tests" \
    --config-settings=cmake.define.KELVARIN_X87_UNIT_TESTS=OFF .
  "$venv/bin/python" -m pip install -q --no-deps "/root/wheels-$python"/*.whl
  mkdir -p /root/wheelhouse
  mv "/root/wheels-$python"/*.whl /root/wheelhouse/
  "$venv/bin/python" - <<'PY'
import platform, sys
import numpy, pybind11
bits = "64-bit" if sys.maxsize > 2**32 else "32-bit"
print(f"{platform.machine()}: CPython {platform.python_version()} {bits}, NumPy {numpy.__version__},"
      f" pybind11 {pybind11.__version__}")
PY
  echo "compiler: $(c++ --version | head -n 1); build: $(($(date +%s) - t0)) s"
  if [ "$unit_tests" = ON ]; then
    cmake --build "$build" -j 2 >/dev/null && ctest --test-dir "$build" --output-on-failure \
      || status=1
    unit_tests=OFF
  fi
done
for python in $PYTHONS; do
  t0=$(date +%s)
  echo "pytest with $python:"
  (cd tests && PYTHONDONTWRITEBYTECODE=1 KELVARIN_WHEELHOUSE=/root/wheelhouse \
    "/root/venv-$python/bin/python" -m pytest -q -p no:cacheprovider $PYTEST_ARGS) || status=1
  echo "test: $(($(date +%s) - t0)) s"
done
exit "$status"
EOF

# On x86-64 an i386 process still sees x86_64 from uname (and so CMake) unless
# its personality says otherwise.
personality=()
[ "$target" = i386 ] && personality=(setarch i686)

echo "set-up: $setup_seconds s ($root)"
status=0
bash scripts/rootfs-run.sh --overlay "$run" "$root" UNIT_TESTS="$unit_tests" PYTEST_ARGS="$*" \
  PYTHONS="$pythons" VENV_OPTIONS="$venv_options" REGISTRY_PACKAGES="$registry_packages" \
  "${personality[@]}" sh -c "$inside" || status=$?
echo "foreign-arch $target: total $(($(date +%s) - start)) s"
exit "$status"
