"""The neck on the simulated Damiao motors: bounds, gains, enable, commands and their errors."""
import pytest

import wenlo_motor_controller as wmc

TIMEOUT = "transport error: timeout waiting for frame"
ULP = 25.0 / 65535 * 1.01  # one step of the 16-bit position field over +-12.5 rad


def warnings(log):
    return [r.getMessage() for r in log() if r.levelname == "WARNING"]


def test_limits_are_constant_and_touch_no_bus(ctl, sim):
    assert ctl.neck_position_limits() == [(-0.5, 0.5), (0.0, 0.45), (-0.4, 0.4)]
    assert sim.can_frames() == []


def test_requests_outside_the_bounds_are_clamped_with_a_warning(ctl, sim, controller_log):
    observed = ctl.set_neck_position([0.7, -0.1, 0.0])
    assert len(observed) == 3 and all(isinstance(v, float) for v in observed)
    assert warnings(controller_log) == [
        "neck_yaw requested position 0.7000 rad out of safe range [-0.5000, 0.5000]; "
        "clamped to 0.5000",
        "neck_pitch requested position -0.1000 rad out of safe range [0.0000, 0.4500]; "
        "clamped to 0.0000",
    ]
    assert controller_log()[0].levelno == 30
    assert sim.motor_state(1)["cmd_position"] == pytest.approx(0.5, abs=ULP)
    assert sim.motor_state(2)["cmd_position"] == pytest.approx(0.0, abs=ULP)
    assert sim.motor_state(3)["mit_commands"] == 1


def test_a_request_on_a_bound_is_sent_unchanged(ctl, sim, controller_log):
    ctl.set_neck_pitch_position(0.45)
    assert warnings(controller_log) == []
    assert sim.motor_state(2)["cmd_position"] == pytest.approx(0.45, abs=ULP)


def test_single_joint_setters_clamp_and_return_the_reported_position(ctl, sim, controller_log):
    sim.motor_set_position(3, 0.25)
    assert ctl.set_neck_roll_position(0.1) == pytest.approx(0.25, abs=ULP)
    ctl.set_neck_yaw_position(-2.0)
    assert warnings(controller_log)[-1].startswith("neck_yaw requested position -2.0000 rad")
    assert sim.motor_state(1)["cmd_position"] == pytest.approx(-0.5, abs=ULP)


def test_read_neck_positions_reports_where_the_motors_are(ctl, sim):
    for motor, rad in ((1, 0.3), (2, -1.0), (3, 6.0)):
        sim.motor_set_position(motor, rad)
    assert ctl.read_neck_positions() == pytest.approx([0.3, -1.0, 6.0], abs=ULP)


def test_gains_apply_to_the_next_command_without_traffic(ctl, sim):
    ctl.set_neck_gains(0, 40.0, 1.5)
    assert sim.can_frames() == []
    ctl.set_neck_yaw_position(0.0)
    state = sim.motor_state(1)
    assert state["cmd_kp"] == pytest.approx(40.0, abs=0.13)
    assert state["cmd_kd"] == pytest.approx(1.5, abs=0.002)
    with pytest.raises(RuntimeError) as info:
        ctl.set_neck_gains(3, 1.0, 0.1)
    assert str(info.value) == "neck index out of range: 3"
    with pytest.raises(OverflowError):
        ctl.set_neck_gains(-1, 1.0, 0.1)


def test_default_gains_reach_the_motors(ctl, sim):
    ctl.set_neck_position([0.0, 0.0, 0.0])
    assert sim.motor_state(1)["cmd_kp"] == pytest.approx(30.0, abs=0.13)
    assert sim.motor_state(2)["cmd_kp"] == pytest.approx(60.0, abs=0.13)
    assert sim.motor_state(3)["cmd_kd"] == pytest.approx(2.0, abs=0.002)


def test_enable_and_disable_set_the_flag(ctl, sim):
    assert ctl.is_neck_torque_enabled() is False
    ctl.enable_neck(True)
    assert ctl.is_neck_torque_enabled() is True
    assert all(sim.motor_state(m)["enabled"] == 1 for m in (1, 2, 3))
    ctl.enable_neck(False)
    assert ctl.is_neck_torque_enabled() is False
    assert all(sim.motor_state(m)["enabled"] == 0 for m in (1, 2, 3))


def test_enable_forces_mit_mode_once(ctl, sim):
    ctl.enable_neck(True)
    # Already in MIT mode: one read each and no write.
    assert [sim.motor_state(m)["register_writes"] for m in (1, 2, 3)] == [0, 0, 0]
    assert [sim.motor_state(m)["register_reads"] for m in (1, 2, 3)] == [1, 1, 1]


def test_enable_with_an_absent_pitch_motor_stops_there(ctl, sim):
    sim.motor_connected(2, False)
    with pytest.raises(RuntimeError) as info:
        ctl.enable_neck(True)
    assert str(info.value) == "neck_pitch: ensure MIT mode failed: " + TIMEOUT
    assert sim.motor_state(1)["enabled"] == 1
    assert sim.motor_state(3)["frames_received"] == 0
    assert ctl.is_neck_torque_enabled() is False


def test_a_motor_that_refuses_the_mode_change_is_reported(ctl, sim):
    sim.motor_stuck_mode(1, 2)
    with pytest.raises(RuntimeError) as info:
        ctl.enable_neck(True)
    assert str(info.value) == ("neck_yaw: ensure MIT mode failed: control mode verification "
                               "failed: wrote 1, motor reports 2")
    assert sim.motor_state(1)["register_writes"] == 1


def test_disable_failure_names_the_joint(ctl, sim):
    ctl.enable_neck(True)
    sim.motor_connected(3, False)
    with pytest.raises(RuntimeError) as info:
        ctl.enable_neck(False)
    assert str(info.value) == "neck_roll: disable failed: " + TIMEOUT
    assert ctl.is_neck_torque_enabled() is True


def test_three_joint_command_with_roll_absent(ctl, sim):
    sim.motor_connected(3, False)
    with pytest.raises(RuntimeError) as info:
        ctl.set_neck_position([0.1, 0.1, 0.1])
    assert str(info.value) == "set_neck_position(neck_roll): " + TIMEOUT
    assert sim.motor_state(1)["mit_commands"] == 1 and sim.motor_state(2)["mit_commands"] == 1


@pytest.mark.parametrize(
    "call, prefix",
    [
        (lambda c: c.set_neck_yaw_position(0.0), "set_neck_yaw_position: "),
        (lambda c: c.read_neck_positions(), "read_neck_positions(neck_yaw): "),
    ],
)
def test_single_operations_name_themselves_in_errors(ctl, sim, call, prefix):
    sim.motor_connected(1, False)
    with pytest.raises(RuntimeError) as info:
        call(ctl)
    assert str(info.value) == prefix + TIMEOUT


def test_a_cable_pulled_and_put_back(ctl, sim):
    sim.motor_connected(2, False)
    with pytest.raises(RuntimeError, match=r"^read_neck_positions\(neck_pitch\): "):
        ctl.read_neck_positions()
    sim.motor_connected(2, True)
    assert len(ctl.read_neck_positions()) == 3


def test_unrelated_frames_and_late_replies_are_tolerated(ctl, sim):
    sim.chatter(True)
    sim.motor_delay(1, 0.005)  # well inside the 20 ms reply time-out
    assert len(ctl.read_neck_positions()) == 3
    assert len(ctl.set_neck_position([0.0, 0.1, 0.0])) == 3
    sim.motor_delay(1, 0.05)
    with pytest.raises(RuntimeError, match="timeout waiting for frame"):
        ctl.read_neck_positions()
    sim.chatter(False)


def test_a_short_reply_is_an_error_not_a_crash(ctl, sim):
    sim.motor_short_reply(1, 5)
    with pytest.raises(RuntimeError, match=r"^read_neck_positions\(neck_yaw\): "):
        ctl.read_neck_positions()


def test_neck_argument_errors_send_nothing(ctl, sim):
    with pytest.raises(ValueError, match=r"^expected a sequence of length 3 \(got 2\)$"):
        ctl.set_neck_position([0.0, 0.0])
    with pytest.raises(TypeError, match="^argument 'position': "):
        ctl.set_neck_yaw_position("0.1")
    with pytest.raises(TypeError, match="^argument 'kd': "):
        ctl.set_neck_gains(0, 1.0, None)
    with pytest.raises(TypeError, match="^argument 'enable': "):
        ctl.enable_neck(0)
    assert sim.can_frames() == []


def test_nan_requests_are_refused_before_anything_is_sent(ctl, sim):
    # Unrefused, NaN would encode as the bottom of the motor's range, -12.5 rad.
    with pytest.raises(RuntimeError) as info:
        ctl.set_neck_position([0.0, float("nan"), 0.0])
    assert str(info.value) == "set_neck_position(neck_pitch): requested position is NaN"
    with pytest.raises(RuntimeError) as info:
        ctl.set_neck_roll_position(float("nan"))
    assert str(info.value) == "set_neck_roll_position: requested position is NaN"
    assert sim.can_frames() == []
    # Infinities are clamped like any other value out of bounds.
    ctl.set_neck_yaw_position(float("inf"))
    assert sim.motor_state(1)["cmd_position"] == pytest.approx(0.5, abs=ULP)
