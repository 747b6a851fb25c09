#!/usr/bin/env bash
# A bounded coverage-guided fuzzing pass over the C++ reader (libFuzzer, with
# AddressSanitizer and UndefinedBehaviorSanitizer). Every "ascii" input is
# read again with each ASCII kernel the processor runs, through a window of a
# few bytes, and must give the same records.
#
#   bash scripts/fuzz.sh [SECONDS]       default 60
#
# Environment: FUZZ_DIR (work directory, default a fresh temp dir; reuse it to
# keep the grown corpus between passes), FUZZ_WORKERS (default 1).
# Exits non-zero when libFuzzer reports a crash, a sanitizer finding, a
# timeout or an out-of-memory; the reproducer is left in $FUZZ_DIR/artifacts.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
SECONDS_TO_RUN=${1:-60}
WORK=${FUZZ_DIR:-$(mktemp -d /tmp/kelvarin-fuzz.XXXXXX)}
WORKERS=${FUZZ_WORKERS:-1}

bash scripts/install-debs.sh clang libclang-rt-14-dev liblzf-dev libfast-float-dev cmake ninja-build

# CMakeLists.txt finds Python and pybind11 even when only the fuzzer is built.
PY=$(bash scripts/host-python.sh 3.11)
if [ ! -x "$WORK/venv/bin/python" ]; then
  "$PY" -m venv "$WORK/venv"
  "$WORK/venv/bin/python" -m pip install -q --disable-pip-version-check "pybind11>=3.0,<3.1"
fi

CC=clang CXX=clang++ cmake -S "$ROOT" -B "$WORK/build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVARIN_FUZZER=ON \
  -DPython_EXECUTABLE="$WORK/venv/bin/python" \
  -Dpybind11_DIR="$("$WORK/venv/bin/python" -m pybind11 --cmakedir)" >"$WORK/cmake.log"
cmake --build "$WORK/build" --target fuzz_pcd_reader >"$WORK/build.log"

mkdir -p "$WORK/corpus" "$WORK/seeds" "$WORK/artifacts"
"$WORK/venv/bin/python" tests/fuzz/make_seeds.py "$WORK/seeds"
SEED_DIRS=("$WORK/seeds" "$ROOT/tests/data/corpus/files")

# 2 GiB point buffers are allowed by design (calloc'd, untouched): the malloc
# limit sits just above them, the RSS limit catches memory actually used.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
PARALLEL=()
[ "$WORKERS" -gt 1 ] && PARALLEL=(-jobs="$WORKERS" -workers="$WORKERS")
echo "fuzzing for ${SECONDS_TO_RUN}s in $WORK"
status=0
(cd "$WORK" && exec ./build/fuzz_pcd_reader \
  -max_total_time="$SECONDS_TO_RUN" -max_len=65536 -timeout=10 \
  -rss_limit_mb=1024 -malloc_limit_mb=2049 \
  -dict="$ROOT/tests/fuzz/pcd.dict" -artifact_prefix="$WORK/artifacts/" \
  -print_final_stats=1 "${PARALLEL[@]}" \
  "$WORK/corpus" "${SEED_DIRS[@]}") >"$WORK/fuzz.log" 2>&1 || status=$?
# Parallel jobs write their output to fuzz-N.log in the work directory.
for log in "$WORK"/fuzz-*.log; do [ -e "$log" ] && cat "$log" >>"$WORK/fuzz.log"; done
grep -E '^(#[0-9]+.*DONE|Done [0-9]+ runs|stat::)' "$WORK/fuzz.log" | tail -n 12 || true
if [ "$status" -ne 0 ] || ls "$WORK"/artifacts/* >/dev/null 2>&1; then
  tail -n 60 "$WORK/fuzz.log"
  echo "fuzzing found a problem; reproducers:" "$WORK"/artifacts/*
  exit 1
fi
echo "fuzzing: no findings in ${SECONDS_TO_RUN}s"
