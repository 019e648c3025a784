"""wenlo: the robot's bench tool. Every subcommand takes --port and --can-bus; under
`python -m wenlo_sim` they default to the simulated robot's."""
from __future__ import annotations

import argparse
import math
import os
import sys

from wenlo_tools.actions import home, reboot, torque
from wenlo_tools.failure import Failure
from wenlo_tools.live_view import foxglove
from wenlo_tools.monitor import monitor
from wenlo_tools.record import plot, record
from wenlo_tools.regs import regs
from wenlo_tools.ros_node import ros
from wenlo_tools.scan import scan
from wenlo_tools.watchdog import neck_watchdog_check


def positive_float(text: str) -> float:
    """A finite number above 0: a rate in Hz, or a duration in seconds or milliseconds."""
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be more than 0, got {text}")
    if math.isinf(value):
        raise argparse.ArgumentTypeError(f"must be finite, got {text}")
    return value


def positive_int(text: str) -> int:
    value = int(text, 0)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be more than 0, got {text}")
    return value


def loop_options(command: argparse.ArgumentParser, telemetry: str) -> None:
    """The options of a subcommand that runs a control loop."""
    command.add_argument("--rate", type=positive_float, default=100.0, metavar="HZ",
                         help="the loop's rate (default: %(default)s)")
    command.add_argument("--telemetry-period", type=positive_float, default=500.0, metavar="MS",
                         help=f"how often {telemetry} (default: %(default)s)")
    command.add_argument("--rt-priority", type=int, default=None, metavar="N",
                         help="run the loop's worker under SCHED_FIFO at this priority")


def parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--port", default=os.environ.get("WENLO_SIM_SERIAL", "/dev/ttyUSB0"),
                        help="the servos' serial port (default: %(default)s)")
    common.add_argument("--can-bus", default=os.environ.get("WENLO_SIM_CAN", "can0"),
                        help="the neck motors' CAN interface (default: %(default)s)")
    top = argparse.ArgumentParser(prog="wenlo", description=__doc__)
    sub = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def add(name: str, run, help: str, description: str, robot: bool = True):
        """A subcommand that calls `run` with the parsed arguments."""
        command = sub.add_parser(name, parents=[common] if robot else [], help=help,
                                 description=description)
        command.set_defaults(run=run)
        return command

    c = add("scan", scan, help="find every servo and neck motor",
            description="Ping servo ids 0 to 253 and probe the layout's neck motors; say what "
                        "is missing.")
    c.add_argument("--json", action="store_true", help="print JSON instead of a table")

    c = add("monitor", monitor, help="watch every joint live",
            description="A live view of a running loop with telemetry on. Keys: e stops "
                        "the robot (emergency stop: servo torque off, neck damped, latched), r "
                        "resets the stop, q quits. Starting the loop reboots the servos (they "
                        "go limp for a moment); after that it only reads, unless e is pressed.")
    loop_options(c, telemetry="the servos' telemetry is read")

    c = add("regs", regs, help="read or write a register",
            description="A servo register by address or by name, or a neck register by name; "
                        "writes ask first unless --yes.")
    c.add_argument("action", choices=["read", "write", "list"])
    c.add_argument("device", choices=["servo", "neck"])
    c.add_argument("target", nargs="?", help="servo id, or neck joint (neck_yaw, ...)")
    c.add_argument("register", nargs="?", help="name, or a servo address")
    c.add_argument("value", nargs="?", help="for write: the value (servo: a whole number from "
                                            "0, decimal or 0x hex, written little-endian in "
                                            "the register's width)")
    c.add_argument("--length", type=positive_int, default=None,
                   help="bytes at a servo address (default: a named register's width; 1 at a "
                        "bare address)")
    c.add_argument("--yes", action="store_true", help="write without asking")

    c = add("torque", torque, help="torque on or off",
            description="Switch the torque of the servos and the neck.")
    c.add_argument("state", choices=["on", "off"])
    c.add_argument("--servos-only", action="store_true")
    c.add_argument("--neck-only", action="store_true")

    c = add("home", home, help="home the neck",
            description="Each neck joint to the multiple of 2 pi nearest to it.")
    c.add_argument("--speed", type=float, default=0.4, help="rad/s (default: %(default)s)")
    c.add_argument("--tolerance", type=float, default=0.15, help="rad (default: %(default)s)")
    c.add_argument("--kp", type=float, default=None)
    c.add_argument("--kd", type=float, default=None)

    add("reboot", reboot, help="reboot the seven servos",
        description="Reboot the servos and wait until each answers again.")

    c = add("record", record, help="record every snapshot to MCAP",
            description="Run a loop and write every snapshot, and the health at the telemetry "
                        "rate, to an MCAP file.")
    c.add_argument("out", metavar="OUT.mcap")
    c.add_argument("--seconds", type=positive_float, required=True)
    c.add_argument("--rate", type=positive_float, default=100.0, metavar="HZ",
                   help="the loop's rate (default: %(default)s)")
    c.add_argument("--telemetry-period", type=positive_float, default=1000.0, metavar="MS",
                   help="how often health is read and recorded (default: %(default)s)")
    c.add_argument("--rt-priority", type=int, default=None, metavar="N",
                   help="run the loop's worker under SCHED_FIFO at this priority, so that a "
                        "busy machine does not delay its ticks")

    c = add("plot", plot, robot=False, help="plot a recording",
            description="Every joint's position over time, one panel per body part, and the "
                        "temperatures where recorded.")
    c.add_argument("recording", metavar="REC.mcap")
    c.add_argument("-o", "--output", required=True, metavar="OUT.png")

    add("neck-watchdog-check", neck_watchdog_check,
        help="which frames feed the neck motors' communication time-out",
        description="One neck motor at a time: a 100 ms time-out, the motor enabled in damping "
                    "and asked with feedback requests alone for 0.5 s; a motor that trips "
                    "counts only control frames. Each motor's register and state are put back.")
    # --port is the WebSocket's here, as Foxglove's own tools name it; the servos' is
    # --serial-port.
    c = add("foxglove", foxglove, robot=False, help="the robot live in Foxglove",
            description="Run a loop and serve it on the Foxglove WebSocket protocol: "
                        "/joint_states (every snapshot), /health (as in wenlo record) and /stats "
                        "(the loop's timing). Open it in Foxglove with Open connection, Foxglove "
                        "WebSocket, ws://HOST:PORT; from a laptop, through an SSH tunnel "
                        "(ssh -L 8765:localhost:8765 robot).")
    c.add_argument("--host", default="127.0.0.1",
                   help="the address to serve on (default: %(default)s, this computer only)")
    c.add_argument("--port", type=int, default=8765, help="the WebSocket's port "
                                                          "(default: %(default)s; 0: any free one)")
    c.add_argument("--serial-port", default=os.environ.get("WENLO_SIM_SERIAL", "/dev/ttyUSB0"),
                   help="the servos' serial port (default: %(default)s)")
    c.add_argument("--can-bus", default=os.environ.get("WENLO_SIM_CAN", "can0"),
                   help="the neck motors' CAN interface (default: %(default)s)")
    loop_options(c, telemetry="health is read and sent")

    add("ros", ros, robot=False, help="the robot as a ROS 2 node",
        description="A ROS 2 node named wenlo that owns the robot: joint_states and "
                    "diagnostics out, joint_command and joint_trajectory in, services "
                    "~/enable_torque, ~/enable_neck, ~/estop and ~/reset_estop. Everything "
                    "after --ros-args is ROS's: -p NAME:=VALUE sets the parameters port, "
                    "can_bus, rate (Hz), telemetry_period (s), rt_priority, cpu_affinity, "
                    "joint_limits.JOINT ([min, max]), max_step (or max_step.JOINT), on_exit, "
                    "neck_timeout (s); -r __ns:=/left sets the namespace. SIGINT and SIGTERM "
                    "close the loop and end with status 0. Needs rclpy: a sourced ROS 2 Jazzy, "
                    "or pip install 'wenlo_motor_controller[ros]' on CPython 3.12, x86-64.")
    return top


def main(argv: list[str] | None = None) -> int:
    top = parser()
    args, rest = top.parse_known_args(argv)
    if args.command == "ros":
        args.ros_args = rest  # --ros-args and what follows are rclpy's to parse
    elif rest:
        top.error(f"unrecognized arguments: {' '.join(rest)}")
    try:
        return args.run(args) or 0
    except (Failure, RuntimeError, ValueError, OverflowError, OSError) as e:
        print(f"wenlo {args.command}: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
