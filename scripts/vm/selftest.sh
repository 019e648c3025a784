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
    # Mount ids and the ptmx nodes: a mount leaking out of the VM or a replaced /dev/ptmx
    # would change this. (Not the list of ptys: other programs open them meanwhile.)
    cat /proc/self/mountinfo
    stat -c '%F %t:%T %a' /dev/ptmx
    stat -c '%F %t:%T %a' /dev/pts/ptmx
}
before="$(host_state)"

# The system interpreter: a version manager's shim is slow under emulation.
python=/usr/bin/python3
[[ -x "$python" ]] || python=python3

check "two raw CAN sockets on two vcan interfaces" 0 \
    "$run" --timeout 300 --iface can0 --iface vcan1 -- "$python" "$here/vcan_check.py" can0 vcan1

check "success propagates" 0 "$run" --timeout 300 -- true

# A folder outside /tmp, which the VM covers with its own tmpfs.
out="$(mktemp -d /var/tmp/wenlo-vm-selftest.XXXXXX)"
trap 'rm -rf "$out"' EXIT

# Quoting, folder and environment are checked inside; 42 comes back only if all hold.
check "failure status, folder, environment and arguments propagate" 42 \
    env -C "$here" WENLO_SELFTEST_VALUE="a 'b' \$c" LD_PRELOAD="" \
    "$run" --timeout 300 -- bash -c '
        [[ "$PWD" == "$1" ]] || { echo "wrong folder: $PWD"; exit 1; }
        [[ "$WENLO_SELFTEST_VALUE" == "a '\''b'\'' \$c" ]] || { echo "wrong env"; exit 1; }
        [[ -z "${LD_PRELOAD+set}" ]] || { echo "LD_PRELOAD leaked in"; exit 1; }
        [[ "$2" == "x  y" && $# == 3 ]] || { echo "wrong arguments: $*"; exit 1; }
        echo "written in the VM" >"$3/result"
        exit 42' _ "$here" "x  y" "$out"

if [[ "$(cat "$out/result" 2>/dev/null)" == "written in the VM" ]]; then
    echo "selftest: ok: a file written in the VM is on the host afterwards"
    passed=$((passed + 1))
else
    echo "selftest: FAILED: the file written in the VM is missing or wrong on the host"
    failed=$((failed + 1))
fi

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
