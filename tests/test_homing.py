"""neck_home on the simulated motors: nearest multiple of 2 pi, ramps, overrides, time-out."""
import math
import logging
import signal
import time

import pytest

TWO_PI = 6.283185307179586
ULP = 25.0 / 65535 * 1.01  # one step of the 16-bit position field over +-12.5 rad


def start_at(sim, positions):
    for motor, rad in zip((1, 2, 3), positions):
        sim.motor_power_cycle(motor, rad)


@pytest.mark.parametrize(
    "start, goals",
    [
        ((6.0, 3.2, 3.1), (TWO_PI, TWO_PI, 0.0)),
        ((-0.2, -6.0, 0.0), (0.0, -TWO_PI, 0.0)),
    ],
)
def test_each_joint_homes_to_its_nearest_multiple_of_two_pi(ctl, sim, start, goals):
    start_at(sim, start)
    observed = ctl.neck_home(speed=3.0, tolerance=0.05)
    assert observed == pytest.approx(goals, abs=0.05)
    for motor, goal in zip((1, 2, 3), goals):
        assert sim.motor_state(motor)["cmd_position"] == pytest.approx(goal, abs=1e-3)
    assert ctl.is_neck_torque_enabled() is True  # homing never disables


def test_already_at_zero_returns_after_one_cycle(ctl, sim):
    ctl.enable_neck(True)
    before = [sim.motor_state(m)["mit_commands"] for m in (1, 2, 3)]
    ctl.neck_home()
    after = [sim.motor_state(m)["mit_commands"] for m in (1, 2, 3)]
    assert [a - b for a, b in zip(after, before)] == [1, 1, 1]


def test_overrides_stay_after_homing(ctl, sim):
    ctl.neck_home(speed=2.0, kp=10.0, kd=0.5)
    ctl.set_neck_position([0.0, 0.0, 0.0])
    for motor in (1, 2, 3):
        assert sim.motor_state(motor)["cmd_kp"] == pytest.approx(10.0, abs=0.13)
        assert sim.motor_state(motor)["cmd_kd"] == pytest.approx(0.5, abs=0.002)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(speed=0), "neck_home: speed must be positive, got 0"),
        (dict(speed=-0.4), "neck_home: speed must be positive, got -0.4"),
        (dict(speed=math.nan), "neck_home: speed must be positive, got NaN"),
        (dict(tolerance=-1), "neck_home: tolerance must be positive, got -1"),
        (dict(speed=0, tolerance=0), "neck_home: speed must be positive, got 0"),
    ],
)
def test_invalid_speed_or_tolerance_fails_at_once(ctl, sim, kwargs, message):
    with pytest.raises(RuntimeError) as info:
        ctl.neck_home(**kwargs)
    assert str(info.value) == message
    assert sim.can_frames() == []


def test_none_is_refused_for_speed_and_tolerance(ctl):
    with pytest.raises(TypeError, match="^argument 'speed': "):
        ctl.neck_home(speed=None)
    with pytest.raises(TypeError, match="^argument 'tolerance': "):
        ctl.neck_home(0.4, None)


def test_a_failing_read_is_reported_and_overrides_stay(ctl, sim):
    sim.motor_connected(2, False)
    with pytest.raises(RuntimeError, match=r"^read_neck_positions\(neck_pitch\): "):
        ctl.neck_home(kp=12.0)
    sim.motor_connected(2, True)
    ctl.set_neck_position([0.0, 0.0, 0.0])
    assert sim.motor_state(2)["cmd_kp"] == pytest.approx(12.0, abs=0.13)


def test_a_joint_that_never_arrives_times_out_with_the_flags(ctl, sim):
    ctl.enable_neck(True)
    enables = [sim.motor_state(m)["enables"] for m in (1, 2, 3)]
    reads = [sim.motor_state(m)["register_reads"] for m in (1, 2, 3)]
    # A power cycle disables the pitch motor, but the torque flag stays true: homing sends no
    # enable, so pitch never moves towards its goal.
    sim.motor_power_cycle(2, 1.0)
    with pytest.raises(RuntimeError) as info:
        ctl.neck_home(speed=100.0, tolerance=0.1)
    text = str(info.value)
    assert text.startswith("neck_home: timed out before settling. observed=[")
    assert text.endswith(", goals=[0.0, 0.0, 0.0], settled=[true, false, true]")
    assert [sim.motor_state(m)["enables"] for m in (1, 2, 3)] == enables
    assert [sim.motor_state(m)["register_reads"] for m in (1, 2, 3)] == reads
    assert ctl.is_neck_torque_enabled() is True


def test_a_joint_counts_as_settled_only_once_its_set_point_has_arrived(ctl, sim):
    # Within tolerance long before the ramp ends: homing must still take the set-point home.
    start_at(sim, (0.5, 0.0, 0.0))
    ctl.neck_home(speed=2.0, tolerance=0.3)
    assert sim.motor_state(1)["cmd_position"] == pytest.approx(0.0, abs=ULP)


@pytest.mark.parametrize("reply_delay", [0.0, 0.008], ids=["prompt motors", "slow motors"])
def test_ctrl_c_stops_homing_at_once_and_leaves_the_neck_holding(ctl, sim, reply_delay, caplog):
    # Slow motors keep the thread inside a CAN wait most of the time: a signal landing there
    # breaks the wait (EINTR) and must still read as KeyboardInterrupt, not as a bus failure,
    # a silent motor or a frame to undo.
    caplog.set_level(logging.INFO, logger="wenlo_motor_controller")
    for motor in (1, 2, 3):
        sim.motor_delay(motor, reply_delay)
    for round in range(3 if reply_delay else 1):
        if round == 0:
            start_at(sim, (2.0, 0.0, 0.0))   # about 10 s of travel at 0.2 rad/s
        else:
            sim.motor_set_position(1, 2.0)   # and again, still enabled
        previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
        signal.setitimer(signal.ITIMER_REAL, 1.0)
        started = time.monotonic()
        try:
            with pytest.raises(KeyboardInterrupt):
                ctl.neck_home(speed=0.2)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
        assert time.monotonic() - started < 3.0
        time.sleep(0.05)   # frames sent before the call returned reach slow motors 8 ms late
        sim.clear_can()
        time.sleep(0.3)
        assert sim.can_frames() == []                       # no more commands
        assert sim.motor_state(1)["enabled"] == 1            # torque stays on
        assert 0.5 < sim.motor_state(1)["cmd_position"] < 1.95
        assert ctl.is_neck_torque_enabled() is True
    assert [r.getMessage() for r in caplog.records if r.levelno >= logging.INFO] == []
    for motor in (1, 2, 3):
        sim.motor_delay(motor, 0.0)   # 8 ms of a 20 ms reply time-out is too thin on a busy machine
    assert len(ctl.read_neck_positions()) == 3           # the lock was released
