"""Drives the arms, the nose and the neck along smooth waves through the background control
loop, samples what the motors report, prints the loop's timing, and plots commanded against
observed positions when matplotlib is installed (pip install .[plot]).

Run it on the simulated robot with:  python -m wenlo_sim examples/control_loop_demo.py
On the robot itself, set WENLO_SIM_SERIAL to the servo adapter (e.g. /dev/ttyUSB0).
The plot goes to control_loop_demo.png, or to the path given as the first argument.
"""
import datetime
import logging
import math
import os
import sys
import time
from typing import Any

from wenlo_motor_controller import WenloPyControlLoop, WenloTorsoPosition

logging.basicConfig(level=logging.INFO, format="%(levelname)s %(name)s: %(message)s")

PERIOD = datetime.timedelta(milliseconds=10)  # 100 Hz
DURATION = 4.0  # seconds of motion
STEP = 0.02  # a new goal every 20 ms
JOINTS = ["left arm pitch", "right arm yaw", "nose top", "neck yaw", "neck pitch"]


def goals(t: float) -> tuple[list[float], list[float], list[float]]:
    """Smooth waves, all starting at zero; the neck stays well inside its safety bounds."""
    wave = math.sin(2 * math.pi * t / 2.0)
    slow = math.sin(2 * math.pi * t / 4.0)
    arms = [0.4 * wave, 0.2 * slow, -0.4 * wave, -0.2 * slow]
    nose = [0.15 * slow, 0.1 * wave, -0.1 * wave]
    neck = [0.3 * slow, 0.2 * (1 - math.cos(2 * math.pi * t / 4.0)) / 2 + 0.02, 0.0]
    return arms, nose, neck


def observed_of(position: WenloTorsoPosition) -> list[float]:
    return [position.left_arm[0], position.right_arm[1], position.nose[0],
            position.neck[0], position.neck[1]]


def percentile(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def plot(times: list[float], commanded: list[list[float]], observed: list[list[float]],
         path: str, source: str) -> None:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt_module
    except ImportError:
        print("matplotlib is not installed (pip install .[plot]): no plot")
        return
    plt: Any = plt_module
    fig, axes = plt.subplots(len(JOINTS) + 1, 1, sharex=True, figsize=(8, 12))
    for i, (ax, name) in enumerate(zip(axes, JOINTS)):
        ax.plot(times, [c[i] for c in commanded], label="commanded", linewidth=1.5)
        ax.plot(times, [o[i] for o in observed], label="observed", linewidth=1.0)
        ax.set_ylabel(f"{name}\n(rad)")
        ax.grid(True, alpha=0.3)
    axes[0].legend(loc="upper right")
    # How far each joint trails its goal: the motors' own lag plus up to one tick of the loop.
    errors = axes[-1]
    for i, name in enumerate(JOINTS):
        errors.plot(times, [c[i] - o[i] for c, o in zip(commanded, observed)], label=name,
                    linewidth=1.0)
    errors.set_ylabel("tracking error\ncommanded −\nobserved (rad)")
    errors.grid(True, alpha=0.3)
    errors.legend(loc="upper right", fontsize="small", ncol=2)
    axes[-1].set_xlabel("time (s)")
    fig.suptitle(f"WenloPyControlLoop at 100 Hz on {source}:\n"
                 "commanded and observed joint positions")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    print("plot written to", os.path.abspath(path))


def main() -> None:
    port = os.environ.get("WENLO_SIM_SERIAL", "/dev/ttyUSB0")
    can_bus = os.environ.get("WENLO_SIM_CAN", "can0")
    png = sys.argv[1] if len(sys.argv) > 1 else "control_loop_demo.png"

    loop = WenloPyControlLoop(port, PERIOD, can_bus,
                              stats_pub_period=datetime.timedelta(milliseconds=250))
    try:
        print("motors:", loop.get_motor_name_id())
        loop.enable_torque()
        loop.enable_neck(True)
        times: list[float] = []
        commanded: list[list[float]] = []
        observed: list[list[float]] = []
        start = time.monotonic()
        while (t := time.monotonic() - start) < DURATION:
            arms, nose, neck = goals(t)
            loop.set_arms_position(arms)  # each returns as soon as the command is queued
            loop.set_nose_position(nose)
            loop.set_neck_position(neck)
            times.append(t)
            commanded.append([arms[0], arms[3], nose[0], neck[0], neck[1]])
            observed.append(observed_of(loop.get_last_position()))
            time.sleep(max(0.0, STEP - (time.monotonic() - start - t)))
        print("torque on:", loop.is_torque_enabled())
        print("last position:", loop.get_last_position())

        stats = loop.get_stats()
        assert stats is not None  # statistics are on: a publication period was given
        print(stats)
        period_ms = [p * 1000 for p in stats.period[1:]]
        print(f"period: mean {sum(period_ms) / len(period_ms):.3f} ms, "
              f"p99 {percentile(period_ms, 0.99):.3f} ms over {len(period_ms)} ticks")
        for name, samples in (("read", stats.read_dt), ("write", stats.write_dt)):
            if samples:
                print(f"{name}: mean {1000 * sum(samples) / len(samples):.3f} ms, "
                      f"p99 {1000 * percentile(samples, 0.99):.3f} ms")
        worst = max(abs(c - o) for cs, os_ in zip(commanded[25:], observed[25:])
                    for c, o in zip(cs, os_))
        print(f"largest gap between commanded and observed after 0.5 s: {worst:.3f} rad")
        source = "the simulated robot" if "WENLO_SIM_SERIAL" in os.environ else "the robot"
        plot(times, commanded, observed, png, source)

        loop.disable_torque()
        loop.enable_neck(False)
    finally:
        loop.close()
    print("done")


if __name__ == "__main__":
    main()
