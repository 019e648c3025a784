"""wenlo torque, home and reboot: one operation each, on the synchronous controller."""
from __future__ import annotations

from wenlo_tools.failure import Failure
from wenlo_tools.robot import controller


def torque(args) -> int:
    if args.servos_only and args.neck_only:
        raise Failure("--servos-only and --neck-only exclude each other")
    on = args.state == "on"
    with controller(args) as ctl:
        if not args.neck_only:
            ctl.enable_torque() if on else ctl.disable_torque()
            print(f"servo torque {args.state}")
        if not args.servos_only:
            ctl.enable_neck(on)
            print(f"neck torque {args.state}")
    return 0


def home(args) -> int:
    with controller(args) as ctl:
        homed = ctl.neck_home(speed=args.speed, tolerance=args.tolerance, kp=args.kp,
                              kd=args.kd)
    print("neck homed at " + ", ".join(f"{v:.4f}" for v in homed) + " rad (yaw, pitch, roll)")
    return 0


def reboot(args) -> int:
    with controller(args) as ctl:
        ctl.reboot()
    print("the seven servos rebooted and answer again")
    return 0
