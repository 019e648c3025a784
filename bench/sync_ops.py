"""(a) latency and CPU per call of the synchronous operations against the wire floor, and
(d) the cost of get_last_position(), get_last_health(), get_stats() and, per snapshot,
drain_positions() from Python.

    python -m wenlo_sim --wire-time bench/sync_ops.py
"""
import datetime
import os
import statistics
import time

from wenlo_motor_controller import WenloMotorController, WenloPyControlLoop

SERIAL = os.environ["WENLO_SIM_SERIAL"]
SCALE = 0.05 if os.environ.get("BENCH_QUICK") == "1" else 1.0  # a smoke run
CAN = os.environ.get("WENLO_SIM_CAN", "can0")

# The wire model of the simulated robot: 10 us a byte at 1 Mbaud, 20 us before each servo
# answer; a classic CAN frame of 8 bytes is 111 to 135 bits at 1 Mbit/s (stuffing), and a
# motor answers 30 us after the request's last bit.
BYTE, RETURN_DELAY, PROCESSING = 10, 20, 30
FRAME = (111, 135)


def serial_floor(request_bytes, answers):
    return (request_bytes * BYTE + sum(RETURN_DELAY + n * BYTE for n in answers)) / 1000


def can_floor(exchanges):
    return tuple(exchanges * (2 * bits + PROCESSING) / 1000 for bits in FRAME)


# Sync read of 4 (arms) then 3 (nose) servos: 12- and 11-byte requests, 8-byte answers.
READ_ALL = serial_floor(12, [8] * 4) + serial_floor(11, [8] * 3)
NECK3 = can_floor(3)


def measure(name, call, floor=None, n=400):
    n = max(20, int(n * SCALE))
    for _ in range(20):
        call()
    wall, cpu = [], []
    for _ in range(n):
        w0, c0 = time.perf_counter(), time.thread_time()
        call()
        cpu.append(time.thread_time() - c0)
        wall.append(time.perf_counter() - w0)
    wall.sort()
    floor_text = ""
    if isinstance(floor, tuple):
        floor_text = f"  floor {floor[0]:.3f}-{floor[1]:.3f} ms"
    elif floor is not None:
        floor_text = f"  floor {floor:.3f} ms"
    print(f"{name:34s} p50 {statistics.median(wall) * 1e3:7.3f} ms  p99 "
          f"{wall[int(0.99 * n)] * 1e3:7.3f} ms  CPU {statistics.mean(cpu) * 1e6:7.1f} us/call"
          f"{floor_text}")


def main():
    print("(a) synchronous operations, wire time on")
    ctl = WenloMotorController(SERIAL, CAN)
    measure("read_all_positions", ctl.read_all_positions, READ_ALL)
    measure("is_torque_enabled", ctl.is_torque_enabled,
            serial_floor(12, [7] * 4) + serial_floor(11, [7] * 3))
    # Two sync writes (20 and 17 bytes), which nobody answers.
    measure("set_all_goal_positions", lambda: ctl.set_all_goal_positions([0.0] * 7),
            serial_floor(20, []) + serial_floor(17, []))
    measure("read_neck_positions", ctl.read_neck_positions, NECK3)
    measure("set_neck_position", lambda: ctl.set_neck_position([0.0, 0.1, 0.0]), NECK3)
    del ctl

    loop = WenloPyControlLoop(SERIAL, datetime.timedelta(milliseconds=10), CAN,
                              stats_pub_period=datetime.timedelta(milliseconds=100))
    time.sleep(2.0 * SCALE + 0.3)
    stats = loop.get_stats()
    reads = sorted(stats.read_dt)
    print(f"{'loop tick (snapshot, from read_dt)':34s} p50 {statistics.median(reads) * 1e3:7.3f} ms  "
          f"p99 {reads[int(0.99 * len(reads))] * 1e3:7.3f} ms  "
          f"floor {max(READ_ALL, NECK3[1]):.3f} ms with the buses overlapped, "
          f"{READ_ALL + NECK3[0]:.3f}-{READ_ALL + NECK3[1]:.3f} ms one after the other")
    print("(d) reading the loop's records from Python")
    measure("get_last_position", loop.get_last_position, n=20000)
    measure("get_last_health (ten JointHealth)", loop.get_last_health, n=20000)
    measure("get_stats (window full)" if len(stats.period) >= 10000 else
            f"get_stats ({len(stats.period)} period samples)", loop.get_stats, n=200)
    # drain_positions: what each snapshot handed over costs, with a second's worth waiting.
    per_snapshot = []
    for _ in range(max(2, int(5 * SCALE))):
        loop.drain_positions()
        time.sleep(1.0)
        started = time.perf_counter()
        drained = loop.drain_positions()
        per_snapshot.append((time.perf_counter() - started) / max(1, len(drained)))
    print(f"{'drain_positions, per snapshot':34s} p50 {statistics.median(per_snapshot) * 1e6:7.2f} us"
          f"  ({len(drained)} snapshots a call)")
    loop.close()


if __name__ == "__main__":
    main()
