"""A tick asks the servos and the neck at once: the neck's three requests are on the bus before
any reply comes back, and what the tick stores is what it always stored."""
import datetime
import math
import time

import pytest

FEEDBACK = 0x7FF
COMM = "Motor communication error! Check connections and power supply."


def requests_per_tick(frames):
    """The feedback requests the motors heard, grouped by tick: (motor id, time in s). Only
    whole ticks: the first may have begun before the frames were cleared, and the last one is
    left out as it may still be going on."""
    ticks, current = [], []
    for can_id, data, at in frames:
        if can_id != FEEDBACK or data[2] != 0xCC:
            continue
        if current and data[0] == 1:
            ticks.append(current)
            current = []
        current.append((data[0], at / 1e9))
    return ticks[1:]


def snapshot_fails(loop):
    try:
        loop.get_last_position()
    except RuntimeError as e:
        assert str(e) == COMM
        return True
    return False


def wait_for(check, what, seconds=3.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if check():
            return
        time.sleep(0.01)
    pytest.fail(f"{what} never came")


def test_the_neck_is_asked_all_at_once_while_the_servos_answer(sim, make_loop):
    for motor in (1, 2, 3):
        sim.motor_delay(motor, 0.005)  # each reply 5 ms late: asked in turn, a tick takes 15 ms
    sim.motor_set_position(2, 0.25)
    loop = make_loop(period_ms=50)
    time.sleep(0.2)
    sim.clear_can()
    time.sleep(1.0)
    ticks = requests_per_tick(sim.can_frames_timed())
    assert len(ticks) >= 10
    for tick in ticks:
        assert [motor for motor, _ in tick] == [1, 2, 3]
        assert tick[-1][1] - tick[0][1] < 0.004, tick  # all three before the first reply
    position = loop.get_last_position()
    assert position.neck[1] == pytest.approx(0.25, abs=1e-3)
    assert [h.failures for h in loop.get_last_health().values()] == [0] * 10


# Far enough apart that a reply taken for another motor's cannot pass for its own.
NECK_AT = {"neck_yaw": -0.2, "neck_pitch": 0.25, "neck_roll": 0.1}


@pytest.mark.parametrize("silent", list(NECK_AT))
def test_a_silent_motor_fails_the_snapshot_as_before_and_the_others_still_answer(
        sim, make_loop, silent):
    for each, rad in enumerate(NECK_AT.values(), start=1):
        sim.motor_set_position(each, rad)
    motor = list(NECK_AT).index(silent) + 1
    loop = make_loop(period_ms=10)
    sim.motor_connected(motor, False)
    wait_for(lambda: snapshot_fails(loop), "a failed snapshot")
    seen = set()
    for _ in range(50):  # tick after tick, the silent one is the only one that fails
        health = loop.get_last_health()
        for joint, rad in NECK_AT.items():  # each keeps its own reading, the silent its last
            assert health[joint].position == pytest.approx(rad, abs=1e-3), health[joint]
            if joint != silent:
                assert health[joint].failures == 0, health[joint]
        seen.add(health[silent].failures)
        time.sleep(0.01)
    assert max(seen) >= 3, seen
    sim.motor_connected(motor, True)
    wait_for(lambda: not snapshot_fails(loop), "a snapshot after the motor came back")
    assert loop.get_last_health()[silent].failures == 0
    assert loop.get_last_position().neck == pytest.approx(list(NECK_AT.values()), abs=1e-3)


def test_servos_failing_for_good_and_recovering_store_what_they_always_did(sim, make_loop):
    sim.motor_set_position(2, 0.25)
    loop = make_loop(period_ms=250)  # five attempts of silent servos fit in a tick
    for servo in range(1, 8):  # a line with no answer at all: time-outs, which are retried
        sim.servo_unpowered(servo)
    wait_for(lambda: snapshot_fails(loop), "a failed snapshot")
    sim.clear_can()
    time.sleep(0.6)
    ticks = requests_per_tick(sim.can_frames_timed())
    gaps = [b[0][1] - a[0][1] for a, b in zip(ticks, ticks[1:])]
    # Each attempt asks the neck afresh: requests a retry pause apart, not a period apart.
    assert all(motor == [1, 2, 3] for motor in ([m for m, _ in t] for t in ticks))
    assert sum(0.015 < gap < 0.1 for gap in gaps) >= 4, gaps
    health = loop.get_last_health()
    assert health["left_arm_pitch"].failures >= 1  # the first that did not answer
    assert [health[n].failures for n in ("neck_yaw", "neck_pitch", "neck_roll")] == [0, 0, 0]

    for servo in range(1, 8):
        sim.servo_unpowered(servo, False)
    wait_for(lambda: not snapshot_fails(loop), "a snapshot after the servos came back")
    assert loop.get_last_position().neck[1] == pytest.approx(0.25, abs=1e-3)
    assert loop.get_last_health()["left_arm_pitch"].failures == 0


def test_neck_replies_before_the_servos_answer_are_kept_for_their_motors(sim, make_loop):
    sim.servo_set_position(2, 3000)
    for motor, rad in ((1, -0.1), (2, 0.25), (3, 0.1)):
        sim.motor_set_position(motor, rad)
    sim.servo_fault(1, "delay", 4000)  # the servos' burst comes 4 ms late, the neck at once
    loop = make_loop(period_ms=20, stats_pub_period=datetime.timedelta(milliseconds=100))
    time.sleep(0.3)
    position = loop.get_last_position()
    assert position.left_arm[1] == pytest.approx((3000 - 2048) * 2 * math.pi / 4096)
    assert position.neck == pytest.approx([-0.1, 0.25, 0.1], abs=1e-3)
    stats = loop.get_stats()
    assert min(stats.read_dt) > 0.004  # the tick did wait for the late servo
