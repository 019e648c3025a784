#!/usr/bin/env bash
# Installs what the tests need, builds everything with the C++ tests, and runs them all:
# the C++ suites (CTest), the CAN suites once more inside a VM on a real kernel's vcan, and
# pytest on the simulated robot under every supported CPython found on the machine.
# Everything is installed into virtual environments of the project (.venv for python3, .venvs/
# for the others), never into the interpreters themselves.
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "$0")/lib.sh"
build=${WENLO_BUILD_DIR:-$root/build/ci}
test_deps=("scikit-build-core>=0.10" "cmake>=3.24" ninja pytest numpy mypy hypothesis
           "websockets>=13" protobuf  # a Foxglove WebSocket client in the tests
           "rich>=13" "mcap>=1.1" matplotlib "foxglove-sdk>=0.30")  # the wenlo tool's extra

# The interpreters to test, found before the venv is first on PATH.
mapfile -t pythons < <(bash scripts/pythons.sh)
bash scripts/setup-system.sh
wenlo_enter_venv python3
python3 -m pip install -q "${test_deps[@]}"

# One build serves both: the wheel that pip installs and the C++ tests in the same tree.
wenlo_install_module . "$build" RelWithDebInfo WENLO_BUILD_TESTS=ON WENLO_WERROR=ON

ctest --test-dir "$build" --output-on-failure -j2 --timeout 300

# The bindings keep the project's format (.clang-format: no line over 100 columns).
echo "== format of the bindings"
clang-format-19 --dry-run -Werror src/bindings/*.h src/bindings/*.cpp

if [ "${WENLO_SKIP_VM:-0}" != "1" ]; then
  bash scripts/vm/run-can-tests-in-vm.sh "$build"
fi

# Coverage-guided fuzzing of the parsers, a fixed number of runs per target.
if [ "${WENLO_SKIP_FUZZ:-0}" != "1" ]; then
  echo "== fuzzing"
  FUZZ_RUNS=${FUZZ_RUNS:-300000} bash scripts/fuzz.sh
fi

version_of() { "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])'; }

failed=()
main_version=$(version_of python3)
echo "== pytest on Python $main_version (python3)"
wenlo_pytest python3 "$root/tests" || failed+=("$main_version")

# A slice of the suite, again and again in one process: nothing may accumulate.
echo "== repeated slice in one process"
wenlo_on_sim python3 "$root/tests/repeat_slice.py" 3 >/tmp/wenlo-repeat.txt 2>&1 ||
  { cat /tmp/wenlo-repeat.txt; failed+=("repeated slice"); }
grep -E "^(round|from)" /tmp/wenlo-repeat.txt || true

# The benchmarks are not tests, but a short run proves they still start and finish.
echo "== benchmark smoke run"
BENCH_QUICK=1 WENLO_BUILD_DIR="$build" bash bench/run_all.sh >/tmp/wenlo-bench-smoke.txt 2>&1 ||
  { cat /tmp/wenlo-bench-smoke.txt; failed+=("benchmarks"); }

# The ROS 2 tests, under a Python where the ros extra brought rclpy (its wheels exist for
# CPython 3.12 on x86-64), in a network namespace of their own with lo alone: no packet leaves.
ros_tests() {
  local py=$1 version
  version=$(version_of "$py")
  if ! "$py" -c 'import rclpy' 2>/dev/null; then
    echo "== ROS 2 tests: not on Python $version (the ros extra brings rclpy to 3.12 on x86-64 only)"
    return 0
  fi
  if ! unshare --net true 2>/dev/null; then
    echo "== ROS 2 tests on Python $version: SKIPPED, unshare --net is refused to $(id -un) here" >&2
    [ "${CI:-}" = true ] && return 1
    return 0
  fi
  echo "== ROS 2 tests on Python $version, in a network namespace of their own"
  unshare --net -- bash -c 'ip link set lo up && source scripts/lib.sh && wenlo_pytest "$@"' _ \
    "$py" -rsP "$root/tests/test_ros.py"  # -rP: the figures the tests print
}

# The other supported Pythons: the module alone, built against each one's headers, each in a
# venv of its own; with the ros extra, which is empty where its wheels do not exist.
for py in "${pythons[@]}"; do
  version=$(version_of "$py")
  [ "$version" = "$main_version" ] && continue
  echo "== build and pytest on Python $version ($py)"
  if (wenlo_enter_venv "$py" "$root/.venvs/$version" &&
      python3 -m pip install -q "${test_deps[@]}" &&
      wenlo_install_module -q '.[ros]' "$build-py$version" RelWithDebInfo WENLO_WERROR=ON &&
      wenlo_pytest "$root/.venvs/$version/bin/python3" "$root/tests" &&
      ros_tests "$root/.venvs/$version/bin/python3"); then
    :
  else
    failed+=("$version")
  fi
done

# AddressSanitizer + UndefinedBehaviorSanitizer over everything, ThreadSanitizer over the loop.
if [ "${WENLO_SKIP_SANITIZERS:-0}" != "1" ]; then
  bash scripts/sanitizers.sh || failed+=("sanitizers")
fi

if [ ${#failed[@]} -gt 0 ]; then
  echo "failed: ${failed[*]}" >&2
  exit 1
fi
