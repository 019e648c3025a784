"""The fault families of the health tests, shared with the subprocess that checks their log
records in a process of its own."""

# name: (joint, inject, undo, what health shows while it lasts, the warning, the info record)
FAMILIES = {
    "servo error bits": (
        "right_arm_pitch",
        lambda sim: sim.servo_status_error(3, 0x21),
        lambda sim: sim.servo_status_error(3, 0),
        lambda h: h.faults == ["voltage", "overload"] and h.failures == 0,
        "right_arm_pitch (id=3) reports: voltage, overload",
        "right_arm_pitch (id=3) reports no fault any more"),
    "overheated servo": (
        "nose_left",
        lambda sim: sim.servo_temperature(6, 75.0),
        lambda sim: sim.servo_temperature(6, 40.0),
        lambda h: h.faults == ["overheat"] and h.temperature is not None and h.temperature > 73,
        "nose_left (id=6) reports: overheat",
        "nose_left (id=6) reports no fault any more"),
    "neck fault code": (
        "neck_pitch",
        lambda sim: sim.motor_error_code(2, 0xB),
        lambda sim: sim.motor_error_code(2, None),
        lambda h: h.faults == ["mos_overheat"] and h.failures == 0,
        "neck_pitch (id=2) reports: mos_overheat",
        "neck_pitch (id=2) reports no fault any more"),
    "silent servo": (
        "left_arm_yaw",
        lambda sim: sim.servo_unpowered(2, True),
        lambda sim: sim.servo_unpowered(2, False),
        lambda h: h.failures >= 1 and h.age > 0.01,
        "left_arm_yaw (id=2) does not answer",
        "left_arm_yaw (id=2) answers again"),
    "silent neck motor": (
        "neck_roll",
        lambda sim: sim.motor_connected(3, False),
        lambda sim: sim.motor_connected(3, True),
        lambda h: h.failures >= 1 and h.age > 0.01,
        "neck_roll (id=3) does not answer",
        "neck_roll (id=3) answers again"),
}
