"""Protecting the hardware on request: joint limits on both classes, the largest step on the
loop; off by default, and then not a byte changes."""
import datetime
import logging
import math
import time

import pytest

import wenlo_motor_controller as wmc

MS = datetime.timedelta(milliseconds=1)
INF = math.inf


def raw(rad):
    return int((rad + math.pi) * 4096 / (2 * math.pi))


def settle(obj):
    """Returns once the simulated servos have taken everything sent so far: an answer comes
    after what went before it on the line (and, for a loop, after what was queued)."""
    if isinstance(obj, wmc.WenloPyControlLoop):
        obj.async_read_pid_gains(1)
    else:
        obj.ping(1)


def open_controller(sim, **kwargs):
    return wmc.WenloMotorController(sim.serial_path, "can0", **kwargs)


def open_loop(sim, **kwargs):
    return wmc.WenloPyControlLoop(sim.serial_path, 10 * MS, "can0", **kwargs)


def warnings(caplog, text):
    return [r.getMessage() for r in caplog.records
            if r.levelno == logging.WARNING and text in r.getMessage()]


@pytest.mark.parametrize("make", [open_controller, open_loop], ids=["controller", "loop"])
def test_goals_outside_the_limits_are_clamped_with_one_warning_per_excursion(make, sim, caplog):
    caplog.set_level(logging.WARNING)
    with make(sim, joint_limits={"left_arm_pitch": (-0.5, 0.5), "nose_top": (-INF, 0.2),
                                 "neck_pitch": (0.1, INF)}) as robot:
        limits = robot.joint_limits()
        assert list(limits) == [*robot.get_motor_name_id(), "neck_yaw", "neck_pitch", "neck_roll"]
        assert limits["left_arm_pitch"] == (-0.5, 0.5) and limits["left_arm_yaw"] == (-INF, INF)
        assert limits["nose_top"] == (-INF, 0.2)
        assert limits["neck_yaw"] == (-0.5, 0.5) and limits["neck_pitch"] == (0.1, 0.45)

        robot.set_left_arm_position([1.2, 0.3])
        robot.set_left_arm_position([0.9, 0.3])  # still out: no second warning
        robot.set_nose_position([0.5, 2.0, -2.0])  # a servo without limits goes as asked
        robot.set_neck_pitch_position(0.0)
        settle(robot)
        assert sim.servo_state(1)["goal"] == raw(0.5)
        assert sim.servo_state(2)["goal"] == raw(0.3)
        assert [sim.servo_state(i)["goal"] for i in (5, 6, 7)] == [raw(0.2), raw(2.0), raw(-2.0)]
        assert sim.motor_state(2)["cmd_position"] == pytest.approx(0.1, abs=5e-4)
        assert warnings(caplog, "out of joint limits") == [
            "left_arm_pitch requested position 1.2000 rad out of joint limits [-0.5000, 0.5000];"
            " clamped to 0.5000",
            "nose_top requested position 0.5000 rad out of joint limits [-inf, 0.2000]; clamped "
            "to 0.2000",
            "neck_pitch requested position 0.0000 rad out of joint limits [0.1000, 0.4500]; "
            "clamped to 0.1000"]

        robot.set_left_arm_position([0.2, 0.3])  # inside again: the next excursion is reported
        robot.set_left_arm_position([-0.7, 0.3])
        settle(robot)
        assert sim.servo_state(1)["goal"] == raw(-0.5)
        assert len(warnings(caplog, "left_arm_pitch requested position")) == 2
        if isinstance(robot, wmc.WenloMotorController):
            assert robot.neck_position_limits() == [(-0.5, 0.5), (0.0, 0.45), (-0.4, 0.4)]


BAD_LIMITS = [
    ({"left_elbow": (0, 1)}, "joint_limits: unknown joint 'left_elbow'"),
    ({"left_arm_yaw": (0.5, 0.5)}, "joint_limits['left_arm_yaw']: (0.5, 0.5): min must be below"),
    ({"nose_left": (math.nan, 1.0)}, "joint_limits['nose_left']: (NaN, 1.0) holds NaN"),
    ({"neck_yaw": (-1.0, 0.2)}, "joint_limits['neck_yaw']: (-1.0, 0.2) reaches outside the "
                                "neck's safe bounds (-0.5, 0.5)"),
]
BAD_STEPS = [
    (0.0, "max_step must be above 0, not 0.0"),
    (math.nan, "max_step must be above 0, not NaN"),
    ({"neck_roll": -0.1}, "max_step['neck_roll'] must be above 0, not -0.1"),
    ({"tail": 0.1}, "max_step: unknown joint 'tail'"),
]


@pytest.mark.parametrize("make", [open_controller, open_loop], ids=["controller", "loop"])
def test_bad_limits_and_steps_raise_value_error_before_anything_is_sent(make, sim):
    cases = [dict(joint_limits=bad, text=text) for bad, text in BAD_LIMITS]
    if make is open_loop:
        cases += [dict(max_step=bad, text=text) for bad, text in BAD_STEPS]
    sim.clear_received()
    sim.clear_can()
    for case in cases:
        text = case.pop("text")
        with pytest.raises(ValueError) as refused:
            make(sim, **case)
        assert str(refused.value).startswith(text), (case, str(refused.value))
    assert sim.received() == b"" and sim.can_frames() == []
    with pytest.raises(TypeError, match="argument 'joint_limits'"):
        make(sim, joint_limits=[("nose_top", (0, 1))])


@pytest.mark.instant_servos
def test_the_largest_step_moves_a_far_goal_by_the_step_from_the_last_reading(sim, caplog):
    caplog.set_level(logging.WARNING)
    with open_loop(sim, max_step={"left_arm_pitch": 0.1, "neck_yaw": 0.05},
                   joint_limits={"left_arm_yaw": (-0.2, 0.2)}) as loop:
        loop.set_left_arm_position([0.5, 0.05])
        loop.set_neck_yaw_position(-0.3)
        settle(loop)
        assert sim.servo_state(1)["goal"] == raw(0.1)  # from 0.0, where it stood
        assert sim.servo_state(2)["goal"] == raw(0.05)  # within reach: as asked
        assert sim.motor_state(1)["cmd_position"] == pytest.approx(-0.05, abs=5e-4)
        time.sleep(0.1)  # a few readings later the arm stands at 0.1: the next step goes on
        loop.set_left_arm_position([0.5, 0.05])
        settle(loop)
        assert sim.servo_state(1)["goal"] == raw(0.2)
        assert len(warnings(caplog, "left_arm_pitch requested position 0.5000 rad is more than "
                                    "max_step 0.1000 rad")) == 1
    with open_loop(sim, max_step=0.01) as loop:  # one step for every joint
        stands = loop.get_last_position().left_arm[1]  # about 0.05, from before
        loop.set_left_arm_position([0.0, -0.5])
        settle(loop)
        assert sim.servo_state(2)["goal"] == raw(stands - 0.01)


def open_quiet_loop(sim, **kwargs):
    """A loop whose second reading is a minute away: the buses carry only the commands."""
    return wmc.WenloPyControlLoop(sim.serial_path, 60000 * MS, "can0", **kwargs)


@pytest.mark.parametrize("make", [open_controller, open_quiet_loop], ids=["controller", "loop"])
def test_limits_that_do_not_bind_change_no_byte_on_either_bus(make, sim):
    def traffic(**kwargs):
        with make(sim, **kwargs) as robot:
            time.sleep(0.05)
            sim.clear_received()
            sim.clear_can()
            robot.set_arms_position([0.1, -0.1, 0.2, -0.2])
            robot.set_neck_position([0.1, 0.2, 0.0])
            robot.set_nose_position([0.0, 0.1, -0.1])
            settle(robot)
            return sim.received(), sim.can_frames()

    plain = traffic()
    assert plain == traffic(joint_limits={"left_arm_pitch": (-3, 3), "neck_yaw": (-0.5, 0.5)},
                            **({"max_step": 5.0} if make is open_quiet_loop else {}))
    assert plain[0] and plain[1]


LATCHED = "emergency stop latched: nothing may move the motors until reset_estop() is called"


@pytest.mark.parametrize("make", [open_controller, open_loop], ids=["controller", "loop"])
def test_the_emergency_stop_damps_the_neck_frees_the_servos_and_latches(make, sim):
    with make(sim) as robot:
        robot.enable_torque()
        robot.enable_neck(True)
        robot.set_neck_position([0.2, 0.2, 0.1])
        settle(robot)
        assert not robot.is_estopped()
        assert robot.estop() is None
        settle(robot)
        assert robot.is_estopped() and not robot.is_torque_enabled()
        assert [sim.servo_state(i)["torque"] for i in range(1, 8)] == [0] * 7
        for motor, kd in ((1, 1.0), (2, 2.0), (3, 2.0)):  # damping: no stiffness, its own kd
            state = sim.motor_state(motor)
            assert (state["cmd_kp"], state["cmd_kd"], state["enabled"]) == (0.0, kd, 1), state

        moves = [lambda: robot.set_arms_position([0.1] * 4), robot.enable_torque,
                 lambda: robot.enable_torque_on_ids([3]), lambda: robot.enable_arms(True),
                 lambda: robot.set_neck_position([0.0, 0.1, 0.0]),
                 lambda: robot.set_neck_yaw_position(0.1), lambda: robot.enable_neck(True)]
        if isinstance(robot, wmc.WenloMotorController):
            moves += [robot.neck_home, lambda: robot.set_neck_gains(0, 10.0, 1.0)]
        for move in moves:
            with pytest.raises(RuntimeError) as refused:
                move()
            assert str(refused.value) == LATCHED
        # What cannot move anything still works: reads, torque off, the neck off.
        robot.disable_torque()
        robot.enable_neck(False)
        settle(robot)
        assert sim.motor_state(1)["enabled"] == 0
        if isinstance(robot, wmc.WenloMotorController):
            assert len(robot.read_all_positions()) == 7
        else:
            assert len(robot.get_last_position().neck) == 3

        robot.reset_estop()  # re-enables nothing
        settle(robot)
        assert not robot.is_estopped()
        assert sim.servo_state(1)["torque"] == 0 and sim.motor_state(2)["enabled"] == 0
        robot.enable_torque()
        settle(robot)
        assert sim.servo_state(1)["torque"] == 1


@pytest.mark.parametrize("make", [open_controller, open_loop], ids=["controller", "loop"])
def test_every_step_of_the_stop_is_tried_and_the_first_failure_raised(make, sim):
    with make(sim) as robot:
        robot.enable_torque()
        robot.enable_neck(True)
        settle(robot)
        sim.motor_connected(1, False)  # the yaw motor is gone: its step fails
        with pytest.raises(RuntimeError, match=r"^estop\(neck_yaw\): "):
            robot.estop()
        settle(robot)
        assert robot.is_estopped()
        assert sim.motor_state(2)["cmd_kp"] == 0.0 and sim.motor_state(3)["cmd_kp"] == 0.0
        assert [sim.servo_state(i)["torque"] for i in range(1, 8)] == [0] * 7


def test_the_loops_stop_jumps_the_queue_and_drops_what_was_queued(sim):
    import threading

    sim.servo_fault(1, "delay", 8000)  # every reading takes 8 ms: the worker falls behind
    with open_loop(sim) as loop:
        loop.enable_torque()
        settle(loop)
        for k in range(1, 60):
            loop.set_left_arm_position([0.0, k / 100])
        outcome = []
        reader = threading.Thread(target=lambda: outcome.append(_try(loop.async_read_pid_gains, 1)))
        reader.start()
        time.sleep(0.02)
        loop.estop()
        reader.join(10)
        assert outcome == [LATCHED]  # its request was dropped: its caller hears why
        settle(loop)
        goal = sim.servo_state(2)["goal"]
        assert goal != raw(0.59) and sim.servo_state(2)["torque"] == 0, goal
        time.sleep(0.1)
        assert sim.servo_state(2)["goal"] == goal  # nothing queued before the stop runs after it


def _try(call, *args):
    try:
        return call(*args)
    except RuntimeError as e:
        return str(e)


EXIT_SCRIPT = r'''
import datetime, gc, os, sys
import wenlo_motor_controller as w

kind, policy, ending = sys.argv[1:]
port = os.environ["WENLO_SIM_SERIAL"]
if kind == "controller":
    robot = w.WenloMotorController(port, "can0", on_exit=policy)
else:
    robot = w.WenloPyControlLoop(port, datetime.timedelta(milliseconds=10), "can0",
                                 on_exit=policy)
robot.enable_torque()
robot.enable_neck(True)
if kind == "loop":
    robot.async_read_pid_gains(1)  # what was queued has run
if ending == "close":
    robot.close()
elif ending == "collected":
    del robot
    gc.collect()
elif ending == "uncaught exception":
    raise KeyError("the program fails")
print("the program ends", flush=True)
'''

# What each policy leaves: the servos' torque, whether the neck is enabled, its stiffness.
LEFT = {"hold": (1, 1, None), "limp": (0, 0, None), "damp": (0, 1, 0.0)}


@pytest.mark.parametrize("kind", ["controller", "loop"])
@pytest.mark.parametrize("ending", ["close", "collected", "normal exit", "uncaught exception"])
def test_the_exit_policy_is_applied_however_the_program_lets_go(kind, ending, sim):
    import os
    import subprocess
    import sys

    runs = int(os.environ.get("WENLO_EXIT_RUNS", "2"))
    outcomes = []
    for run in range(runs):
        for policy in ("limp", "damp") if ending != "close" or run else ("hold", "limp", "damp"):
            done = subprocess.run([sys.executable, "-c", EXIT_SCRIPT, kind, policy, ending],
                                  env=sim.env(), capture_output=True, text=True, timeout=60)
            torque, enabled, kp = LEFT[policy]
            seen = ([sim.servo_state(i)["torque"] for i in range(1, 8)],
                    [sim.motor_state(m)["enabled"] for m in (1, 2, 3)],
                    [sim.motor_state(m)["cmd_kp"] for m in (1, 2, 3)] if kp is not None else None)
            ok = (done.returncode == (1 if ending == "uncaught exception" else 0)
                  and seen == ([torque] * 7, [enabled] * 3, None if kp is None else [kp] * 3))
            outcomes.append(ok)
            assert ok, (policy, done.returncode, done.stderr[-1500:], seen)
    print(f"{kind}, {ending}: {sum(outcomes)} of {len(outcomes)} runs left the motors as asked")


def test_the_neck_timeout_is_set_at_start_up_and_ticks_feed_it_with_control_frames(sim):
    with pytest.raises(ValueError, match=r"^neck_timeout must be at least twice the period plus "
                                         r"20 ms \(40 ms\), not 39 ms$"):
        open_loop(sim, neck_timeout=39 * MS)
    assert sim.can_frames() == []  # refused before anything was sent

    with open_loop(sim, neck_timeout=200 * MS) as loop:
        time.sleep(0.05)
        sim.clear_can()
        time.sleep(0.1)
        asked = {can_id for can_id, _ in sim.can_frames()}
        assert asked == {0x7FF}  # a neck that is not enabled is only asked for feedback
        loop.enable_neck(True)
        loop.set_neck_position([0.1, 0.2, 0.0])
        settle(loop)
        sim.clear_can()
        time.sleep(0.1)
        frames = sim.can_frames()
        assert {can_id for can_id, _ in frames} == {1, 2, 3}, frames  # MIT commands, every tick
        assert len(frames) >= 3 * 5
        assert sim.motor_state(2)["cmd_position"] == pytest.approx(0.2, abs=5e-4)
    with open_controller(sim) as robot:
        assert [robot.read_neck_register(j, "TIMEOUT") for j in
                ("neck_yaw", "neck_pitch", "neck_roll")] == [4000] * 3  # 200 ms in 50 us


FEEDS = [pytest.param(f, marks=pytest.mark.neck_watchdog_feeds(f), id=f"feeds {f}")
         for f in ("control", "any")]


@pytest.mark.parametrize("feeds", FEEDS)
@pytest.mark.parametrize("period_ms, timeout_ms", [(10, 200), (50, 150)], ids=["100 Hz", "20 Hz"])
def test_a_running_loop_never_lets_its_neck_trip(feeds, period_ms, timeout_ms, sim):
    with wmc.WenloPyControlLoop(sim.serial_path, period_ms * MS, "can0",
                                neck_timeout=timeout_ms * MS) as loop:
        loop.enable_neck(True)
        started = time.monotonic()
        while time.monotonic() - started < 10.0:
            loop.set_neck_yaw_position(0.1 * math.sin(time.monotonic()))
            time.sleep(0.3)  # goals now and then: the ticks alone keep the neck fed
        states = [sim.motor_state(m) for m in (1, 2, 3)]
        assert [(s["enabled"], s["watchdog_trips"]) for s in states] == [(1, 0)] * 3, states
        assert "comm_lost" not in loop.get_last_health()["neck_yaw"].faults


KILLED = r'''
import datetime, os, sys, time
import wenlo_motor_controller as w
loop = w.WenloPyControlLoop(os.environ["WENLO_SIM_SERIAL"], datetime.timedelta(milliseconds=10),
                            "can0", neck_timeout=datetime.timedelta(milliseconds=200))
loop.enable_neck(True)
loop.async_read_pid_gains(1)
print("enabled", flush=True)
time.sleep(60)
'''


@pytest.mark.parametrize("feeds", FEEDS)
def test_a_killed_program_leaves_its_neck_disabled_within_the_timeout(feeds, sim):
    import os
    import signal
    import subprocess
    import sys

    runs = int(os.environ.get("WENLO_KILL_RUNS", "5"))
    late = []
    for _ in range(runs):
        program = subprocess.Popen([sys.executable, "-c", KILLED], env=sim.env(),
                                   stdout=subprocess.PIPE, text=True)
        try:
            assert program.stdout.readline() == "enabled\n"
            time.sleep(0.3)  # ticks have fed it meanwhile
            killed_at = time.monotonic_ns()
            program.send_signal(signal.SIGKILL)
            program.wait(10)
        finally:
            program.kill()
        time.sleep(0.35)
        for motor in (1, 2, 3):
            state = sim.motor_state(motor)
            assert state["enabled"] == 0 and state["error_code"] == 0xD, state
            late.append((state["tripped_at"] - killed_at) / 1e6 - 200)
        assert all(ms <= 10 for ms in late), late
    print(f"{runs} kills: the neck left its enabled state at most {max(late):.1f} ms after "
          f"the time-out from the kill")


@pytest.mark.parametrize("feeds", FEEDS)
def test_the_watchdog_check_tells_which_frames_the_motors_count(feeds, sim):
    import subprocess
    import sys

    done = subprocess.run([sys.executable, "-m", "wenlo_tools", "neck-watchdog-check"],
                          env=sim.env(), capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    verdict = ("tripped on feedback requests alone" if feeds == "control"
               else "kept alive by feedback requests")
    lines = done.stdout.splitlines()
    assert [line.split(":")[0] for line in lines] == ["neck_yaw", "neck_pitch", "neck_roll"]
    assert all(verdict in line for line in lines), lines
    states = [sim.motor_state(m) for m in (1, 2, 3)]  # put back as found
    assert [(s["enabled"], s["timeout"], s["error_code"]) for s in states] == [(0, 0, 0)] * 3, \
        states
