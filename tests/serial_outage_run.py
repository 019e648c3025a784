"""One run of the servo adapter unplugged and plugged back, in a process of its own: a control loop
or a synchronous controller on a simulated robot, by the robot's stable serial link. Checks what
must hold (an AssertionError ends the run with status 1) and prints one JSON line of figures.

    python serial_outage_run.py loop|controller-away|controller-back
"""
import datetime
import json
import logging
import os
import random
import sys
import time

import wenlo_sim
import wenlo_motor_controller as wmc

SERVOS = ("left_arm_pitch", "left_arm_yaw", "right_arm_pitch", "right_arm_yaw",
          "nose_top", "nose_left", "nose_right")
COMMUNICATION_ERROR = "Motor communication error! Check connections and power supply."


class Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append((record.levelno, record.getMessage()))

    def matching(self, level, *words):
        return [m for lv, m in self.records if lv == level and all(w in m for w in words)]


def open_descriptors_to(path):
    found = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}") == path:
                found += 1
        except OSError:
            pass
    return found


def wait_for(predicate, timeout):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.002)
    return predicate()


def snapshot_ok(loop, after):
    try:
        return loop.get_last_position().timestamp > after
    except RuntimeError:
        return False


def loop_run(sim, records):
    loop = wmc.WenloPyControlLoop(sim.serial_link, datetime.timedelta(milliseconds=10), "can0")
    try:
        loop.enable_torque()
        assert wait_for(loop.is_torque_enabled, 2.0)
        old_pty = sim.serial_path
        assert open_descriptors_to(old_pty) == 1
        cpu0, wall0 = time.process_time(), time.monotonic()
        time.sleep(1.0)
        cpu_plugged = (time.process_time() - cpu0) / (time.monotonic() - wall0)

        sim.serial_unplug()
        unplugged = time.monotonic()
        # The dead descriptor goes within a tick or two; generous for a busy machine.
        assert wait_for(lambda: open_descriptors_to(old_pty) == 0, 2.0), "dead fd kept open"
        closed_after = time.monotonic() - unplugged
        # The tick that closed it stores its failure just after.
        assert wait_for(lambda: not snapshot_ok(loop, 0.0), 1.0)
        # Every tick fails with today's error while the line is away: sampled over a second,
        # with CPU time of this whole process (the worker included) measured meanwhile.
        cpu0, wall0 = time.process_time(), time.monotonic()
        samples = failures = 0
        while time.monotonic() - wall0 < 1.5:
            samples += 1
            try:
                loop.get_last_position()
            except RuntimeError as e:
                assert str(e) == COMMUNICATION_ERROR, str(e)
                failures += 1
            time.sleep(0.05)
        cpu_share = (time.process_time() - cpu0) / (time.monotonic() - wall0)
        assert failures == samples, f"{failures} of {samples} samples failed while unplugged"
        health = loop.get_last_health()
        silent = {n: health[n].failures for n in SERVOS}
        assert all(count > 0 for count in silent.values()), silent
        # A brown-out meanwhile: right_arm_pitch rebooted with its torque off.
        sim.servo_write_registers(3, 40, b"\x00")

        # At a random moment of the worker's 0.5 s between attempts, as a person would.
        time.sleep(random.uniform(0.0, 0.5))
        replugged, replugged_at = time.monotonic(), time.time()
        sim.serial_replug()
        assert wait_for(lambda: snapshot_ok(loop, replugged_at), 5.0), "no good snapshot after replug"
        to_good = time.monotonic() - replugged
        assert wait_for(lambda: not loop.is_torque_enabled(), 2.0), "torque truth not re-read"
        time.sleep(0.3)  # further ticks: no further records
        assert snapshot_ok(loop, time.time() - 0.1)
    finally:
        loop.close()
    return {"replug_to_good_snapshot_s": to_good, "cpu_share_unplugged": cpu_share,
            "cpu_share_plugged": cpu_plugged,
            "dead_fd_closed_after_s": closed_after}


def controller_run(sim, records, replug_first):
    ctl = wmc.WenloMotorController(sim.serial_link, "can0")
    before = ctl.read_all_positions()
    ctl.enable_torque()
    sim.serial_unplug()
    if replug_first:
        # Gone and back between two calls: the next call meets the dead descriptor, opens the
        # port again and goes through.
        sim.serial_replug()
        assert ctl.read_all_positions() == before
    else:
        for _ in range(3):
            try:
                ctl.read_all_positions()
            except RuntimeError:
                pass
            else:
                raise AssertionError("a read went through while unplugged")
        sim.serial_replug()
        assert ctl.read_all_positions() == before
    assert ctl.is_torque_enabled()
    ctl.close()
    return {}


def main():
    mode = sys.argv[1]
    records = Records()
    logger = logging.getLogger("wenlo_motor_controller")
    logger.setLevel(logging.DEBUG)
    logger.addHandler(records)
    with wenlo_sim.SimRobot(servo_speed=0) as sim:
        link = sim.serial_link
        assert os.path.realpath(link) == sim.serial_path
        if mode == "loop":
            figures = loop_run(sim, records)
        else:
            figures = controller_run(sim, records, replug_first=mode == "controller-back")
        # One record each per outage, naming the device and the OS cause.
        gone = records.matching(logging.ERROR, link, "went away")
        assert len(gone) == 1 and "Input/output error" in gone[0], records.records
        back = records.matching(logging.INFO, link, "is back")
        assert len(back) == 1, records.records
        if mode == "loop":
            off = records.matching(logging.WARNING, "right_arm_pitch", "torque off")
            assert len(off) == 1, records.records
            assert not records.matching(logging.WARNING, "left_arm_pitch", "torque off")
    print(json.dumps(figures))


if __name__ == "__main__":
    main()
