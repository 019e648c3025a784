"""What the tool knows of the robot beyond what the module tells: the layout by bus id, and the
servo registers it can name."""
from __future__ import annotations

import datetime
import math

from wenlo_motor_controller import WenloMotorController, WenloPyControlLoop

# The layout: servo ids on the serial bus, then the neck joints (CAN ids 1 to 3).
SERVOS = {1: "left_arm_pitch", 2: "left_arm_yaw", 3: "right_arm_pitch", 4: "right_arm_yaw",
          5: "nose_top", 6: "nose_left", 7: "nose_right"}
NECK = ["neck_yaw", "neck_pitch", "neck_roll"]
PARTS = {"left arm": ["left_arm_pitch", "left_arm_yaw"],
         "right arm": ["right_arm_pitch", "right_arm_yaw"],
         "nose": ["nose_top", "nose_left", "nose_right"], "neck": NECK}
JOINTS = [name for names in PARTS.values() for name in names]

# Servo registers by name: address and width in bytes (little-endian).
SERVO_REGISTERS = {
    "firmware_major": (0, 1), "firmware_minor": (1, 1), "model_number": (3, 2), "id": (5, 1),
    "baud_rate": (6, 1), "min_angle_limit": (9, 2), "max_angle_limit": (11, 2),
    "max_temperature": (13, 1), "p_gain": (21, 1), "d_gain": (22, 1), "i_gain": (23, 1),
    "torque_enable": (40, 1), "goal_position": (42, 2), "present_position": (56, 2),
    "present_speed": (58, 2), "present_load": (60, 2), "present_voltage": (62, 1),
    "present_temperature": (63, 1),
}


def controller(args) -> WenloMotorController:
    return WenloMotorController(args.port, args.can_bus)


def loop(args, rate_hz: float, telemetry_ms: float, stats: bool = True) -> WenloPyControlLoop:
    return WenloPyControlLoop(
        args.port, datetime.timedelta(seconds=1.0 / rate_hz), args.can_bus,
        stats_pub_period=datetime.timedelta(milliseconds=500) if stats else None,
        telemetry_period=datetime.timedelta(milliseconds=telemetry_ms),
        rt_priority=getattr(args, "rt_priority", None))


def positions(snapshot) -> list[float]:
    """A WenloTorsoPosition's eleven values in the order of JOINTS."""
    return [*snapshot.left_arm, *snapshot.right_arm, *snapshot.nose, *snapshot.neck]


def steps_to_radians(raw: int) -> float:
    return raw * 2 * math.pi / 4096 - math.pi
