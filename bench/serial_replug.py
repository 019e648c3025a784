"""The servo line's USB adapter unplugged and plugged back under a control loop at 100 Hz, on the
simulated robot: the time from the replug to the first good snapshot (p50 and max) and the CPU
share of the whole process while the line is away, over 20 runs (3 with BENCH_QUICK=1). Each run
is tests/serial_outage_run.py in a process of its own. Prints figures, asserts nothing.

    python3 bench/serial_replug.py        # needs the module and wenlo_sim installed
"""
import json
import os
import statistics
import subprocess
import sys

import wenlo_sim

RUNS = 3 if os.environ.get("BENCH_QUICK") == "1" else 20
SCENARIO = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                        "serial_outage_run.py")


def main():
    env = wenlo_sim.preload_env()
    env.pop(wenlo_sim.NAMESPACE_VARIABLE, None)
    to_good, cpu, cpu_plugged, closed, failed = [], [], [], [], 0
    for _ in range(RUNS):
        try:
            done = subprocess.run([sys.executable, SCENARIO, "loop"], env=env,
                                  capture_output=True, text=True, timeout=60)
        except subprocess.TimeoutExpired:
            failed += 1
            continue
        if done.returncode != 0:
            failed += 1
            print(done.stderr[-1500:], file=sys.stderr)
            continue
        figures = json.loads(done.stdout.strip().splitlines()[-1])
        to_good.append(figures["replug_to_good_snapshot_s"] * 1e3)
        cpu.append(figures["cpu_share_unplugged"] * 100)
        cpu_plugged.append(figures["cpu_share_plugged"] * 100)
        closed.append(figures["dead_fd_closed_after_s"] * 1e3)
    print(f"serial replug, loop at 100 Hz: {len(to_good)} of {RUNS} runs passed ({failed} failed)")
    if to_good:
        print(f"  replug -> first good snapshot: p50 {statistics.median(to_good):.1f} ms, "
              f"max {max(to_good):.1f} ms")
        print(f"  CPU while unplugged (whole process, worker included): "
              f"p50 {statistics.median(cpu):.2f} %, max {max(cpu):.2f} % of one core "
              f"(plugged, for comparison: p50 {statistics.median(cpu_plugged):.2f} %)")
        print(f"  unplug -> dead descriptor closed (as seen from Python): "
              f"p50 {statistics.median(closed):.1f} ms, max {max(closed):.1f} ms")


if __name__ == "__main__":
    main()
