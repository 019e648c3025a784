"""Fixtures that bring up the simulated robot for each test that needs one."""
import logging
import shutil
import tempfile

import pytest

import wenlo_sim
import wenlo_motor_controller as wmc


def pytest_report_header(config):
    active = "active" if wenlo_sim.stand_in_active() else "NOT active (CAN tests skip)"
    return f"CAN stand-in: {active}"


@pytest.fixture(autouse=True)
def can_namespace(monkeypatch):
    """A CAN namespace of the test's own: it never meets another test's buses, nor those of
    another run on this machine; the machine-wide default is never used."""
    path = tempfile.mkdtemp(prefix="wenlo-test-", dir="/tmp")
    monkeypatch.setenv(wenlo_sim.NAMESPACE_VARIABLE, path)
    yield path
    shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def sim(request):
    """A fresh simulated robot: servos on a pseudo-terminal, neck motors on can0. Its servos
    move at a real servo's speed, or at once for tests marked instant_servos. Only control
    frames restart its neck motors' time-out, or any frame addressed to one for tests marked
    neck_watchdog_feeds("any")."""
    if not wenlo_sim.stand_in_active():
        pytest.skip("needs the CAN stand-in: run under 'python -m wenlo_sim --no-robot --'")
    instant = request.node.get_closest_marker("instant_servos") is not None
    speed = 0 if instant else wenlo_sim.REALISTIC_SERVO_SPEED
    feeds = request.node.get_closest_marker("neck_watchdog_feeds")
    with wenlo_sim.SimRobot(iface="can0", servo_speed=speed,
                            neck_watchdog_feeds=feeds.args[0] if feeds else "control") as robot:
        yield robot


@pytest.fixture
def ctl(sim):
    """A controller on the simulated robot's two buses."""
    controller = wmc.WenloMotorController(sim.serial_path, "can0")
    sim.clear_received()
    sim.clear_can()
    yield controller
    del controller


@pytest.fixture
def controller_log(caplog):
    """Warnings of the controller's logger, as Python's logging received them."""
    caplog.set_level(logging.WARNING, logger="wenlo_motor_controller.controller")
    return lambda: [r for r in caplog.records if r.name == "wenlo_motor_controller.controller"]


@pytest.fixture
def make_loop(sim):
    """Builds control loops on the simulated robot (serial and can0 unless told otherwise) and
    closes them after the test."""
    import datetime

    loops = []

    def make(period_ms=10.0, serial=True, **kwargs):
        loop = wmc.WenloPyControlLoop(sim.serial_path if serial else None,
                                      datetime.timedelta(milliseconds=period_ms), "can0", **kwargs)
        loops.append(loop)
        return loop

    yield make
    for loop in loops:
        loop.close()


@pytest.fixture
def quiet_loop(make_loop, sim):
    """A loop whose second tick is a minute away, so that the buses carry only the commands
    of the test once the first tick is done."""
    import time

    loop = make_loop(period_ms=60000)
    time.sleep(0.1)
    sim.clear_received()
    sim.clear_can()
    return loop
