"""Error paths must not leak references: repeated failing calls leave refcounts and the number
of allocated blocks where they were."""
import gc
import sys

import pytest

import wenlo_motor_controller as wmc


def assert_keeps_nothing(call, times, exc=None, arg=None):
    """Calls call (which must raise exc, if one is given) a few times to warm up caches, then
    `times` times more: the allocated blocks, and arg's refcount, stay where they were."""
    def once():
        if exc is None:
            call()
        else:
            with pytest.raises(exc):
                call()

    before_ref = sys.getrefcount(arg) if arg is not None else 0
    for _ in range(20):
        once()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(times):
        once()
    gc.collect()
    grown = sys.getallocatedblocks() - before
    assert grown < 200, f"{grown} blocks kept by {call}"
    if arg is not None:
        assert sys.getrefcount(arg) == before_ref, call


def failing_calls(ctl):
    items = [1.0, "x"]
    return [
        (lambda: wmc.WenloTorsoPosition(items, [1, 2], [3, 4, 5], [6, 7, 8]), TypeError, items),
        (lambda: wmc.WenloTorsoPosition([0.0], [1, 2], [3, 4, 5], items), BaseException, items),
        (lambda: ctl.set_neck_position(items), ValueError, items),
        (lambda: ctl.set_arms_position(items), ValueError, items),
        (lambda: ctl.enable_torque_on_ids(items), TypeError, items),
        (lambda: ctl.set_neck_gains(3, 1.0, 0.5), RuntimeError, None),
        (lambda: ctl.read_all_positions(), RuntimeError, None),
        (lambda: ctl.neck_home(speed=0), RuntimeError, None),
        (lambda: ctl.enable_arms(enable=items), TypeError, items),
        (lambda: wmc.WenloMotorController(serialport=items), TypeError, items),
        (lambda: wmc.WenloPyControlLoop(None, items), TypeError, items),
    ]


def test_failing_calls_leak_nothing(sim):
    ctl = wmc.WenloMotorController()  # neck-only: arm methods fail without traffic
    for call, exc, arg in failing_calls(ctl):
        assert_keeps_nothing(call, 2000, exc, arg)


def loop_calls(loop, closed):
    items = [1.0, "x"]
    nan = [float("nan"), 0.0]
    return [
        (lambda: loop.set_left_arm_position(nan), ValueError, nan),
        (lambda: loop.enable_torque_on_ids(items), TypeError, items),
        (lambda: loop.set_all_goal_positions(items), TypeError, items),
        (lambda: closed.set_neck_position([0.0, 0.0, 0.0]), RuntimeError, None),
        (lambda: closed.async_read_pid_gains(1), RuntimeError, None),
        (lambda: closed.write_raw_packet(b"\x00"), RuntimeError, None),
    ]


def test_failing_and_succeeding_loop_calls_leak_nothing(make_loop):
    import datetime

    loop = make_loop(stats_pub_period=datetime.timedelta(milliseconds=50))
    closed = make_loop(serial=False)
    closed.close()
    for call, exc, arg in loop_calls(loop, closed):
        assert_keeps_nothing(call, 500, exc, arg)
    position = loop.get_last_position()
    for call in (loop.get_last_position, loop.get_stats, loop.get_motor_name_id,
                 loop.is_torque_enabled, lambda: loop.set_all_goal_positions(position),
                 lambda: loop.async_read_raw_bytes(1, 21, 3), lambda: loop.async_read_pid_gains(1)):
        assert_keeps_nothing(call, 300)


def test_successful_results_leak_nothing(sim):
    ctl = wmc.WenloMotorController(sim.serial_path)
    for call in (ctl.read_all_positions, ctl.neck_position_limits, ctl.read_neck_positions,
                 lambda: repr(wmc.WenloTorsoPosition([0, 1], [2, 3], [4, 5, 6], [7, 8, 9]))):
        assert_keeps_nothing(call, 500)
