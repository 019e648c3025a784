"""While every device answers, the bytes on both buses are the ones recorded in tests/golden:
one fixed scenario per class, its whole traffic (every byte the servos heard, every CAN frame
the neck motors heard) compared with a recording made before the outage handling existed.

Re-record only on purpose: WENLO_RECORD_GOLDEN=1 writes the files instead of comparing."""
import datetime
import json
import os
import pathlib
import time

import pytest

import wenlo_motor_controller as wmc

GOLDEN = pathlib.Path(__file__).parent / "golden"


def controller_scenario(sim):
    ctl = wmc.WenloMotorController(sim.serial_path, "can0")
    ctl.read_all_positions()
    ctl.is_torque_enabled()
    ctl.enable_torque()
    ctl.set_all_goal_positions([0.1, -0.1, 0.2, -0.2, 0.05, 0.0, -0.05])
    ctl.set_nose_position([0.0, 0.1, 0.0])
    ctl.enable_neck(True)
    ctl.set_neck_position([0.2, 0.1, -0.1])
    ctl.set_neck_gains(0, 40.0, 1.5)
    ctl.set_neck_yaw_position(0.3)
    ctl.read_neck_positions()
    ctl.read_health()
    ctl.enable_neck(False)
    ctl.disable_torque()
    ctl.close()


def loop_scenario(sim):
    # A tick a minute: the start-up, one tick and the commands, in a fixed order.
    loop = wmc.WenloPyControlLoop(sim.serial_path, datetime.timedelta(minutes=1), "can0")
    time.sleep(0.5)  # the first tick is due at once; let it pass before the commands
    loop.enable_torque()
    loop.set_all_goal_positions(wmc.WenloTorsoPosition(
        [0.1, -0.1], [0.2, -0.2], [0.05, 0.0, -0.05], [0.0, 0.0, 0.0]))
    loop.enable_neck(True)
    loop.set_neck_position([0.2, 0.1, -0.1])
    loop.set_neck_pitch_position(0.3)
    loop.async_read_raw_bytes(1, 56, 2)
    loop.enable_neck(False)
    loop.is_torque_enabled()
    loop.close()


@pytest.mark.parametrize("scenario", [controller_scenario, loop_scenario],
                         ids=["controller", "loop"])
def test_traffic_unchanged_while_everything_answers(sim, scenario):
    name = scenario.__name__.removesuffix("_scenario")
    sim.clear_received()
    sim.clear_can()
    scenario(sim)
    time.sleep(0.1)  # the last frames reach the robot
    traffic = {
        "serial": sim.received().hex(),
        "can": [f"{can_id:03X}#{data.hex().upper()}" for can_id, data in sim.can_frames()],
    }
    path = GOLDEN / f"traffic_{name}.json"
    if os.environ.get("WENLO_RECORD_GOLDEN") == "1":
        GOLDEN.mkdir(exist_ok=True)
        path.write_text(json.dumps(traffic, indent=1) + "\n")
    golden = json.loads(path.read_text())
    print(f"{name}: {len(traffic['serial']) // 2} serial bytes, {len(traffic['can'])} CAN frames")
    assert len(traffic["can"]) > 15 and len(traffic["serial"]) > 200
    assert traffic["can"] == golden["can"]
    assert traffic["serial"] == golden["serial"]
