"""python -m wenlo_sim [options] PROGRAM [ARGS...]

Runs PROGRAM (a .py file runs with this interpreter) against a simulated robot of its own, with
the CAN stand-in preloaded. The servo bus path is in $WENLO_SIM_SERIAL, the CAN interface in
$WENLO_SIM_CAN. The run has a private CAN namespace, so other runs on this machine, on the same
interface name, never see it; --namespace DIR (or $WENLO_SIM_NAMESPACE) shares one on purpose.
With --no-robot only the stand-in is preloaded (the test suite starts its own robots). Without
PROGRAM, serves the robot interactively: one command a line on stdin.

Ctrl-C reaches PROGRAM only; the robot serves until PROGRAM has ended. The exit status is
PROGRAM's, or 128+N when signal N ended it.
"""
import argparse
import os
import sys

from . import (NAMESPACE_VARIABLE, NECK_WATCHDOG_FEEDS, REALISTIC_SERVO_SPEED, _Namespace,
               _robot_args, preload_env, run_foreground, run_program)


def main() -> int:
    parser = argparse.ArgumentParser(prog="python -m wenlo_sim", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--iface", default="can0", help="CAN interface of the neck motors")
    parser.add_argument("--wire-time", action="store_true",
                        help="emulate the 1 Mbaud wire time of the servo bus")
    parser.add_argument("--neck-start", metavar="YAW,PITCH,ROLL",
                        help="multi-turn positions the neck motors start at (rad); write "
                             "--neck-start=-0.4,0,0 when the first is negative")
    parser.add_argument("--servo-speed", metavar="STEPS_PER_S", type=float,
                        default=REALISTIC_SERVO_SPEED,
                        help="how fast the servos follow their goals (default %(default)s, "
                             "about 5.2 rad/s; 0: every move is instant)")
    parser.add_argument("--neck-watchdog-feeds", choices=NECK_WATCHDOG_FEEDS, default="control",
                        help="which frames restart a neck motor's communication time-out "
                             "(register 9): control frames only (default) or any frame "
                             "addressed to it")
    parser.add_argument("--namespace", metavar="DIR",
                        help="share this CAN namespace directory with other runs "
                             "(default: a private one; also $WENLO_SIM_NAMESPACE)")
    parser.add_argument("--no-robot", action="store_true",
                        help="only preload the CAN stand-in; start no robot")
    parser.add_argument("program", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    if args.servo_speed < 0:
        parser.error("--servo-speed must not be negative")
    program = args.program[1:] if args.program[:1] == ["--"] else args.program
    if not program:
        return serve_interactively(args)
    neck_start = tuple(float(v) for v in args.neck_start.split(",")) if args.neck_start else None
    return run_program(program, iface=args.iface, wire_time=args.wire_time,
                       robot=not args.no_robot, neck_start=neck_start,
                       servo_speed=args.servo_speed, namespace=args.namespace,
                       neck_watchdog_feeds=args.neck_watchdog_feeds)


def serve_interactively(args) -> int:
    space = _Namespace(args.namespace)
    # The servo line's stable path, which "serial unplug" and "serial replug" move with it.
    link = os.path.join(space.path, f"serial-{os.getpid()}")
    cmd = _robot_args(args.iface, args.wire_time, args.neck_start or None, args.servo_speed,
                      args.neck_watchdog_feeds, link)
    env = preload_env()
    env[NAMESPACE_VARIABLE] = space.path
    print(f"wenlo_sim: CAN namespace {space.path}; programs reach this robot with "
          f"{NAMESPACE_VARIABLE}={space.path}; its servo line is also at {link}",
          file=sys.stderr, flush=True)
    try:
        # In the foreground: here Ctrl-C is meant for the robot.
        return run_foreground(cmd, env)
    finally:
        space.release()


if __name__ == "__main__":
    sys.exit(main())
