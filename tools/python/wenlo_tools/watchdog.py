"""wenlo neck-watchdog-check: which frames feed a neck motor's communication time-out.

The maker does not say whether any frame addressed to a motor resets its timer, feedback
requests included, or only control frames. The loop's neck_timeout relies on control frames
alone; this check tells a person which way the motors on the desk go, one motor at a time: a
100 ms time-out, the motor enabled in damping and asked with feedback requests alone for half a
second, then whether it tripped. Its register and its state are put back afterwards."""
from __future__ import annotations

import time

from wenlo_tools.robot import controller

TRIAL_TIMEOUT = 2000  # register units of 50 us: 100 ms
TRIAL_SECONDS = 0.5
FEEDBACK_EVERY = 0.02


def trial(ctl, joint: str, joints: list[str]) -> bool:
    """Whether the motor at `joint` tripped while asked with feedback requests alone."""
    saved = {j: ctl.read_neck_register(j, "TIMEOUT") for j in joints}
    mode = ctl.read_neck_register(joint, "CTRL_MODE")
    try:
        for j in joints:  # only the motor under trial may trip
            ctl.write_neck_register(j, "TIMEOUT", TRIAL_TIMEOUT if j == joint else 0)
        for index in range(len(joints)):
            ctl.set_neck_gains(index, 0.0, 1.0)  # damping: no stiffness to move the head
        ctl.enable_neck(True)
        ends = time.monotonic() + TRIAL_SECONDS
        while time.monotonic() < ends:
            try:
                ctl.read_neck_positions()  # feedback requests, and nothing else
            except RuntimeError:
                pass  # a motor that tripped may fall silent; the health below says so
            time.sleep(FEEDBACK_EVERY)
        tripped = "comm_lost" in ctl.read_health()[joint].faults
        if tripped:
            ctl.enable_neck(True)  # enabling is what clears the fault; disabled again below
        return tripped
    finally:
        ctl.enable_neck(False)
        for j, value in saved.items():
            ctl.write_neck_register(j, "TIMEOUT", value)
        ctl.write_neck_register(joint, "CTRL_MODE", mode)


def neck_watchdog_check(args) -> int:
    ctl = controller(args)
    joints = [name for name in ctl.read_health() if name not in ctl.get_motor_name_id()]
    for joint in joints:
        if trial(ctl, joint, joints):
            print(f"{joint}: tripped on feedback requests alone: only control frames feed its "
                  f"communication time-out")
        else:
            print(f"{joint}: kept alive by feedback requests: any frame feeds its communication "
                  f"time-out")
    return 0
