#!/usr/bin/env bash
# Self-test of run-in-vm.sh: real kernel CAN semantics in the VM, exit-status propagation,
# the command's folder, environment and arguments, the guard time-out, and that the host's
# mounts and /dev are left as they were.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
run="$here/run-in-vm.sh"
passed=0
failed=0

check() {
    local name="$1" want="$2" got
    shift 2
    local start=$SECONDS
    set +e
    "$@"
    got=$?
    set -e
    if [[ "$got" == "$want" ]]; then
        echo "selftest: ok: $name (exit $got, $((SECONDS - start)) s)"
        passed=$((passed + 1))
    else
        echo "selftest: FAILED: $name: exit status $got, expected $want"
        failed=$((failed + 1))
    fi
}

host_state() {
    # Mount ids and the ptmx node: any mount leaking out of the VM or a replaced /dev/ptmx
    # would change this.
    cat /proc/self/mountinfo
    stat -c '%F %t:%T %a' /dev/ptmx
    ls /dev/pts
}
before="$(host_state)"

check "two raw CAN sockets on two vcan interfaces" 0 \
    "$run" --timeout 300 --iface can0 --iface vcan1 -- python3 "$here/vcan_check.py" can0 vcan1

check "success propagates" 0 "$run" --timeout 300 -- true

# Quoting, folder and environment are checked inside; 42 comes back only if all hold.
check "failure status, folder, environment and arguments propagate" 42 \
    env -C "$here" WENLO_SELFTEST_VALUE="a 'b' \$c" LD_PRELOAD="" \
    "$run" --timeout 300 -- bash -c '
        [[ "$PWD" == "$1" ]] || { echo "wrong folder: $PWD"; exit 1; }
        [[ "$WENLO_SELFTEST_VALUE" == "a '\''b'\'' \$c" ]] || { echo "wrong env"; exit 1; }
        [[ -z "${LD_PRELOAD+set}" ]] || { echo "LD_PRELOAD leaked in"; exit 1; }
        [[ "$2" == "x  y" && $# == 2 ]] || { echo "wrong arguments: $*"; exit 1; }
        exit 42' _ "$here" "x  y"

check "guard time-out stops the VM" 124 "$run" --timeout 20 -- sleep 600

if [[ "$(host_state)" == "$before" ]]; then
    echo "selftest: ok: the host's mounts, /dev/ptmx and /dev/pts are unchanged"
    passed=$((passed + 1))
else
    echo "selftest: FAILED: the host's mounts or /dev changed:"
    diff <(echo "$before") <(host_state) || true
    failed=$((failed + 1))
fi

echo "selftest: $passed passed, $failed failed"
((failed == 0))
