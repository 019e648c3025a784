#!/usr/bin/env bash
# The sanitizer builds, as CI runs them:
# - AddressSanitizer + UndefinedBehaviorSanitizer: every C++ test, then the pytest suite with the
#   runtime preloaded into Python and Python's allocator switched to malloc, so that ASan sees
#   every Python object too;
# - ThreadSanitizer: the control loop's tests and the stress (WENLO_STRESS_CYCLES, default 1000).
# Any report fails the run. The only suppression is tests/tsan.supp (the CAN stand-in's descriptor
# reuse); leak checking is off only in processes that embed or are the interpreter, whose own
# allocations at exit are not ours (our references are checked by the refcount tests).
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "$0")/lib.sh"
asan=${WENLO_ASAN_DIR:-$root/build/asan}
tsan=${WENLO_TSAN_DIR:-$root/build/tsan}
python=$(command -v python3)
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: build"
cmake -S . -B "$asan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWENLO_SANITIZE=ON \
  -DWENLO_BUILD_TESTS=ON -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$asan"
echo "== AddressSanitizer + UndefinedBehaviorSanitizer: C++ tests"
ASAN_OPTIONS=halt_on_error=1:abort_on_error=0 ctest --test-dir "$asan" --output-on-failure -j2 \
  --timeout 300 -E '^control_loop_stress$'
echo "== AddressSanitizer + UndefinedBehaviorSanitizer: pytest"
libasan=$(g++ -print-file-name=libasan.so)
# The many-runs exit tests run fewer times here; the normal suite runs them in full.
LD_PRELOAD="$libasan" ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 PYTHONMALLOC=malloc \
  WENLO_BOUNDARY_RUNS=10 WENLO_EXIT_RUNS=5 PYTHONPATH="$asan/src" \
  wenlo_pytest "$python" "$root/tests"

echo "== ThreadSanitizer: build"
cmake -S . -B "$tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWENLO_TSAN=ON \
  -DWENLO_BUILD_TESTS=ON -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$tsan" --target control_loop_tests control_loop_stress fakecan
echo "== ThreadSanitizer: control loop tests and stress"
TSAN_OPTIONS="suppressions=$root/tests/tsan.supp halt_on_error=1" \
  ctest --test-dir "$tsan" --output-on-failure --timeout 900 -R '^control_loop_(tests|stress)$'
