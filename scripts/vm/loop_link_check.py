#!/usr/bin/env python3
"""On a real kernel's vcan (run inside the VM, as root): a control loop on can0 while
`ip link set can0 down` and `up` happen under it. The loop must ride through as it does on the
stand-in: one ERROR naming the interface and ENETDOWN, the neck's failures counted in health,
no spinning, one INFO when frames flow again, and good readings afterwards without a restart.
Prints the time from `up` to the first good reading and the CPU while the link was down."""
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


def link(state):
    subprocess.run(["ip", "link", "set", "can0", state], check=True)


problems = []
with wenlo_sim.SimRobot(iface="can0", servo_speed=0) as sim:
    loop = wmc.WenloPyControlLoop(None, datetime.timedelta(milliseconds=10), "can0")
    loop.enable_neck(True)
    loop.set_neck_position([0.1, 0.1, 0.1])
    time.sleep(1.0)
    records.clear()

    link("down")
    c0, t0 = cpu(), time.monotonic()
    time.sleep(2.0)
    cpu_share = (cpu() - c0) / (time.monotonic() - t0)
    failures = loop.get_last_health()["neck_yaw"].failures
    try:
        loop.get_last_position()
        problems.append("a snapshot succeeded while the link was down")
    except RuntimeError:
        pass

    link("up")
    back = time.time()
    first = None
    while time.time() - back < 20.0:
        try:
            if loop.get_last_position().timestamp > back:
                first = time.time() - back
                break
        except RuntimeError:
            pass
        time.sleep(0.001)
    time.sleep(0.5)
    loop.close()

errors = [m for level, m in records if level == logging.ERROR]
infos = [m for level, m in records if level == logging.INFO and "CAN interface" in m]
if len(errors) != 1 or "CAN interface 'can0'" not in errors[0] or "(os error 100)" not in errors[0]:
    problems.append(f"expected one ERROR naming can0 and ENETDOWN, got {errors}")
if infos != ["CAN interface 'can0' carries frames again"]:
    problems.append(f"expected one INFO when frames flow again, got {infos}")
if failures == 0:
    problems.append("health counted no neck failure while the link was down")
if cpu_share > 0.9:
    problems.append(f"the process spun while the link was down ({cpu_share:.0%} of a core)")
if first is None:
    problems.append("no good reading within 20 s of the link coming up")
print(f"kernel vcan: link up -> first good neck reading "
      f"{'never' if first is None else f'{first * 1000:.1f} ms'}; CPU while down "
      f"{cpu_share:.1%} of one core; neck_yaw failures while down {failures}; "
      f"records {records}")
for p in problems:
    print("FAILED:", p)
sys.exit(1 if problems else 0)
