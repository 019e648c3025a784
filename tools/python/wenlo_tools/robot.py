"""How the tool opens the robot, and what it asks the module about it: the joints and the servo
registers come from the module, never from a copy here."""
from __future__ import annotations

import datetime
import math
import signal
import sys
from dataclasses import dataclass

from wenlo_motor_controller import WenloMotorController, WenloPyControlLoop


def exit_on_sigterm() -> None:
    """SIGTERM ends Python without unwinding; as SystemExit it unwinds, so the loop or the
    controller is closed and its exit policy applied, as on Ctrl-C. 143 is 128 + SIGTERM."""
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))


def controller(args) -> WenloMotorController:
    exit_on_sigterm()
    return WenloMotorController(args.port, args.can_bus)


def loop(args, rate_hz: float, telemetry_ms: float, stats: bool = True) -> WenloPyControlLoop:
    exit_on_sigterm()
    return WenloPyControlLoop(
        args.port, datetime.timedelta(seconds=1.0 / rate_hz), args.can_bus,
        stats_pub_period=datetime.timedelta(milliseconds=500) if stats else None,
        telemetry_period=datetime.timedelta(milliseconds=telemetry_ms),
        rt_priority=getattr(args, "rt_priority", None))


def neck_joints(motors, health: dict) -> list[str]:
    """The neck's joints in layout order: those of the health report that are not servos."""
    servos = motors.get_motor_name_id()
    return [name for name in health if name not in servos]


def positions(snapshot) -> list[float]:
    """A WenloTorsoPosition's values in layout order, the order of the health report's joints."""
    return [*snapshot.left_arm, *snapshot.right_arm, *snapshot.nose, *snapshot.neck]


def steps_to_radians(raw: int) -> float:
    return raw * 2 * math.pi / 4096 - math.pi


@dataclass(frozen=True)
class Register:
    """A servo register: little-endian, unsigned, `width` bytes from `address`."""
    name: str
    address: int
    width: int
    writable: bool

    @property
    def largest(self) -> int:
        return (1 << 8 * self.width) - 1


def servo_registers(ctl: WenloMotorController) -> dict[str, Register]:
    """The servos' named registers by name, in address order."""
    return {row[0]: Register(*row) for row in ctl.servo_register_table()}


def read_servo(ctl: WenloMotorController, servo_id: int,
               registers: list[Register]) -> dict[str, int]:
    """The registers' values by name, from one read that spans them all."""
    start = min(r.address for r in registers)
    data = ctl.read_registers(servo_id, start, max(r.address + r.width for r in registers) - start)
    return {r.name: int.from_bytes(data[r.address - start:r.address - start + r.width], "little")
            for r in registers}
