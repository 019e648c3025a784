#!/usr/bin/env bash
# Installs what the tests need, builds everything with the C++ tests, and runs them all:
# the C++ suites (CTest), the CAN suites once more inside a VM on a real kernel's vcan, and
# pytest on the simulated robot.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${WENLO_BUILD_DIR:-$root/build/ci}

bash scripts/setup-system.sh
python3 -m pip install -q "scikit-build-core>=0.10" "cmake>=3.24" ninja pytest numpy

# One build serves both: the wheel that pip installs and the C++ tests in the same tree.
python3 -m pip install -q --no-build-isolation . \
  -Cbuild-dir="$build" \
  -Ccmake.build-type=RelWithDebInfo \
  -Ccmake.define.WENLO_BUILD_TESTS=ON \
  -Ccmake.define.WENLO_WERROR=ON

ctest --test-dir "$build" --output-on-failure -j2 --timeout 300

if [ "${WENLO_SKIP_VM:-0}" != "1" ]; then
  bash scripts/vm/run-can-tests-in-vm.sh "$build"
fi

# pytest runs outside the checkout so that it imports the installed module.
cd /tmp
python3 -m wenlo_sim --no-robot -- python3 -m pytest -q -p no:cacheprovider "$root/tests"
