"""python -m wenlo_sim [--iface NAME] [--wire-time] [--no-robot] PROGRAM [ARGS...]

Runs PROGRAM (a .py file runs with this interpreter) against the simulated robot, with the CAN
stand-in preloaded. The servo bus path is in $WENLO_SIM_SERIAL, the CAN interface in
$WENLO_SIM_CAN. With --no-robot only the stand-in is preloaded (the test suite starts its own
robots). Without PROGRAM, serves the robot interactively: one command a line on stdin.
"""
import argparse
import subprocess
import sys

from . import preload_env, robot_binary, run_program


def main() -> int:
    parser = argparse.ArgumentParser(prog="python -m wenlo_sim", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--iface", default="can0", help="CAN interface of the neck motors")
    parser.add_argument("--wire-time", action="store_true",
                        help="emulate the 1 Mbaud wire time of the servo bus")
    parser.add_argument("--neck-start", metavar="YAW,PITCH,ROLL",
                        help="multi-turn positions the neck motors start at (rad)")
    parser.add_argument("--no-robot", action="store_true",
                        help="only preload the CAN stand-in; start no robot")
    parser.add_argument("program", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    program = args.program[1:] if args.program[:1] == ["--"] else args.program
    if not program:
        cmd = [str(robot_binary()), "--iface", args.iface] + (["--wire-time"] if args.wire_time else [])
        if args.neck_start:
            cmd += ["--neck-start", args.neck_start]
        return subprocess.call(cmd, env=preload_env())
    neck_start = tuple(float(v) for v in args.neck_start.split(",")) if args.neck_start else None
    return run_program(program, iface=args.iface, wire_time=args.wire_time,
                       robot=not args.no_robot, neck_start=neck_start)


if __name__ == "__main__":
    sys.exit(main())
