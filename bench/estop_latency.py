"""(i) the emergency stop's latency: a loop runs at 100 Hz on the simulated robot with the wire
time on; many times over, torque and the neck are enabled, loop.estop() is called at a random
moment of the schedule, and its frames are timed against the call, then the stop is reset.

    python -m wenlo_sim --no-robot bench/estop_latency.py

- The neck's damping commands (MIT, kp 0) are timed on the simulator's clock: the moment each
  went on the bus (sim.can_frames_timed(), CLOCK_MONOTONIC, the clock of time.monotonic_ns()).
- The servos' torque-off goes out last, as two sync writes that no servo answers. The servo
  simulator keeps no time stamps, so the servo side is timed to the return of estop(), which
  follows the module's writes to the port; at 1 Mbaud their 30 bytes take 0.30 ms on the wire,
  counted from the first one's write. As a cross-check, the last servo's torque register is
  then polled through the simulator's command pipe until it reads 0: a bound from above, coarse
  by one round trip of that pipe.
"""
import datetime
import os
import random
import time

import wenlo_sim
from wenlo_motor_controller import WenloPyControlLoop

SCALE = 0.05 if os.environ.get("BENCH_QUICK") == "1" else 1.0  # a smoke run
STOPS = max(5, int(200 * SCALE))
PERIOD = 0.010
NECK_IDS = (0x001, 0x002, 0x003)  # MIT commands go to the motor's own id
LAST_SERVO = 7  # the nose's sync write goes after the arms'

# The wire floor, from the simulator's model (bench/README.md): each damping command is an
# exchange (8-byte frame, 30 us, 8-byte answer at 111 to 135 bits each) and the module waits
# for each answer; the third frame goes on the bus after two exchanges, estop() can return
# after three; the servos' two sync writes (16 and 14 bytes) then take 10 us a byte.
EXCHANGE = tuple(2 * bits + 30 for bits in (111, 135))
LAST_FRAME_FLOOR = tuple(2 * e / 1000 for e in EXCHANGE)
RETURN_FLOOR = tuple(3 * e / 1000 for e in EXCHANGE)
SERVO_WIRE = 30 * 10 / 1000


def percentiles(values):
    ordered = sorted(values)
    pick = lambda q: ordered[min(len(ordered) - 1, int(q * len(ordered)))]  # noqa: E731
    return pick(0.50), pick(0.99), ordered[-1]


def damping_kp_is_zero(data: bytes) -> bool:
    """An MIT command (not an enable, disable or other special frame) that asks for kp 0."""
    special = data[:7] == b"\xff" * 7
    return len(data) == 8 and not special and ((data[3] & 0x0F) << 8 | data[4]) == 0


def one_stop(sim, loop, rng):
    """Times one emergency stop; returns (neck's first frame, neck's last frame, estop()
    returned, last servo's torque seen off), each in ms after the call, or None where missing."""
    loop.enable_torque()
    loop.enable_neck(True)
    loop.async_read_pid_gains(LAST_SERVO)  # waits for the worker: both enables have run
    torque_was_on = sim.servo_state(LAST_SERVO)["torque"] == 1
    sim.clear_can()
    time.sleep(rng.uniform(0.0, PERIOD))  # any moment of the schedule, inside a tick or not
    called = time.monotonic_ns()
    loop.estop()
    returned = time.monotonic_ns()
    seen_off = None
    if torque_was_on:
        deadline = returned + 1_000_000_000
        while sim.servo_state(LAST_SERVO)["torque"] != 0 and time.monotonic_ns() < deadline:
            pass
        now = time.monotonic_ns()
        seen_off = (now - called) / 1e6 if now < deadline else None
    neck = sorted((at - called) / 1e6 for can_id, data, at in sim.can_frames_timed()
                  if can_id in NECK_IDS and at >= called and damping_kp_is_zero(data))
    loop.reset_estop()
    first, last = (neck[0], neck[-1]) if len(neck) == len(NECK_IDS) else (None, None)
    return first, last, (returned - called) / 1e6, seen_off


def main():
    rng = random.Random(1)
    with wenlo_sim.SimRobot(wire_time=True) as sim:
        loop = WenloPyControlLoop(sim.serial_path, datetime.timedelta(seconds=PERIOD), sim.iface)
        time.sleep(0.2)
        results = [one_stop(sim, loop, rng) for _ in range(STOPS)]
        loop.close()
    columns = list(zip(*results))
    names = ("neck's first damping frame on the bus", "neck's last damping frame on the bus",
             "estop() returned (servos written)", "last servo's torque seen off (polled)")
    floors = (None, LAST_FRAME_FLOOR, RETURN_FLOOR, None)
    for name, column, floor in zip(names, columns, floors):
        values = [v for v in column if v is not None]
        missing = len(column) - len(values)
        if not values:
            print(f"(i) estop, 100 Hz: {name}: never seen")
            continue
        p50, p99, worst = percentiles(values)
        extra = f"  floor {floor[0]:.3f}-{floor[1]:.3f} ms" if floor else ""
        extra += f"  ({missing} not seen)" if missing else ""
        print(f"(i) estop, 100 Hz: {name:38s} p50 {p50:6.3f} ms  "
              f"p99 {p99:6.3f} ms  max {worst:6.3f} ms  ({len(values)} stops){extra}")
    print(f"(i) the servos' torque-off bytes take {SERVO_WIRE:.2f} ms on the wire from the first "
          f"one's write; the servo simulator keeps no time stamps")


if __name__ == "__main__":
    main()
