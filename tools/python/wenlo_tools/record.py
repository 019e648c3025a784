"""wenlo record and wenlo plot: every snapshot of a loop, and its health at the telemetry rate,
into an MCAP file that Foxglove and other MCAP tools open; and a plot of such a recording."""
from __future__ import annotations

import json
import math
import sys
import time
from dataclasses import dataclass

from wenlo_tools.failure import Failure, needs
from wenlo_tools.robot import loop as start_loop, positions

JOINT_STATES = "/joint_states"
HEALTH = "/health"
_TIME = {"type": "object", "properties": {"sec": {"type": "integer"},
                                          "nsec": {"type": "integer"}}}
_NUMBERS = {"type": "array", "items": {"type": "number"}}
# The joint-state convention (ROS sensor_msgs/JointState) as a JSON schema.
JOINT_STATE_SCHEMA = {
    "type": "object",
    "properties": {
        "header": {"type": "object", "properties": {"stamp": _TIME,
                                                    "frame_id": {"type": "string"}}},
        "name": {"type": "array", "items": {"type": "string"}},
        "position": _NUMBERS, "velocity": _NUMBERS, "effort": _NUMBERS,
    },
}
_MAYBE = {"type": ["number", "null"]}
HEALTH_SCHEMA = {
    "type": "object",
    "properties": {
        "stamp": _TIME,
        "joints": {"type": "array", "items": {"type": "object", "properties": {
            "name": {"type": "string"}, "position": _MAYBE, "velocity": _MAYBE,
            "effort": _MAYBE, "temperature": _MAYBE, "voltage": _MAYBE,
            "faults": {"type": "array", "items": {"type": "string"}},
            "age": _MAYBE, "failures": {"type": "integer"}}}},
    },
}


def stamp(seconds: float) -> dict:
    ns = round(seconds * 1e9)
    return {"sec": ns // 1_000_000_000, "nsec": ns % 1_000_000_000}


def joint_state_message(snapshot, names: list[str]) -> dict:
    return {"header": {"stamp": stamp(snapshot.timestamp), "frame_id": ""},
            "name": names, "position": positions(snapshot), "velocity": [], "effort": []}


def health_message(health: dict, now: float) -> dict:
    return {"stamp": stamp(now), "joints": [
        {"name": h.name, "position": h.position, "velocity": h.velocity, "effort": h.effort,
         "temperature": h.temperature, "voltage": h.voltage, "faults": h.faults,
         "age": None if math.isinf(h.age) else h.age, "failures": h.failures}
        for h in health.values()]}


class McapLog:
    """An MCAP file with the joint-state and health channels; its messages are numbered in the
    order they are written."""

    def __init__(self, out):
        from mcap.writer import Writer

        self.writer = Writer(out)
        self.writer.start(profile="", library="wenlo record")
        joint_schema = self.writer.register_schema(
            "sensor_msgs/JointState", "jsonschema", json.dumps(JOINT_STATE_SCHEMA).encode())
        health_schema = self.writer.register_schema(
            "wenlo/JointHealth", "jsonschema", json.dumps(HEALTH_SCHEMA).encode())
        self.joint_states = self.writer.register_channel(JOINT_STATES, "json", joint_schema)
        self.health = self.writer.register_channel(HEALTH, "json", health_schema)
        self.sequence = 0

    def write(self, channel: int, message: dict, at: float) -> None:
        ns = round(at * 1e9)
        self.writer.add_message(channel, log_time=ns, publish_time=ns,
                                data=json.dumps(message).encode(), sequence=self.sequence)
        self.sequence += 1

    def finish(self) -> None:
        self.writer.finish()


@dataclass
class Gaps:
    """How many snapshots came, and the largest gap between two in a row."""
    count: int = 0
    last: float | None = None
    worst: float = 0.0

    def add(self, timestamp: float) -> None:
        if self.last is not None:
            self.worst = max(self.worst, timestamp - self.last)
        self.last = timestamp
        self.count += 1


def progress_line(elapsed: float, seconds: float, count: int) -> str:
    return f"recording: {elapsed:5.1f} of {seconds:g} s, {count} snapshots"


def record_into(log: McapLog, lp, args) -> Gaps:
    """Writes every snapshot for args.seconds, and the health once per telemetry period, saying
    how far it is every second."""
    names = list(lp.get_last_health())  # every joint, in the snapshots' order
    progress_end = "\r" if sys.stdout.isatty() else "\n"  # one line in a terminal
    gaps = Gaps()
    lp.drain_positions()  # from here on, every one
    started = time.monotonic()
    next_health = next_progress = started
    while True:
        now = time.monotonic()
        done = now - started >= args.seconds
        for snapshot in lp.drain_positions():
            log.write(log.joint_states, joint_state_message(snapshot, names), snapshot.timestamp)
            gaps.add(snapshot.timestamp)
        if now >= next_health:
            wall = time.time()
            log.write(log.health, health_message(lp.get_last_health(), wall), wall)
            next_health += args.telemetry_period / 1000
        if now >= next_progress:
            print(progress_line(now - started, args.seconds, gaps.count), end=progress_end,
                  flush=True)
            next_progress += 1.0
        if done:
            return gaps
        time.sleep(0.1)


def record(args) -> int:
    needs("mcap")
    lp = start_loop(args, args.rate, args.telemetry_period, stats=False)
    try:
        with open(args.out, "wb") as out:
            log = McapLog(out)
            try:
                gaps = record_into(log, lp, args)
            finally:
                log.finish()  # also when stopped early (Ctrl-C, SIGTERM): a file MCAP tools open
    finally:
        lp.close()
    period = 1.0 / args.rate
    print(f"{gaps.count} snapshots in {args.seconds:g} s to {args.out}; largest gap between "
          f"snapshots {gaps.worst * 1e3:.2f} ms ({gaps.worst / period:.2f} periods)")
    return 0


def body_part(joint: str) -> str:
    """The panel a joint is drawn in: its name without the last word (left_arm_pitch: left arm)."""
    return joint.rpartition("_")[0].replace("_", " ") or joint


def read_recording(path: str):
    """The positions and the temperatures recorded, each as (time, {joint: value})."""
    from mcap.reader import make_reader

    joints: list[tuple[float, dict]] = []
    temperatures: list[tuple[float, dict]] = []
    with open(path, "rb") as f:
        for _, channel, message in make_reader(f).iter_messages(topics=[JOINT_STATES, HEALTH]):
            body = json.loads(message.data)
            if channel.topic == JOINT_STATES:
                s = body["header"]["stamp"]
                joints.append((s["sec"] + s["nsec"] / 1e9,
                               dict(zip(body["name"], body["position"]))))
            else:
                s = body["stamp"]
                temperatures.append((s["sec"] + s["nsec"] / 1e9,
                                     {j["name"]: j["temperature"] for j in body["joints"]}))
    return joints, temperatures


def plot(args) -> int:
    needs("mcap", "matplotlib")
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    joints, temperatures = read_recording(args.recording)
    if not joints:
        raise Failure(f"{args.recording} holds no {JOINT_STATES} messages")
    t0 = joints[0][0]
    times = [t - t0 for t, _ in joints]
    parts: dict[str, list[str]] = {}
    for name in dict.fromkeys(name for _, row in joints for name in row):
        parts.setdefault(body_part(name), []).append(name)
    panels = list(parts) + (["temperatures"] if any(
        v is not None for _, row in temperatures for v in row.values()) else [])
    fig, grid = plt.subplots(len(panels), 1, sharex=True, figsize=(9, 2.2 * len(panels)),
                             squeeze=False)  # a grid even for one panel
    axes = grid[:, 0]
    for ax, part in zip(axes, panels):
        if part == "temperatures":
            for name in dict.fromkeys(name for _, row in temperatures for name in row):
                points = [(t - t0, row.get(name)) for t, row in temperatures
                          if row.get(name) is not None]
                if points:
                    ax.plot(*zip(*points), label=name, marker=".")
            ax.set_ylabel("°C")
        else:
            for name in parts[part]:
                ax.plot(times, [row.get(name, math.nan) for _, row in joints], label=name,
                        linewidth=1.0)
            ax.set_ylabel(f"{part}\n(rad)")
        ax.legend(loc="upper right", fontsize="small", ncol=2)
        ax.grid(True, alpha=0.3)
    axes[-1].set_xlabel("time (s)")
    fig.suptitle(f"{args.recording}: {len(joints)} snapshots")
    fig.tight_layout()
    fig.savefig(args.output, dpi=100)
    print(f"plot of {len(joints)} snapshots written to {args.output}", file=sys.stdout)
    return 0
