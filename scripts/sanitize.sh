#!/usr/bin/env bash
# Builds kelvarin with AddressSanitizer + UndefinedBehaviorSanitizer (gcc) for
# CPython 3.11, with every ASCII kernel the target allows, and runs the C++
# unit tests (which decode with each kernel the processor runs) and the whole
# pytest suite (the kernel loads pick) under it.
#
#   bash scripts/sanitize.sh [PYTEST ARGS...]
#
# Environment: SANITIZE_DIR (work directory: venv and build tree; default a
# fresh temp dir, reuse it to rebuild incrementally).
# Any ASan or UBSan report aborts the interpreter, which fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
WORK=${SANITIZE_DIR:-$(mktemp -d /tmp/kelvarin-sanitize.XXXXXX)}

bash scripts/install-debs.sh g++ libasan8 libubsan1 liblzf-dev libfast-float-dev cmake doctest-dev

PY=$(bash scripts/host-python.sh 3.11)
if [ ! -x "$WORK/venv/bin/python" ]; then
  "$PY" -m venv "$WORK/venv"
fi
VPY=$WORK/venv/bin/python
"$VPY" -m pip install -q --disable-pip-version-check \
  "scikit-build-core>=0.10" "pybind11>=3.0,<3.1" numpy pytest

# -fno-sanitize-recover turns every UBSan finding into an abort; frame pointers
# and -g give readable stacks. The flags reach the link of the module too, so
# it depends on gcc's libasan and libubsan.
FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g -O1"
CC=gcc CXX=g++ "$VPY" -m pip install -q --disable-pip-version-check --no-build-isolation \
  --force-reinstall --no-deps "$ROOT" \
  --config-settings=build-dir="$WORK/build" \
  --config-settings=cmake.build-type=RelWithDebInfo \
  --config-settings=cmake.define.KELVARIN_UNIT_TESTS=ON \
  --config-settings=cmake.define.KELVARIN_X87_UNIT_TESTS=OFF \
  --config-settings=cmake.define.CMAKE_CXX_FLAGS="$FLAGS"

# CPython itself is not instrumented, so the ASan runtime has to be loaded
# first, ahead of the interpreter's own malloc.
ASAN_LIB=$(g++ -print-file-name=libasan.so)
UBSAN_LIB=$(g++ -print-file-name=libubsan.so)
for lib in "$ASAN_LIB" "$UBSAN_LIB"; do
  [ -e "$lib" ] || { echo "sanitize.sh: runtime not found: $lib" >&2; exit 1; }
done
MODULE=$("$VPY" -c 'import importlib.util as u; print(u.find_spec("kelvarin").origin)')
if ! ldd "$MODULE" | grep libasan >/dev/null; then
  echo "sanitize.sh: the installed module is not linked against libasan" >&2
  exit 1
fi

# detect_leaks=0: LeakSanitizer would report the objects the interpreter
# deliberately keeps until exit, and stacks through the uninstrumented
# interpreter cannot be told apart from ours. Leaks of the reader are covered
# by tests/test_lifetime.py (heap and RSS stay flat over thousands of loads)
# and by the fuzzer (pure C++ path, LeakSanitizer on).
# allocator_may_return_null=1: a failed allocation becomes MemoryError as it
# would without ASan, instead of an abort.
# PYTHONMALLOC=malloc routes Python's small objects through ASan's malloc too.
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:halt_on_error=1:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1"
export PYTHONMALLOC=malloc
export PYTHONDONTWRITEBYTECODE=1
# Tests that measure memory read it differently under ASan (shadow memory,
# quarantine); they look at this variable.
export KELVARIN_SANITIZED=1

# The unit tests are instrumented executables of their own, leak checks included.
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:halt_on_error=1" \
  ctest --test-dir "$WORK/build" --output-on-failure

cd "$ROOT/tests"
LD_PRELOAD="$ASAN_LIB $UBSAN_LIB" "$VPY" -m pytest -q -p no:cacheprovider "$@"
