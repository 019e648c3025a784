#!/usr/bin/env bash
# The reliability suite at full length (CI runs short versions of each), ending with one table:
# test, runs, failures. Needs the module installed and a build with the tests
# (WENLO_BUILD_DIR, default build/ci); takes about an hour on a 2-core machine.
set -uo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "$0")/lib.sh"
build=${WENLO_BUILD_DIR:-$root/build/ci}
preload="$build/sim/fakecan/libfakecan.so"
rows=()
row() { rows+=("$(printf '%-58s %12s %10s' "$1" "$2" "$3")"); }
# Failed runs in the "N runs on Python ...: {counts}" lines of run_many for N runs each; a
# missing line is no result, not a success.
failed_runs() {
  echo "$1" | awk -v n="$2" '$0 ~ ("^[.F]*" n " runs on") {
      seen++; ok = 0
      if (match($0, /.ok.: [0-9]+/)) { split(substr($0, RSTART, RLENGTH), a, ": "); ok = a[2] }
      failed += n - ok
    } END { if (seen) print failed + 0; else print "no result" }'
}

# Fault soak: 1,000,000 serial and 100,000 CAN exchanges with faults, each value checked.
out=$(WENLO_SOAK_SERIAL=1000000 WENLO_SOAK_CAN=100000 WENLO_FAKECAN_DIR="$build/can-namespace" \
  WENLO_FAKECAN_IFACES=fstest0 \
  WENLO_CAN_IFACE=fstest0 LD_PRELOAD="$preload" "$build/tests/cpp/fault_soak" 2>&1 | grep -v '^read crc')
echo "$out" | grep -E "soak|fault |outcome|taken|simulator|mismatch at"
row "fault soak, serial (mismatches)" 1000000 "$(echo "$out" | sed -n 's/^serial soak: .*, \([0-9]*\) replies.*/\1/p')"
row "  unsolicited packets read while their servo was asked" 1000000 "$(echo "$out" | sed -n 's/^ *unsolicited packets taken for an answer \([0-9]*\)/\1/p')"
row "  mismatches where the simulator itself ran 10 ms late" 1000000 "$(echo "$out" | sed -n 's/^ *mismatches where the simulator ran over 10 ms late \([0-9]*\)/\1/p')"
row "fault soak, CAN (mismatches)" 100000 "$(echo "$out" | sed -n 's/^CAN soak: .*, \([0-9]*\) replies.*/\1/p')"

# Coverage-guided fuzzing, 2,000,000 runs per target.
out=$(FUZZ_RUNS=2000000 bash scripts/fuzz.sh 2>&1); echo "$out"
row "fuzzing, 5 targets (failed targets)" 10000000 "$(echo "$out" | grep -c FAILED)"

# ThreadSanitizer: the loop stress, 1,000 cycles.
if TSAN_OPTIONS="suppressions=$root/tests/tsan.supp halt_on_error=1" WENLO_STRESS_CYCLES=1000 \
    ctest --test-dir "${WENLO_TSAN_DIR:-$root/build/tsan}" -R '^control_loop_stress$' >/dev/null 2>&1; then
  row "ThreadSanitizer loop stress (cycles; failed runs)" 1000 0
else
  row "ThreadSanitizer loop stress (cycles; failed runs)" 1000 1
fi

# Ending a program five ways, 200 runs each.
out=$(WENLO_EXIT_RUNS=200 wenlo_pytest python3 -s "$root/tests/test_loop_threads.py" -k ending 2>&1)
echo "$out" | grep -E "runs on|passed|failed|hang|exit "
row "ending without close, 5 ways x 200 (failed runs)" 1000 \
  "$(failed_runs "$out" 200)"

# close() racing commands, records and collection, 10,000 cycles in 100 processes of 100.
out=$(WENLO_RACE_CYCLES=10000 wenlo_pytest python3 -s "$root/tests/test_loop_threads.py" \
  -k close_racing 2>&1)
echo "$out" | grep -E "runs on|passed|failed|hang|exit "
row "close() racing commands, records and gc (failed cycles of 100)" 10000 \
  "$(failed_runs "$out" 100)"

# A slice of the suite 20 times in one process.
out=$(wenlo_on_sim python3 "$root/tests/repeat_slice.py" 20 2>&1)
echo "$out" | grep -E "^(round|from)"
row "repeated slice in one process (rounds; growth)" 20 "$(echo "$out" | sed -n 's/^from round .*: //p')"

echo
printf '%-58s %12s %10s\n' test runs failures
printf '%s\n' "${rows[@]}"
