"""Building a WenloMotorController: buses opened in order, failures reported, ports freed."""
import gc

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


def test_second_controller_on_a_busy_port_fails_and_the_first_keeps_working(sim):
    first = wmc.WenloMotorController(sim.serial_path)
    with pytest.raises(RuntimeError) as info:
        wmc.WenloMotorController(sim.serial_path)
    assert str(info.value) in ("Unable to acquire exclusive lock on serial port",
                               "Device or resource busy")
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
