#!/usr/bin/env python3
"""On a real kernel's vcan (run inside the VM, as root): a control loop on can0 while
`ip link set can0 down` and `up` happen under it, then while can0 is deleted and made again
(`ip link del`, `ip link add`: an adapter unplugged and plugged back). The loop must ride through
both as it does on the stand-in: one ERROR naming the interface (ENETDOWN for the link going
down), the neck's failures counted in health, no spinning, INFO when its socket is opened again
(after the unplug) and when frames flow again, and good readings afterwards without a restart.
Prints, for each, the time from the link's return to the first good reading and the CPU while
it was away."""
import datetime
import logging
import os
import resource
import subprocess
import sys
import time

# The simulated robot's neck motors go to the kernel's can0: with no names to serve, the
# stand-in that SimRobot preloads into the robot does nothing.
os.environ["WENLO_FAKECAN_IFACES"] = ""
import wenlo_motor_controller as wmc  # noqa: E402
import wenlo_sim  # noqa: E402

records = []


class Keep(logging.Handler):
    def emit(self, record):
        records.append((record.levelno, record.getMessage()))


logging.getLogger("wenlo_motor_controller").addHandler(Keep())
logging.getLogger("wenlo_motor_controller").setLevel(logging.INFO)


def cpu():
    u = resource.getrusage(resource.RUSAGE_SELF)
    return u.ru_utime + u.ru_stime


def ip(*commands):
    for c in commands:
        subprocess.run(["ip", "link", *c.split()], check=True)


# What takes the link away and brings it back, and the INFO records expected on the way back.
PHASES = {
    "down": (lambda: ip("set can0 down"), lambda: ip("set can0 up"),
             ["CAN interface 'can0' carries frames again"]),
    "unplug": (lambda: ip("del can0"), lambda: ip("add dev can0 type vcan", "set up can0"),
               ["CAN interface 'can0' is back; its socket is opened again",
                "CAN interface 'can0' carries frames again"]),
}

problems = []
with wenlo_sim.SimRobot(iface="can0", servo_speed=0) as sim:
    loop = wmc.WenloPyControlLoop(None, datetime.timedelta(milliseconds=10), "can0")
    loop.enable_neck(True)
    loop.set_neck_position([0.1, 0.1, 0.1])
    time.sleep(1.0)
    for phase, (away, back, expected_infos) in PHASES.items():
        records.clear()
        away()
        c0, t0 = cpu(), time.monotonic()
        time.sleep(2.0)
        cpu_share = (cpu() - c0) / (time.monotonic() - t0)
        failures = loop.get_last_health()["neck_yaw"].failures
        try:
            loop.get_last_position()
            problems.append(f"{phase}: a snapshot succeeded while the link was away")
        except RuntimeError:
            pass

        back()
        returned = time.time()
        first = None
        while time.time() - returned < 20.0:
            try:
                if loop.get_last_position().timestamp > returned:
                    first = time.time() - returned
                    break
            except RuntimeError:
                pass
            time.sleep(0.001)
        time.sleep(0.5)

        errors = [m for level, m in records if level == logging.ERROR]
        infos = [m for level, m in records if level == logging.INFO and "CAN interface" in m]
        if len(errors) != 1 or "CAN interface 'can0'" not in errors[0] or (
                phase == "down" and "(os error 100)" not in errors[0]):
            problems.append(f"{phase}: expected one ERROR naming can0"
                            f"{' and ENETDOWN' if phase == 'down' else ''}, got {errors}")
        if infos != expected_infos:
            problems.append(f"{phase}: expected INFO {expected_infos}, got {infos}")
        if failures == 0:
            problems.append(f"{phase}: health counted no neck failure while the link was away")
        if cpu_share > 0.9:
            problems.append(f"{phase}: the process spun while the link was away "
                            f"({cpu_share:.0%} of a core)")
        if first is None:
            problems.append(f"{phase}: no good reading within 20 s of the link's return")
        print(f"kernel vcan, {phase}: back -> first good neck reading "
              f"{'never' if first is None else f'{first * 1000:.1f} ms'}; CPU while away "
              f"{cpu_share:.1%} of one core; neck_yaw failures while away {failures}; "
              f"records {records}")
    loop.close()

for p in problems:
    print("FAILED:", p)
sys.exit(1 if problems else 0)
