"""wenlo: the robot's bench tool. Every subcommand takes --port and --can-bus; under
`python -m wenlo_sim` they default to the simulated robot's."""
from __future__ import annotations

import argparse
import importlib
import os
import sys

EXTRA = "pip install 'wenlo_motor_controller[tools]'"


class Failure(Exception):
    """A reason to stop, said in one line."""


def needs(*modules: str) -> None:
    """Imports what a subcommand needs from the tools extra, or stops saying how to get it."""
    for name in modules:
        try:
            importlib.import_module(name)
        except ImportError:
            raise Failure(f"this command needs the tools extra ({name} is missing): {EXTRA}")


def positive_ms(text: str) -> float:
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be more than 0, got {text}")
    return value


def parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--port", default=os.environ.get("WENLO_SIM_SERIAL", "/dev/ttyUSB0"),
                        help="the servos' serial port (default: %(default)s)")
    common.add_argument("--can-bus", default=os.environ.get("WENLO_SIM_CAN", "can0"),
                        help="the neck motors' CAN interface (default: %(default)s)")
    top = argparse.ArgumentParser(prog="wenlo", description=__doc__)
    sub = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    scan = sub.add_parser("scan", parents=[common], help="find every servo and neck motor",
                          description="Ping servo ids 0 to 253 and probe the layout's neck "
                                      "motors; say what is missing.")
    scan.add_argument("--json", action="store_true", help="print JSON instead of a table")

    monitor = sub.add_parser("monitor", parents=[common], help="watch every joint live",
                             description="A live view of a running loop with telemetry on; "
                                         "q quits. Starting the loop reboots the servos (they "
                                         "go limp for a moment); after that it only reads.")
    monitor.add_argument("--rate", type=positive_ms, default=100.0, metavar="HZ",
                         help="the loop's rate (default: %(default)s)")
    monitor.add_argument("--telemetry-period", type=positive_ms, default=500.0, metavar="MS",
                         help="how often the servos' telemetry is read (default: %(default)s)")
    monitor.add_argument("--rt-priority", type=int, default=None, metavar="N",
                         help="run the loop's worker under SCHED_FIFO at this priority")

    regs = sub.add_parser("regs", parents=[common], help="read or write a register",
                          description="A servo register by address or by name, or a neck "
                                      "register by name; writes ask first unless --yes.")
    regs.add_argument("action", choices=["read", "write", "list"])
    regs.add_argument("device", choices=["servo", "neck"])
    regs.add_argument("target", nargs="?", help="servo id, or neck joint (neck_yaw, ...)")
    regs.add_argument("register", nargs="?", help="name, or a servo address")
    regs.add_argument("value", nargs="?", help="for write: the value (servo: an integer, or "
                                               "hex bytes 0x... for raw bytes)")
    regs.add_argument("--length", type=int, default=None,
                      help="bytes to read at a servo address (default: the register's width, 1)")
    regs.add_argument("--yes", action="store_true", help="write without asking")

    torque = sub.add_parser("torque", parents=[common], help="torque on or off",
                            description="Switch the torque of the servos and the neck.")
    torque.add_argument("state", choices=["on", "off"])
    torque.add_argument("--servos-only", action="store_true")
    torque.add_argument("--neck-only", action="store_true")

    home = sub.add_parser("home", parents=[common], help="home the neck",
                          description="Each neck joint to the multiple of 2 pi nearest to it.")
    home.add_argument("--speed", type=float, default=0.4, help="rad/s (default: %(default)s)")
    home.add_argument("--tolerance", type=float, default=0.15, help="rad (default: %(default)s)")
    home.add_argument("--kp", type=float, default=None)
    home.add_argument("--kd", type=float, default=None)

    sub.add_parser("reboot", parents=[common], help="reboot the seven servos",
                   description="Reboot the servos and wait until each answers again.")

    record = sub.add_parser("record", parents=[common], help="record every snapshot to MCAP",
                            description="Run a loop and write every snapshot, and the health "
                                        "at the telemetry rate, to an MCAP file.")
    record.add_argument("out", metavar="OUT.mcap")
    record.add_argument("--seconds", type=positive_ms, required=True)
    record.add_argument("--rate", type=positive_ms, default=100.0, metavar="HZ",
                        help="the loop's rate (default: %(default)s)")
    record.add_argument("--telemetry-period", type=positive_ms, default=1000.0, metavar="MS",
                        help="how often health is read and recorded (default: %(default)s)")
    record.add_argument("--rt-priority", type=int, default=None, metavar="N",
                        help="run the loop's worker under SCHED_FIFO at this priority, so "
                             "that a busy machine does not delay its ticks")

    plot = sub.add_parser("plot", help="plot a recording",
                          description="Every joint's position over time, one panel per body "
                                      "part, and the temperatures where recorded.")
    plot.add_argument("recording", metavar="REC.mcap")
    plot.add_argument("-o", "--output", required=True, metavar="OUT.png")
    return top


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    module = {"scan": "scan", "monitor": "monitor", "regs": "regs", "torque": "actions",
              "home": "actions", "reboot": "actions", "record": "record",
              "plot": "record"}[args.command]
    try:
        handler = importlib.import_module(f"wenlo_tools.{module}")
        return getattr(handler, args.command)(args) or 0
    except Failure as e:
        print(f"wenlo {args.command}: {e}", file=sys.stderr)
        return 1
    except (RuntimeError, ValueError, OverflowError, OSError) as e:
        print(f"wenlo {args.command}: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
