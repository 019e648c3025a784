"""Every method of the classes, extensions included, as a typed program would call them;
checked with mypy --strict against the installed stub, never run."""
import datetime
from typing import Optional, Union

from typing_extensions import assert_type

from wenlo_motor_controller import (
    ControlLoopStats,
    JointHealth,
    WenloMotorController,
    WenloPyControlLoop,
    WenloTorsoPosition,
)


def controller(port: Optional[str]) -> None:
    ctl = WenloMotorController(port, can_bus="can0")
    assert_type(WenloMotorController(), WenloMotorController)
    assert_type(ctl.is_torque_enabled(), bool)
    assert_type(ctl.enable_torque(), None)
    ctl.enable_torque_on_ids([1, 2])
    ctl.disable_torque()
    ctl.disable_torque_on_ids((3,))
    assert_type(ctl.read_all_positions(), list[float])
    ctl.set_all_goal_positions([0.0] * 7)
    ctl.set_left_arm_position([0.0, 0.1])
    ctl.set_right_arm_position((0.0, 0.1))
    ctl.set_arms_position([0.0] * 4)
    ctl.set_nose_position([0.0] * 3)
    assert_type(ctl.set_neck_position([0.0, 0.1, 0.0]), list[float])
    assert_type(ctl.set_neck_yaw_position(0.1), float)
    assert_type(ctl.set_neck_pitch_position(0.1), float)
    assert_type(ctl.set_neck_roll_position(0.1), float)
    assert_type(ctl.neck_position_limits(), list[tuple[float, float]])
    assert_type(ctl.read_neck_positions(), list[float])
    ctl.set_neck_gains(0, 30.0, 1.0)
    assert_type(ctl.neck_home(), list[float])
    ctl.neck_home(speed=0.2, tolerance=0.1, kp=None, kd=2.0)
    ctl.enable_neck(True)
    assert_type(ctl.is_neck_torque_enabled(), bool)
    ctl.enable_arms(False)
    ctl.enable_nose(True)
    assert_type(ctl.write_raw_packet(b"\xff\xff"), None)
    health(ctl.read_health())
    ctl.reboot()
    ctl.reboot(timeout=datetime.timedelta(seconds=2))
    assert_type(ctl.ping(1), bool)
    assert_type(ctl.read_registers(1, 56, 2), bytes)
    assert_type(ctl.write_registers(1, 21, b"\x20"), None)
    for name, reg, kind, writable, text in ctl.neck_register_table():
        assert_type((name, reg, kind, writable, text), tuple[str, int, str, bool, str])
    value = ctl.read_neck_register("neck_yaw", "PMAX")
    assert_type(value, Union[float, int])
    assert_type(ctl.write_neck_register("neck_yaw", "TIMEOUT", 200), Union[float, int])


def loop(port: Optional[str]) -> None:
    period = datetime.timedelta(milliseconds=10)
    lp = WenloPyControlLoop(port, period)
    lp = WenloPyControlLoop(port, period, "can0", 5, None, datetime.timedelta(seconds=30))
    lp = WenloPyControlLoop(serialport=port, read_position_loop_period=period,
                            stats_pub_period=period)
    assert_type(lp.get_motor_name_id(), dict[str, int])
    position = lp.get_last_position()
    assert_type(position, WenloTorsoPosition)
    lp.set_all_goal_positions(position)
    lp.set_left_arm_position([0.0, 0.1])
    lp.set_right_arm_position([0.0, 0.1])
    lp.set_arms_position([0.0] * 4)
    lp.set_nose_position([0.0] * 3)
    assert_type(lp.set_neck_position([0.0, 0.1, 0.0]), None)
    lp.set_neck_yaw_position(0.1)
    lp.set_neck_pitch_position(0.1)
    lp.set_neck_roll_position(0.1)
    lp.enable_neck(True)
    assert_type(lp.is_torque_enabled(), bool)
    lp.enable_torque()
    lp.enable_torque_on_ids([1])
    lp.disable_torque()
    lp.disable_torque_on_ids([1])
    lp.enable_arms(True)
    lp.enable_nose(False)
    stats = lp.get_stats()
    assert_type(stats, Optional[ControlLoopStats])
    if stats is not None:
        assert_type(stats.period, list[float])
        assert_type(stats.read_dt, list[float])
        assert_type(stats.write_dt, list[float])
    assert_type(lp.async_read_raw_bytes(1, 21, 3), bytes)
    lp.async_write_raw_bytes(1, 21, [32, 8, 0])
    assert_type(lp.async_read_pid_gains(1), tuple[int, int, int])
    lp.async_write_pid_gains(1, 32, 0, 8)
    assert_type(lp.write_raw_packet(b"\xff\xff"), bytes)
    health(lp.get_last_health())
    assert_type(lp.drain_positions(), list[WenloTorsoPosition])
    assert_type(lp.close(), None)
    watched = WenloPyControlLoop(port, period, telemetry_period=datetime.timedelta(seconds=1))
    health(watched.get_last_health())


def health(joints: dict[str, JointHealth]) -> None:
    for name, joint in joints.items():
        assert_type(joint.name, str)
        assert_type(joint.position, Optional[float])
        assert_type(joint.velocity, Optional[float])
        assert_type(joint.effort, Optional[float])
        assert_type(joint.temperature, Optional[float])
        assert_type(joint.voltage, Optional[float])
        assert_type(joint.faults, list[str])
        assert_type(joint.age, float)
        assert_type(joint.failures, int)
        if joint.temperature is not None and joint.temperature > 60.0:
            print(name, "is hot:", ", ".join(joint.faults) or "no fault yet")


def values() -> None:
    p = WenloTorsoPosition([0.0, 0.1], [0.0, 0.1], [0.0] * 3, neck=(0.0, 0.5, 1e-5))
    assert_type(p.left_arm, list[float])
    assert_type(p.right_arm, list[float])
    assert_type(p.nose, list[float])
    assert_type(p.neck, list[float])
    assert_type(p.timestamp, float)
    assert_type(repr(p), str)
    assert_type(p == p, bool)
    match p:
        case WenloTorsoPosition(left, right, nose, neck, stamp):
            assert_type(left, list[float])
            assert_type(stamp, float)


def manners(port: str) -> None:
    import wenlo_motor_controller

    assert_type(wenlo_motor_controller.__version__, str)
    with WenloMotorController(port) as ctl:
        assert_type(ctl, WenloMotorController)
        assert_type(ctl.close(), None)
    with WenloPyControlLoop(port, datetime.timedelta(milliseconds=10)) as lp:
        assert_type(lp, WenloPyControlLoop)
