"""WenloPyControlLoop as Python sees it: its arguments and their errors, the start-up failures,
and what a loop holds until it is closed. Its names, signatures and docstrings are the committed
stub's (test_stubs)."""
import datetime
import gc
import os
import time
import weakref

import pytest

import wenlo_motor_controller as wmc

ms = lambda n: datetime.timedelta(milliseconds=n)  # noqa: E731

@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((None,), {}, TypeError,
         "WenloPyControlLoop() missing 1 required positional argument: 'read_position_loop_period'"),
        ((None, ms(10)), dict(can_bus=None), TypeError, "argument 'can_bus': "),
        ((None, ms(10)), dict(voltage_rampup_timeout=None), TypeError,
         "argument 'voltage_rampup_timeout': "),
        ((None, 0.01), {}, TypeError, "argument 'read_position_loop_period': "),
        ((None, ms(10)), dict(allowed_retries=-1), OverflowError, ""),
        ((None, ms(10)), dict(allowed_retries=2**64), OverflowError, ""),
        ((None, datetime.timedelta(seconds=-1)), {}, ValueError,
         "a negative timedelta cannot be converted to a duration"),
        ((None, ms(10)), dict(stats_pub_period=ms(-1)), ValueError, "a negative timedelta"),
        ((None, ms(0)), {}, ValueError, "read_position_loop_period must be greater than zero"),
        ((None, ms(10)), dict(allowed_retries=0), ValueError, "allowed_retries must be at least 1"),
        (("/dev/x\x00y", ms(10)), {}, ValueError, "embedded null character"),
        ((None, ms(10), "can0", 5, None, ms(1), 7), {}, TypeError,
         "WenloPyControlLoop() takes from 2 to 6 positional arguments but 7 were given"),
    ],
)
def test_argument_errors_are_raised_before_anything_is_opened(sim, args, kwargs, exc, message):
    # The serial port stays free: nothing opened it.
    with pytest.raises(exc) as info:
        wmc.WenloPyControlLoop(*args, **kwargs)
    assert str(info.value).startswith(message)
    assert sim.received() == b"" and sim.can_frames() == []


def test_start_up_failures_raise_the_motor_error_text(sim):
    with pytest.raises(RuntimeError) as info:
        wmc.WenloPyControlLoop("/dev/does-not-exist-wenlo", ms(10))
    assert str(info.value) == ("Check if your USB cable is connected. Could not find port: "
                               "/dev/does-not-exist-wenlo!")
    with pytest.raises(RuntimeError) as info:
        wmc.WenloPyControlLoop(None, ms(10), can_bus="nosuchcan")
    assert str(info.value) == ("Could not open serial port: ! Check permissions and if the port "
                               "is already in use.")
    sim.servo_unpowered(3)
    sim.servo_unpowered(6)
    with pytest.raises(RuntimeError) as info:
        wmc.WenloPyControlLoop(sim.serial_path, ms(10))
    assert str(info.value) == 'Missing motors: ["right_arm_pitch", "nose_left"]!'


def test_a_neck_only_loop_with_defaults(make_loop, sim):
    loop = make_loop(serial=False)
    assert loop.get_stats() is None
    assert loop.is_torque_enabled() is False
    position = loop.get_last_position()
    assert isinstance(position, wmc.WenloTorsoPosition)
    assert position.left_arm == [0.0, 0.0] and position.nose == [0.0, 0.0, 0.0]
    assert loop.get_motor_name_id() == {
        "left_arm_pitch": 1, "left_arm_yaw": 2, "right_arm_pitch": 3, "right_arm_yaw": 4,
        "nose_top": 5, "nose_left": 6, "nose_right": 7}
    with pytest.raises(AttributeError):
        loop.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(loop)


def _threads():
    return len(os.listdir("/proc/self/task"))


def _fds():
    return len(os.listdir("/proc/self/fd"))


def _holdings_settle_to(expected, timeout=2.0):
    """The threads and descriptors, once they equal `expected` or the time-out has passed: a
    joined thread stays listed in /proc until the kernel has reaped it, a moment later."""
    deadline = time.monotonic() + timeout
    while (now := (_threads(), _fds())) != expected and time.monotonic() < deadline:
        time.sleep(0.01)
    return now


def test_close_releases_the_thread_and_the_descriptors(sim):
    gc.collect()
    threads, fds = _threads(), _fds()
    loop = wmc.WenloPyControlLoop(sim.serial_path, ms(5), stats_pub_period=ms(50))
    assert _threads() == threads + 1
    loop.close()
    loop.close()  # twice is fine
    assert _holdings_settle_to((threads, fds)) == (threads, fds)
    assert isinstance(loop.get_last_position(), wmc.WenloTorsoPosition)
    # Freeing an unclosed loop closes it too.
    loop = wmc.WenloPyControlLoop(sim.serial_path, ms(5))
    del loop
    gc.collect()
    assert _holdings_settle_to((threads, fds)) == (threads, fds)
