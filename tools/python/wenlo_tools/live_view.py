"""wenlo foxglove: a running loop served live on the Foxglove WebSocket protocol, for a browser:
/joint_states (foxglove.JointStates, every snapshot), /health (the JSON of `wenlo record`) and
/stats (the loop's timing)."""
from __future__ import annotations

import ipaddress
import json
import sys
import time
from types import SimpleNamespace

from wenlo_tools.failure import needs
from wenlo_tools.record import HEALTH, HEALTH_SCHEMA, JOINT_STATES, health_message, stamp
from wenlo_tools.robot import loop as start_loop, positions

STATS = "/stats"
DRAIN_EVERY = 0.01  # s: a browser needs no more than a hundred wake-ups a second
_TIMING = {"type": "object", "properties": {"mean_ms": {"type": ["number", "null"]},
                                            "p99_ms": {"type": ["number", "null"]}}}
STATS_SCHEMA = {
    "type": "object",
    "properties": {
        "stamp": {"type": "object", "properties": {"sec": {"type": "integer"},
                                                   "nsec": {"type": "integer"}}},
        "period": _TIMING, "read": _TIMING, "write": _TIMING,
        "periods_measured": {"type": "integer"},
        "snapshots": {"type": "integer"},
        "last_snapshot_ns": {"type": "integer"},
        "estopped": {"type": "boolean"},
    },
}


def timing(samples: list[float]) -> dict:
    """Mean and 99th percentile of the recent samples, in milliseconds."""
    recent = sorted(samples[-1000:])
    if not recent:
        return {"mean_ms": None, "p99_ms": None}
    return {"mean_ms": sum(recent) / len(recent) * 1e3,
            "p99_ms": recent[min(len(recent) - 1, int(0.99 * len(recent)))] * 1e3}


def stats_message(lp, snapshots: int, last_ns: int, now: float) -> dict:
    """The loop's timing, and how many snapshots were sent, the last one stamped last_ns."""
    stats = lp.get_stats()
    empty: list[float] = []
    return {"stamp": stamp(now),
            "period": timing(stats.period if stats else empty),
            "read": timing(stats.read_dt if stats else empty),
            "write": timing(stats.write_dt if stats else empty),
            "periods_measured": len(stats.period) if stats else 0,
            "snapshots": snapshots, "last_snapshot_ns": last_ns, "estopped": lp.is_estopped()}


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def foxglove(args) -> int:
    needs("foxglove")
    import foxglove as fg
    from foxglove.channels import JointStatesChannel
    from foxglove.messages import JointState, JointStates, Timestamp

    if not is_loopback(args.host):
        print(f"wenlo foxglove: warning: serving on {args.host}: anyone who can reach port "
              f"{args.port} there sees the robot", file=sys.stderr)
    robot = SimpleNamespace(port=args.serial_port, can_bus=args.can_bus,
                            rt_priority=args.rt_priority)
    lp = start_loop(robot, args.rate, args.telemetry_period)
    server = None
    try:
        joint_states = JointStatesChannel(JOINT_STATES)
        health = fg.Channel(HEALTH, message_encoding="json", schema=fg.Schema(
            name="wenlo/JointHealth", encoding="jsonschema",
            data=json.dumps(HEALTH_SCHEMA).encode()))
        stats = fg.Channel(STATS, message_encoding="json", schema=fg.Schema(
            name="wenlo/LoopStats", encoding="jsonschema", data=json.dumps(STATS_SCHEMA).encode()))
        server = fg.start_server(name="wenlo", host=args.host, port=args.port)
        names = list(lp.get_last_health())  # every joint, in the snapshots' order
        print(f"wenlo foxglove: serving ws://{args.host}:{server.port} (Foxglove: Open "
              f"connection, Foxglove WebSocket)", flush=True)
        lp.drain_positions()  # every snapshot from here on
        count, last_ns, next_health = 0, 0, time.monotonic()
        while True:
            for snapshot in lp.drain_positions():
                ns = round(snapshot.timestamp * 1e9)
                t = Timestamp(sec=ns // 1_000_000_000, nsec=ns % 1_000_000_000)
                joint_states.log(JointStates(timestamp=t, joints=[
                    JointState(name=n, position=p) for n, p in zip(names, positions(snapshot))]),
                    log_time=ns)
                count, last_ns = count + 1, ns
            if time.monotonic() >= next_health:
                now = time.time()
                ns = round(now * 1e9)
                health.log(health_message(lp.get_last_health(), now), log_time=ns)
                stats.log(stats_message(lp, count, last_ns, now), log_time=ns)
                next_health += args.telemetry_period / 1000
            time.sleep(DRAIN_EVERY)
    finally:
        if server is not None:
            server.stop()
        lp.close()
