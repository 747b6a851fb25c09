#!/usr/bin/env bash
# Builds kelvarin for another architecture inside a Debian 12 root file system
# of it (rootfs.sh; arm64 runs under qemu) and runs the pytest suite there, and
# the C++ unit tests where the tree has them. The committed tree (HEAD) is
# what is built: commit first. Everything is installed from Debian's packages
# except the build backend, which pip takes from the registry. Runs as root.
#
#   bash scripts/foreign-arch.sh i386|arm64 [PYTEST ARGS...]
#
# Environment: KELVARIN_WORK (work dir; the run's files go to foreign-ARCH
# there and are removed afterwards), KELVARIN_ROOTFS_CACHE (see rootfs.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:-}
case "$arch" in
  i386 | arm64) shift ;;
  *) sed -n '8p' "$0" >&2; exit 2 ;;
esac
packages=(python3 python3-dev python3-venv python3-numpy python3-pytest g++ make cmake ninja-build
          liblzf-dev libfast-float-dev doctest-dev)
work=$(bash scripts/work-dir.sh)
run=$work/foreign-$arch

start=$(date +%s)
root=$(bash scripts/rootfs.sh "$arch" "${packages[@]}")
setup_seconds=$(($(date +%s) - start))

rm -rf --one-file-system "$run"
trap 'rm -rf --one-file-system "$run"' EXIT
mkdir -p "$run/upper/root/kelvarin"
git archive HEAD | tar -x -C "$run/upper/root/kelvarin"
unit_tests=OFF
grep -q KELVARIN_UNIT_TESTS "$run/upper/root/kelvarin/CMakeLists.txt" && unit_tests=ON

# The venv sees Debian's NumPy and pytest. The build backend goes into the venv
# (no build isolation), so that the build tree stays usable for ctest.
read -r -d '' inside <<'EOF' || true
set -eu
cd /root/kelvarin
echo "$(uname -m): $(python3 -c 'import platform, sys; print(platform.python_version(), sys.maxsize > 2**32 and "64-bit" or "32-bit")')"
python3 -m venv --system-site-packages /root/venv
t0=$(date +%s)
/root/venv/bin/python -m pip install -q "scikit-build-core>=0.10" "pybind11>=3.0,<3.1"
CMAKE_BUILD_PARALLEL_LEVEL=2 /root/venv/bin/python -m pip install -q --no-build-isolation \
  --config-settings=build-dir=/root/build \
  --config-settings=cmake.define.KELVARIN_UNIT_TESTS="$UNIT_TESTS" .
t1=$(date +%s)
echo "build: $((t1 - t0)) s"
status=0
if [ "$UNIT_TESTS" = ON ]; then
  cmake --build /root/build -j 2 >/dev/null && ctest --test-dir /root/build --output-on-failure \
    || status=1
fi
cd tests
PYTHONDONTWRITEBYTECODE=1 /root/venv/bin/python -m pytest -q -p no:cacheprovider $PYTEST_ARGS \
  || status=1
echo "test: $(($(date +%s) - t1)) s"
exit "$status"
EOF

# On x86-64 an i386 process still sees x86_64 from uname (and so CMake) unless
# its personality says otherwise.
personality=()
[ "$arch" = i386 ] && personality=(setarch i686)

echo "set-up: $setup_seconds s ($root)"
status=0
bash scripts/rootfs-run.sh --overlay "$run" "$root" UNIT_TESTS="$unit_tests" PYTEST_ARGS="$*" \
  "${personality[@]}" sh -c "$inside" || status=$?
echo "foreign-arch $arch: total $(($(date +%s) - start)) s"
exit "$status"
