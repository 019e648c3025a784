#!/usr/bin/env bash
# Runs the CAN test executables of a build folder against a real kernel's vcan, all in one VM
# boot. Without LD_PRELOAD, so the tests exercise the kernel's SocketCAN, not the stand-in.
#
# Usage: run-can-tests-in-vm.sh BUILD_DIR
# Fails if any test program fails or if BUILD_DIR has none of them.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
readonly TESTS=(
    sim/fakecan/fakecan_tests
    sim/damiao/damiaosim_tests
    candrive/tests/candrive_socketcan_tests
)

(($# == 1)) || { echo "usage: run-can-tests-in-vm.sh BUILD_DIR" >&2; exit 2; }
[[ -d "$1" ]] || { echo "run-can-tests-in-vm: error: no build folder '$1'" >&2; exit 2; }
build="$(cd "$1" && pwd -P)"

found=()
for t in "${TESTS[@]}"; do
    if [[ -x "$build/$t" ]]; then
        found+=("$build/$t")
    else
        echo "run-can-tests-in-vm: not built: $t"
    fi
done
# A control loop while the kernel's link goes down and up, then while can0 is deleted and made
# again: needs the module and the simulated robot installed for the python3 on PATH
# (scripts/test.sh installs both first).
if python3 -c "import wenlo_motor_controller, wenlo_sim" 2>/dev/null; then
    found+=("$here/loop_link_check.py")
else
    echo "run-can-tests-in-vm: not installed for $(command -v python3): the module (loop_link_check.py)"
fi
# After the programs that expect the can0 the VM made, since it deletes can0 and creates it
# again: the kernel's view of an unplugged adapter, which the stand-in imitates.
found+=("$here/unplug_check.py")
if ((${#found[@]} == 0)); then
    echo "run-can-tests-in-vm: error: none of ${TESTS[*]} exists in $build" >&2
    exit 1
fi

# Inside the VM: run every program even after a failure, then report which failed.
# shellcheck disable=SC2016 # expanded inside the VM
driver='
failed=()
for t in "$@"; do
    echo "=== $t"
    start=$SECONDS
    if "$t"; then
        echo "=== passed: $t ($((SECONDS - start)) s in the VM)"
    else
        rc=$?
        echo "=== FAILED (exit status $rc): $t"
        failed+=("$t")
    fi
done
echo "CAN test programs on the kernel vcan: $(($# - ${#failed[@]})) of $# passed"
for t in "${failed[@]}"; do echo "  failed: $t"; done
((${#failed[@]} == 0))
'

export WENLO_CAN_IFACE=can0
# Software emulation is several times slower than the host: a generous guard.
cd "$build"
exec "$here/run-in-vm.sh" --iface can0 --timeout "${WENLO_VM_TEST_TIMEOUT:-2400}" \
    -- bash -c "$driver" run-can-tests "${found[@]}"
