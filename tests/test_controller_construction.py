"""Building a WenloMotorController: buses opened in order, failures reported, ports freed."""
import gc
import logging

import pytest

import wenlo_motor_controller as wmc


def test_missing_serial_path_fails_with_the_systems_text(sim):
    with pytest.raises(RuntimeError) as info:
        wmc.WenloMotorController("/dev/does-not-exist-wenlo", "can0")
    assert str(info.value) == "No such file or directory"


def test_unknown_can_interface_fails_and_frees_the_serial_port(sim):
    with pytest.raises(RuntimeError) as info:
        wmc.WenloMotorController(sim.serial_path, "nosuchcan")
    assert str(info.value).startswith("failed to open CAN bus 'nosuchcan': ")
    assert str(info.value).endswith("No such device (os error 19)")
    ctl = wmc.WenloMotorController(sim.serial_path, "can0")  # the port is free again
    assert len(ctl.read_all_positions()) == 7


def test_neck_only_controller_on_an_unknown_interface(sim):
    with pytest.raises(RuntimeError, match="^failed to open CAN bus 'nosuchcan': backend error: "):
        wmc.WenloMotorController(serialport=None, can_bus="nosuchcan")


def test_second_controller_on_a_busy_port_fails_and_the_first_keeps_working(sim, caplog):
    first = wmc.WenloMotorController(sim.serial_path)
    caplog.set_level(logging.ERROR, logger="wenlo_motor_controller")
    with pytest.raises(RuntimeError) as info:
        wmc.WenloMotorController(sim.serial_path)
    assert str(info.value) in ("Unable to acquire exclusive lock on serial port",
                               "Device or resource busy")
    assert [r.getMessage() for r in caplog.records] == [
        f"serial port '{sim.serial_path}' is in use by another program ({info.value})"]
    assert len(first.read_all_positions()) == 7
    del first
    gc.collect()
    again = wmc.WenloMotorController(sim.serial_path)  # freed with the object
    assert len(again.read_all_positions()) == 7


def test_construction_sends_nothing(sim):
    sim.clear_received()
    sim.clear_can()
    wmc.WenloMotorController(sim.serial_path, "can0")
    assert sim.received() == b""
    assert sim.can_frames() == []


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(can_bus=None), "argument 'can_bus': "),
        (dict(can_bus=0), "argument 'can_bus': "),
        (dict(serialport=3), "argument 'serialport': "),
        (dict(serialport=b"/dev/x"), "argument 'serialport': "),
        (dict(port="/dev/x"), "WenloMotorController() got an unexpected keyword argument 'port'"),
    ],
)
def test_argument_errors(kwargs, message):
    with pytest.raises(TypeError) as info:
        wmc.WenloMotorController(**kwargs)
    assert str(info.value).startswith(message)


def test_an_embedded_nul_is_refused_before_anything_opens(sim):
    for kwargs in (dict(serialport=sim.serial_path + "\x00junk"),
                   dict(serialport=sim.serial_path, can_bus="can0\x00x")):
        with pytest.raises(ValueError, match="^embedded null character$"):
            wmc.WenloMotorController(**kwargs)
    # Nothing kept the port: the exclusive open still succeeds.
    assert len(wmc.WenloMotorController(sim.serial_path).read_all_positions()) == 7


def test_positional_arguments_too_many():
    with pytest.raises(TypeError, match="takes from 0 to 2 positional arguments but 3 were given"):
        wmc.WenloMotorController(None, "can0", 1)


def test_instances_have_no_dict_and_no_weakrefs(sim):
    ctl = wmc.WenloMotorController()
    with pytest.raises(AttributeError):
        ctl.extra = 1
    with pytest.raises(TypeError):
        import weakref
        weakref.ref(ctl)


def _ms(value):
    import datetime
    return datetime.timedelta(milliseconds=value)


@pytest.mark.parametrize("open_it, exception, cause", [
    (lambda sim: wmc.WenloMotorController("/dev/does-not-exist-wenlo", "can0"),
     "No such file or directory",
     "serial port '/dev/does-not-exist-wenlo' not found (No such file or directory)"),
    (lambda sim: wmc.WenloMotorController("/dev/null"),
     "Inappropriate ioctl for device",
     "serial port '/dev/null' is not a terminal (Inappropriate ioctl for device)"),
    (lambda sim: wmc.WenloPyControlLoop(sim.serial_path, _ms(10), "vcan0"),
     "Could not open serial port: {serial}! Check permissions and if the port is already in use.",
     "CAN interface 'vcan0' not found (No such device)"),
    (lambda sim: wmc.WenloPyControlLoop(None, _ms(10), "nosuchcan"),
     "Could not open serial port: ! Check permissions and if the port is already in use.",
     "CAN interface 'nosuchcan' not found (No such device)"),
    (lambda sim: wmc.WenloPyControlLoop("/dev/does-not-exist-wenlo", _ms(10)),
     "Check if your USB cable is connected. Could not find port: /dev/does-not-exist-wenlo!",
     "serial port '/dev/does-not-exist-wenlo' not found (No such file or directory)"),
], ids=["missing port", "not a terminal", "loop, missing CAN", "neck-only loop, missing CAN",
        "loop, missing port"])
def test_an_open_failure_logs_the_device_and_its_cause_and_keeps_its_text(
        sim, caplog, open_it, exception, cause):
    caplog.set_level(logging.ERROR, logger="wenlo_motor_controller")
    with pytest.raises(RuntimeError) as info:
        open_it(sim)
    assert str(info.value) == exception.format(serial=sim.serial_path)
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("wenlo_motor_controller.controller", logging.ERROR, cause)]

