"""wenlo scan: every servo that answers on the serial line, and the layout's neck motors."""
from __future__ import annotations

import json
import struct
import time

from wenlo_tools.robot import NECK, SERVOS, controller, steps_to_radians

NECK_REGISTERS = ["sw_ver", "CTRL_MODE", "PMAX", "VMAX", "TMAX"]


def servo_row(ctl, servo_id: int) -> dict:
    head = ctl.read_registers(servo_id, 0, 5)
    telemetry = ctl.read_registers(servo_id, 56, 8)
    (raw,) = struct.unpack_from("<h", telemetry, 0)
    return {"id": servo_id, "joint": SERVOS.get(servo_id, "unknown"),
            "model": head[3] | head[4] << 8, "firmware": f"{head[0]}.{head[1]}",
            "position": round(steps_to_radians(raw), 4), "voltage": telemetry[6] / 10,
            "temperature": telemetry[7]}


def neck_row(ctl, joint: str, health) -> dict:
    row: dict = {"joint": joint, "answers": False}
    try:
        for name in NECK_REGISTERS:
            row[name] = ctl.read_neck_register(joint, name)
        row["answers"] = True
    except RuntimeError as e:
        row["error"] = str(e)
    row["faults"] = health[joint].faults
    return row


def scan(args) -> int:
    started = time.monotonic()
    ctl = controller(args)
    servos = []
    for servo_id in range(254):
        if ctl.ping(servo_id):
            servos.append(servo_row(ctl, servo_id))
    health = ctl.read_health()
    neck = [neck_row(ctl, joint, health) for joint in NECK]
    took = time.monotonic() - started
    found = {row["id"] for row in servos}
    missing = [f"{name} (id={i})" for i, name in SERVOS.items() if i not in found]
    missing += [f"{row['joint']} (id={i + 1})" for i, row in enumerate(neck)
                if not row["answers"]]
    if args.json:
        print(json.dumps({"servos": servos, "neck": neck, "missing": missing,
                          "seconds": round(took, 3)}, indent=2))
    else:
        print(f"{'id':>3}  {'joint':16} {'model':>5}  {'fw':5} {'position':>9} {'voltage':>7} "
              f"{'temp':>5}")
        for r in servos:
            print(f"{r['id']:>3}  {r['joint']:16} {r['model']:>5}  {r['firmware']:5} "
                  f"{r['position']:>9.4f} {r['voltage']:>6.1f}V {r['temperature']:>4}C")
        print()
        print(f"{'neck motor':16} {'sw_ver':>7} {'mode':>4} {'PMAX':>6} {'VMAX':>6} "
              f"{'TMAX':>6}  faults")
        for r in neck:
            if r["answers"]:
                print(f"{r['joint']:16} {r['sw_ver']:>7} {r['CTRL_MODE']:>4} {r['PMAX']:>6.1f} "
                      f"{r['VMAX']:>6.1f} {r['TMAX']:>6.1f}  {', '.join(r['faults']) or '-'}")
            else:
                print(f"{r['joint']:16} does not answer")
        print()
        print("missing from the layout: " + (", ".join(missing) or "nothing"))
        print(f"scanned in {took:.2f} s")
    return 1 if missing else 0
