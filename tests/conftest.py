"""Fixtures that bring up the simulated robot for each test that needs one."""
import logging

import pytest

import wenlo_sim
import wenlo_motor_controller as wmc


def pytest_report_header(config):
    active = "active" if wenlo_sim.stand_in_active() else "NOT active (CAN tests skip)"
    return f"CAN stand-in: {active}"


@pytest.fixture
def sim():
    """A fresh simulated robot: servos on a pseudo-terminal, neck motors on can0."""
    if not wenlo_sim.stand_in_active():
        pytest.skip("needs the CAN stand-in: run under 'python -m wenlo_sim --no-robot --'")
    with wenlo_sim.SimRobot(iface="can0") as robot:
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
