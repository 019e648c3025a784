"""The loop's commands on the simulated robot: what reaches the buses, what comes back, and
how each fails."""
import datetime
import math
import time

import pytest

import wenlo_motor_controller as wmc
from test_controller_serial import packet, raw, sync_write

COMM = "Motor communication error! Check connections and power supply."
ULP = 25.0 / 65535 * 1.01


def settle(loop):
    """Returns once the worker has executed everything queued before: a read runs after it."""
    loop.async_read_raw_bytes(1, 0, 1)


def writes_only(received):
    """The instruction packets in `received`, without the reads that settle() adds."""
    out, i = [], 0
    while i + 4 <= len(received):
        length = received[i + 3]
        pkt = received[i:i + 4 + length]
        if pkt[4] != 0x02:  # not a read
            out.append(bytes(pkt))
        i += 4 + length
    return b"".join(out)


GOALS = [0.1, -0.2, 0.3, -0.4, 0.5, -0.6, 0.7]


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda l: l.set_left_arm_position([0.1, -0.2]),
         sync_write(0x2A, [(1, raw(0.1).to_bytes(2, "little")), (2, raw(-0.2).to_bytes(2, "little"))])),
        (lambda l: l.set_arms_position(GOALS[:4]),
         sync_write(0x2A, [(i + 1, raw(v).to_bytes(2, "little")) for i, v in enumerate(GOALS[:4])])),
        (lambda l: l.set_nose_position(GOALS[4:]),
         sync_write(0x2A, [(i + 5, raw(v).to_bytes(2, "little")) for i, v in enumerate(GOALS[4:])])),
        (lambda l: l.set_all_goal_positions(wmc.WenloTorsoPosition(GOALS[:2], GOALS[2:4], GOALS[4:], [9, 9, 9])),
         sync_write(0x2A, [(i + 1, raw(v).to_bytes(2, "little")) for i, v in enumerate(GOALS[:4])]) +
         sync_write(0x2A, [(i + 5, raw(v).to_bytes(2, "little")) for i, v in enumerate(GOALS[4:])])),
        (lambda l: l.enable_torque(),
         sync_write(0x28, [(i, [1]) for i in (1, 2, 3, 4)]) + sync_write(0x28, [(i, [1]) for i in (5, 6, 7)])),
        (lambda l: l.disable_torque_on_ids([6, 2]),
         sync_write(0x28, [(2, [0])]) + sync_write(0x28, [(6, [0])])),
        (lambda l: l.enable_arms(False), sync_write(0x28, [(i, [0]) for i in (1, 2, 3, 4)])),
        (lambda l: l.enable_nose(True), sync_write(0x28, [(i, [1]) for i in (5, 6, 7)])),
        (lambda l: l.async_write_raw_bytes(3, 21, [7, 8]), packet(3, 0x03, [21, 7, 8])),
        (lambda l: l.async_write_pid_gains(1, 32, 0, 8), packet(1, 0x03, [21, 32, 8, 0])),
        (lambda l: l.async_write_pid_gains(1, 256, 300, 0), packet(1, 0x03, [21, 0, 0, 44])),
    ],
)
def test_fire_and_forget_commands_reach_the_servos(quiet_loop, sim, call, expected):
    assert call(quiet_loop) is None
    settle(quiet_loop)
    assert writes_only(sim.received()) == expected


def test_neck_commands_clamp_warn_and_reach_the_motors(quiet_loop, sim, controller_log):
    quiet_loop.set_neck_position([3.0, 0.2, 0.0])
    quiet_loop.set_neck_roll_position(-0.1)
    quiet_loop.enable_neck(True)
    settle(quiet_loop)
    assert [r.getMessage() for r in controller_log()] == [
        "neck_yaw requested position 3.0000 rad out of safe range [-0.5000, 0.5000]; "
        "clamped to 0.5000"]
    assert sim.motor_state(1)["cmd_position"] == pytest.approx(0.5, abs=ULP)
    assert sim.motor_state(2)["cmd_position"] == pytest.approx(0.2, abs=ULP)
    assert sim.motor_state(3)["cmd_position"] == pytest.approx(-0.1, abs=ULP)
    assert all(sim.motor_state(m)["enabled"] == 1 for m in (1, 2, 3))


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda l: l.set_left_arm_position([math.nan, 0]),
         "set_left_arm_position(left_arm_pitch): requested position is NaN"),
        (lambda l: l.set_nose_position([0, 0, math.nan]),
         "set_nose_position(nose_right): requested position is NaN"),
        (lambda l: l.set_all_goal_positions(wmc.WenloTorsoPosition([0, 0], [0, math.nan], [0, 0, 0], [0, 0, 0])),
         "set_all_goal_positions(right_arm_yaw): requested position is NaN"),
        (lambda l: l.set_neck_position([0, math.nan, 0]),
         "set_neck_position(neck_pitch): requested position is NaN"),
        (lambda l: l.set_neck_yaw_position(math.nan), "set_neck_yaw_position: requested position is NaN"),
        (lambda l: l.async_write_raw_bytes(1, 0, [0] * 253), "async_write_raw_bytes: 253 data bytes"),
        (lambda l: l.set_left_arm_position([0, 0, 0]), "expected a sequence of length 2 (got 3)"),
    ],
)
def test_bad_values_raise_before_anything_is_queued(quiet_loop, sim, call, message):
    with pytest.raises(ValueError) as info:
        call(quiet_loop)
    assert str(info.value).startswith(message)
    settle(quiet_loop)
    assert writes_only(sim.received()) == b"" and sim.can_frames() == []


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda l: l.set_all_goal_positions([0] * 7), TypeError, "argument 'positions': "),
        (lambda l: l.enable_torque_on_ids("12"), TypeError, "argument 'ids': a str is not"),
        (lambda l: l.enable_torque_on_ids([1, 256]), OverflowError, "out of range"),
        (lambda l: l.async_read_raw_bytes(1, 2), TypeError, "WenloPyControlLoop.async_read_raw_bytes() missing 1"),
        (lambda l: l.async_write_pid_gains(1, 65536, 0, 0), OverflowError, "out of range"),
        (lambda l: l.write_raw_packet(bytearray(b"x")), TypeError, "argument 'data': "),
        (lambda l: l.enable_arms(1), TypeError, "argument 'enable': "),
        (lambda l: wmc.WenloPyControlLoop.close(object()), TypeError, "descriptor 'close'"),
    ],
)
def test_argument_errors(quiet_loop, call, exc, message):
    with pytest.raises(exc) as info:
        call(quiet_loop)
    assert str(info.value).startswith(message)


def test_replies_torque_state_and_gains(quiet_loop, sim):
    loop = quiet_loop
    sim.servo_write_registers(1, 21, bytes([32, 8, 0]))
    assert loop.async_read_pid_gains(1) == (32, 0, 8)
    assert loop.async_read_raw_bytes(1, 21, 3) == bytes([32, 8, 0])
    assert loop.is_torque_enabled() is False
    loop.enable_torque_on_ids([1])
    settle(loop)
    assert loop.is_torque_enabled() is True          # whatever servos 2 to 7 say
    loop.enable_arms(False)
    settle(loop)
    assert loop.is_torque_enabled() is True          # enable_arms leaves it alone
    ping = packet(3, 0x01, [])
    assert loop.write_raw_packet(ping) == packet(3, 0x00, [])
    # A read from an id nobody answers fails after its retries, with the prefix.
    with pytest.raises(RuntimeError) as info:
        loop.async_read_pid_gains(42)
    assert str(info.value) == "Failed to read pid gains: " + COMM


def test_a_neck_only_loop_drops_serial_commands_and_fails_serial_reads(make_loop, sim):
    loop = make_loop(serial=False)
    assert loop.set_arms_position([0, 0, 0, 0]) is None
    started = time.monotonic()
    with pytest.raises(RuntimeError) as info:
        loop.async_read_raw_bytes(1, 0, 1)
    assert str(info.value) == "Failed to read raw bytes: " + COMM
    assert time.monotonic() - started < 0.5  # the worker closed the channel at once
    with pytest.raises(RuntimeError) as info:
        loop.write_raw_packet(b"\xff")
    assert str(info.value) == ("Failed to receive raw packet response: receiving on a closed "
                               "channel")
    assert sim.received() == b""


def test_after_close_commands_fail_with_their_texts(make_loop):
    loop = make_loop()
    loop.close()
    last = loop.get_last_position()
    for call in (lambda: loop.set_neck_position([0, 0, 0]), loop.enable_torque,
                 lambda: loop.write_raw_packet(b"\x00")):
        with pytest.raises(RuntimeError, match="^channel closed$"):
            call()
    for call, prefix in ((lambda: loop.async_read_raw_bytes(1, 0, 1), "Failed to read raw bytes: "),
                         (lambda: loop.async_write_raw_bytes(1, 0, [1]), "Failed to write raw bytes: "),
                         (lambda: loop.async_read_pid_gains(1), "Failed to read pid gains: "),
                         (lambda: loop.async_write_pid_gains(1, 0, 0, 0), "Failed to write pid gains: ")):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == prefix + COMM
    assert repr(loop.get_last_position()) == repr(last)
    loop.close()


def test_periodic_reads_and_statistics(make_loop, sim):
    sim.servo_set_position(2, 3000)
    loop = make_loop(period_ms=10, stats_pub_period=datetime.timedelta(milliseconds=100))
    first = loop.get_last_position()
    time.sleep(1.0)
    stats = loop.get_stats()
    last = loop.get_last_position()
    assert last.timestamp > first.timestamp + 0.8
    assert last.left_arm[1] == pytest.approx((3000 - 2048) * 2 * math.pi / 4096)
    assert 70 <= len(stats.period) <= 110
    assert stats.period[0] < 0.005
    assert sum(stats.period[1:]) / len(stats.period[1:]) == pytest.approx(0.010, abs=0.002)
    assert 0 < len(stats.read_dt) <= len(stats.period)
    assert repr(stats).startswith("ControlLoopStats(period=~")


def test_period_samples_are_published_every_tick_read_and_write_times_in_batches(make_loop):
    # 10 ms ticks, a batch every 300 ms: about 30 read samples at a time, and as many write
    # samples as commands ran meanwhile.
    loop = make_loop(serial=False, period_ms=10,
                     stats_pub_period=datetime.timedelta(milliseconds=300))
    seen = []  # (time, len(period), len(read_dt), len(write_dt))
    start = time.monotonic()
    while time.monotonic() - start < 2.5:
        loop.set_neck_yaw_position(0.0)  # a write sample
        stats = loop.get_stats()
        seen.append((time.monotonic(), len(stats.period), len(stats.read_dt), len(stats.write_dt)))
        time.sleep(0.005)

    def steps(column):
        return [(now[0], now[column] - before[column])
                for before, now in zip(seen, seen[1:]) if now[column] != before[column]]

    periods, reads, writes = steps(1), steps(2), steps(3)
    median = lambda values: sorted(values)[len(values) // 2]  # noqa: E731
    assert len(periods) >= 50 and median([n for _, n in periods]) <= 2, periods
    for batches in (reads, writes):
        assert 3 <= len(batches) <= 12, batches
        assert median([n for _, n in batches]) >= 10, batches
        gaps = [b[0] - a[0] for a, b in zip(batches, batches[1:])]
        assert 0.2 <= median(gaps) <= 1.0, batches
    # A tick's period is out before its read time, which waits for the batch.
    assert all(p >= r for _, p, r, _ in seen)
    assert max(p - r for _, p, r, _ in seen) >= 15


def test_a_pulled_neck_cable_fails_reads_until_it_is_back(make_loop, sim):
    loop = make_loop(period_ms=10)

    def wait_for(ok):
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            try:
                loop.get_last_position()
                if ok:
                    return
            except RuntimeError as e:
                if not ok:
                    return str(e)
            time.sleep(0.005)
        pytest.fail("the reads did not change")

    sim.motor_connected(2, False)
    assert wait_for(False) == COMM
    sim.motor_connected(2, True)
    wait_for(True)
