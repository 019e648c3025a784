#!/usr/bin/env bash
# Runs every benchmark on the simulated robot and prints the figures bench/README.md records.
# Needs the module installed (pip install .) and, for the C++ timing of a dropped log record, a
# build with the tests (WENLO_BUILD_DIR, default build/ci). BENCH_QUICK=1 makes a short smoke run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${WENLO_BUILD_DIR:-$root/build/ci}
cd /tmp
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs), Python $(python3 -c 'import platform; print(platform.python_version())')"
python3 -m wenlo_sim --wire-time "$root/bench/sync_ops.py"
python3 -m wenlo_sim --wire-time "$root/bench/syscalls.py"
python3 -m wenlo_sim --no-robot "$root/bench/loop_timing.py"
python3 -m wenlo_sim --no-robot "$root/bench/estop_latency.py"
if [ -x "$build/bench/bench_log_drop" ]; then
  records=50000000
  [ "${BENCH_QUICK:-0}" = "1" ] && records=1000000
  echo "(f) $("$build/bench/bench_log_drop" "$records" 2>/dev/null)"
else
  echo "(f) $build/bench/bench_log_drop is not built (configure with -DWENLO_BUILD_TESTS=ON)"
fi
