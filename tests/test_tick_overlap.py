"""A tick asks the servos and the neck at once: the neck's three requests are on the bus before
any reply comes back, and what the tick stores is what it always stored."""
import datetime
import time

import pytest

FEEDBACK = 0x7FF


def requests_per_tick(frames):
    """The feedback requests the motors heard, grouped by tick: (motor id, time in s)."""
    ticks, current = [], []
    for can_id, data, at in frames:
        if can_id != FEEDBACK or data[2] != 0xCC:
            continue
        if current and data[0] == 1:
            ticks.append(current)
            current = []
        current.append((data[0], at / 1e9))
    return ticks


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


def test_a_silent_motor_fails_the_snapshot_as_before_and_the_others_still_answer(sim, make_loop):
    loop = make_loop(period_ms=10)
    sim.motor_connected(3, False)
    deadline = time.monotonic() + 3
    while time.monotonic() < deadline:
        try:
            loop.get_last_position()
        except RuntimeError as e:
            assert str(e) == "Motor communication error! Check connections and power supply."
            break
        time.sleep(0.01)
    else:
        pytest.fail("the snapshot never failed")
    health = loop.get_last_health()
    assert health["neck_roll"].failures >= 1
    assert health["neck_yaw"].failures == 0 and health["neck_pitch"].failures == 0
    sim.motor_connected(3, True)
    deadline = time.monotonic() + 3
    while time.monotonic() < deadline:
        try:
            loop.get_last_position()
            break
        except RuntimeError:
            time.sleep(0.01)
    assert loop.get_last_health()["neck_roll"].failures == 0
