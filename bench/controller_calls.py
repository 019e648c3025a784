"""Prints how long WenloMotorController calls take on the simulated robot.

Run with wire-time emulation so the servo bus costs what 1 Mbaud costs:
    python -m wenlo_sim --wire-time bench/controller_calls.py
"""
import os
import statistics
import time

from wenlo_motor_controller import WenloMotorController

ctl = WenloMotorController(os.environ["WENLO_SIM_SERIAL"], os.environ.get("WENLO_SIM_CAN", "can0"))


def measure(name, call, n=300):
    for _ in range(10):
        call()
    samples = []
    for _ in range(n):
        start = time.perf_counter()
        call()
        samples.append(time.perf_counter() - start)
    samples.sort()
    print(f"{name:28s} median {statistics.median(samples) * 1e3:7.3f} ms   "
          f"p95 {samples[int(0.95 * n)] * 1e3:7.3f} ms")


measure("read_all_positions", ctl.read_all_positions)
measure("is_torque_enabled", ctl.is_torque_enabled)
measure("set_all_goal_positions", lambda: ctl.set_all_goal_positions([0.0] * 7))
measure("read_neck_positions", ctl.read_neck_positions)
measure("set_neck_position", lambda: ctl.set_neck_position([0.0, 0.1, 0.0]))
measure("neck_position_limits", ctl.neck_position_limits, n=3000)
