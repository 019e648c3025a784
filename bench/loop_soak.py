"""Runs a control loop on the simulated robot for a while and prints its thread count,
descriptor count and memory every few seconds: all three must stay flat.

    python -m wenlo_sim bench/loop_soak.py [SECONDS] [PERIOD_MS]
"""
import datetime
import gc
import os
import sys
import time

from wenlo_motor_controller import WenloPyControlLoop

seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
period_ms = float(sys.argv[2]) if len(sys.argv) > 2 else 10.0


def usage():
    with open("/proc/self/status") as status:
        rss = next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
    return len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd")), rss


print(f"before the loop: threads, fds, RSS kB = {usage()}")
loop = WenloPyControlLoop(os.environ["WENLO_SIM_SERIAL"], datetime.timedelta(milliseconds=period_ms),
                          os.environ.get("WENLO_SIM_CAN", "can0"),
                          stats_pub_period=datetime.timedelta(milliseconds=200))
start = last = time.monotonic()
commands = 0
failed_reads = 0
while (now := time.monotonic()) - start < seconds:
    phase = now - start
    loop.set_arms_position([0.1 * (phase % 1.0)] * 4)
    loop.set_neck_position([0.0, 0.1, 0.0])
    try:
        loop.get_last_position()
    except RuntimeError:
        failed_reads += 1  # a tick that could not read the motors; counted, not fatal
    commands += 2
    if now - last >= 10 or phase < 0.01:
        gc.collect()
        stats = loop.get_stats()
        print(f"{phase:5.0f} s: threads, fds, RSS kB = {usage()}; {commands} commands; "
              f"{len(stats.period)} period samples kept; {failed_reads} failed reads seen; {stats}")
        last = now
    time.sleep(0.005)
loop.close()
gc.collect()
print(f"after close: threads, fds, RSS kB = {usage()}")
