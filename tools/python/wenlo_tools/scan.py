"""wenlo scan: every servo that answers on the serial line, and the layout's neck motors."""
from __future__ import annotations

import json
import time

from wenlo_tools.robot import controller, neck_joints, read_servo, servo_registers, \
    steps_to_radians

NECK_REGISTERS = ["sw_ver", "CTRL_MODE", "PMAX", "VMAX", "TMAX"]
# Two reads per servo, each spanning a group of neighbouring registers.
SERVO_HEAD = ["firmware_major", "firmware_minor", "model_number"]
SERVO_STATE = ["present_position", "present_voltage", "present_temperature"]


def servo_row(ctl, servo_id: int, joint: str, registers: dict) -> dict:
    head = read_servo(ctl, servo_id, [registers[name] for name in SERVO_HEAD])
    state = read_servo(ctl, servo_id, [registers[name] for name in SERVO_STATE])
    raw = state["present_position"]
    raw -= 0x10000 if raw & 0x8000 else 0  # a signed word, as scan has always shown it
    return {"id": servo_id, "joint": joint, "model": head["model_number"],
            "firmware": f"{head['firmware_major']}.{head['firmware_minor']}",
            "position": round(steps_to_radians(raw), 4),
            "voltage": state["present_voltage"] / 10,
            "temperature": state["present_temperature"]}


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
    with controller(args) as ctl:
        return scan_with(ctl, args, started)


def scan_with(ctl, args, started: float) -> int:
    layout = ctl.get_motor_name_id()
    names = {servo_id: name for name, servo_id in layout.items()}
    registers = servo_registers(ctl)
    servos = []
    for servo_id in range(254):
        if ctl.ping(servo_id):
            servos.append(servo_row(ctl, servo_id, names.get(servo_id, "unknown"), registers))
    health = ctl.read_health()
    neck = [neck_row(ctl, joint, health) for joint in neck_joints(ctl, health)]
    took = time.monotonic() - started
    found = {row["id"] for row in servos}
    missing = [f"{name} (id={i})" for name, i in layout.items() if i not in found]
    # The neck motors answer on CAN ids 1, 2, 3 in layout order.
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
