#!/usr/bin/env bash
# Installs what is missing, then runs every test:
#   1. the native GoogleTest suites (structures, and the engine inside an
#      embedded interpreter), built with AddressSanitizer + UBSan;
#   2. the Python suite against the installed (release) module;
#   3. the Python suite again against the sanitizer build of the module;
#   4. the native thread tests (structures and engine) under ThreadSanitizer;
#   5. the leak tests under the interpreter's debug build, if there is one,
#      which also counts references.
# Before them it builds the self-contained wheel (scripts/wheel.sh), which the
# Python suite installs into fresh virtual environments, one of them made by
# the demo command from Debian's own interpreter.
# Every build compiles as a unity build (several sources per compiler run;
# pyproject.toml asks it of pip's): they are made afresh on every clean run,
# and most of their time would go on parsing the same headers again.
# Set TARNWICK_SKIP_SANITIZERS=1 to run only the plain stages while developing.
# See scripts/env.sh for the interpreter it uses.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-2}
t0=$(date +%s)
stage() { echo; echo "== $1 ($(( $(date +%s) - t0 ))s)"; }
# Runs a GoogleTest binary as $JOBS shards at once; fails if any shard fails.
sharded() {
  local i pids=() failed=0
  for ((i = 0; i < JOBS; i++)); do
    GTEST_TOTAL_SHARDS=$JOBS GTEST_SHARD_INDEX=$i "$@" & pids+=($!)
  done
  for i in "${pids[@]}"; do wait "$i" || failed=1; done
  return $failed
}
# The Python suites run on $JOBS workers: many tests wait on threads, forks and
# child interpreters for a fixed time, and those waits overlap.
PYTEST=(-m pytest -q -p no:cacheprovider -n "$JOBS")

stage "setup"
source scripts/env.sh
tarnwick_setup test

stage "self-contained wheel"
# Repairs the wheel of the build just installed: nothing is compiled again.
TARNWICK_TEST_WHEEL=$(bash scripts/wheel.sh)
export TARNWICK_TEST_WHEEL
echo "$TARNWICK_TEST_WHEEL"

if [ "${TARNWICK_SKIP_SANITIZERS:-0}" != 1 ]; then
  stage "native tests (ASan+UBSan)"
  cmake -S . -B build/asan -G Ninja -DTARNWICK_SANITIZE=ON -DTARNWICK_NATIVE_TESTS=ON \
        -DTARNWICK_BUILD_MODULE=ON -DCMAKE_UNITY_BUILD=ON -DPython_EXECUTABLE="$(command -v "$PY")" >/dev/null
  cmake --build build/asan -j"$JOBS"
  ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    sharded ./build/asan/tarnwick_native_tests --gtest_brief=1
  ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ./build/asan/tarnwick_engine_tests --gtest_brief=1
else
  stage "native tests"
  cmake -S . -B build/native -G Ninja -DTARNWICK_BUILD_MODULE=OFF -DTARNWICK_NATIVE_TESTS=ON >/dev/null
  cmake --build build/native -j"$JOBS"
  sharded ./build/native/tarnwick_native_tests --gtest_brief=1
  ./build/native/tarnwick_engine_tests --gtest_brief=1
fi

stage "python tests (release build)"
(cd tests && "$PY" "${PYTEST[@]}" .)

if [ "${TARNWICK_SKIP_SANITIZERS:-0}" != 1 ]; then
  stage "python tests (ASan+UBSan build)"
  asan_lib=$(${CXX:-g++} -print-file-name=libasan.so)
  cxx_lib=$(${CXX:-g++} -print-file-name=libstdc++.so)
  (cd tests && PYTHONPATH="$PWD/../build/asan" LD_PRELOAD="$asan_lib $cxx_lib" PYTHONMALLOC=malloc \
     ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
     TARNWICK_SANITIZED=1 "$PY" "${PYTEST[@]}" -s .)

  stage "native thread tests (TSan)"
  # Only the structure and engine tests with thread tests (those the filter
  # below runs).
  cmake -S . -B build/tsan -G Ninja -DTARNWICK_TSAN=ON -DTARNWICK_NATIVE_TESTS=ON \
        -DTARNWICK_BUILD_MODULE=OFF -DCMAKE_UNITY_BUILD=ON \
        -DTARNWICK_NATIVE_TEST_NAMES='counted_ptr;id_alloc;id_map;numerical_bitmap;sharded_hashmap;slot_pool;string_interner' \
        -DTARNWICK_ENGINE_TEST_NAMES='direct_references;id_match;index_threads;indexable_record;nested_threads;private_threads;query_map_threads;reference_boxes' >/dev/null
  cmake --build build/tsan -j"$JOBS"
  TSAN_OPTIONS=halt_on_error=1 ./build/tsan/tarnwick_native_tests --gtest_brief=1 \
    --gtest_filter='*Thread*:*Concurren*'
  TSAN_OPTIONS=halt_on_error=1 ./build/tsan/tarnwick_engine_tests --gtest_brief=1 \
    --gtest_filter='*Thread*:*Concurren*'
fi
dbg_python=$("$PY" -c 'import sys; print("python%d.%dd" % sys.version_info[:2])')
if command -v "$dbg_python" >/dev/null 2>&1; then
  stage "reference counts (debug interpreter)"
  # Unoptimised: it only counts references, and compiles faster.
  cmake -S . -B build/dbg -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_UNITY_BUILD=ON -DPython_EXECUTABLE="$(command -v "$dbg_python")" >/dev/null
  cmake --build build/dbg -j"$JOBS" --target Tarnwick
  # pytest and its plugins are pure Python: the debug interpreter borrows them
  # (from the virtual environment and from the interpreter it was made from).
  site=$("$PY" -c 'import site; print(":".join(site.getsitepackages()))')
  (cd tests && PYTHONPATH="$PWD/../build/dbg:$site" "$dbg_python" -m pytest -q -p no:cacheprovider test_leaks.py)
fi
stage "all tests passed"
