"""wenlo regs: a servo register by address or by name, a neck register by name."""
from __future__ import annotations

import sys

from wenlo_tools.failure import Failure
from wenlo_tools.robot import controller, neck_joints, servo_registers


def confirmed(args, what: str) -> bool:
    if args.yes:
        return True
    if not sys.stdin.isatty():
        raise Failure(f"not writing {what} without --yes: nobody to ask on this input")
    return input(f"write {what}? [y/N] ").strip().lower() in ("y", "yes")


def servo_register(args, registers: dict) -> tuple[int, int, str]:
    """The address, width and name of the servo register the arguments name."""
    if args.register is None:
        raise Failure("which register? a name (wenlo regs list servo) or an address")
    if args.register in registers:
        register = registers[args.register]
        return register.address, args.length or register.width, args.register
    try:
        address = int(args.register, 0)
    except ValueError:
        raise Failure(f"unknown servo register '{args.register}': see wenlo regs list servo")
    if not 0 <= address <= 255:
        raise Failure(f"address {address} is not 0 to 255")
    return address, args.length or 1, f"address {address}"


def servo_id(args) -> int:
    try:
        value = int(args.target, 0)
    except (TypeError, ValueError):
        raise Failure(f"a servo id from 0 to 253, not {args.target!r}")
    if not 0 <= value <= 253:
        raise Failure(f"a servo id from 0 to 253, not {value}")
    return value


def neck_target(args, ctl) -> tuple[str, str]:
    """The joint and register named; the module itself refuses unknown ones."""
    if args.target is None or args.register is None:
        joints = neck_joints(ctl, ctl.read_health())
        raise Failure("a neck joint (" + ", ".join(joints) + ") and a register name")
    return args.target, args.register


def regs(args) -> int:
    ctl = controller(args)
    if args.action == "list":
        if args.device == "servo":
            for r in servo_registers(ctl).values():
                print(f"{r.address:>3}  {r.width}  {'rw' if r.writable else 'ro'}  {r.name}")
        else:
            for name, reg, kind, writable, text in ctl.neck_register_table():
                print(f"0x{reg:02X}  {name:12} {kind:5} {'rw' if writable else 'ro'}  {text}")
        return 0
    if args.device == "servo":
        ident = servo_id(args)
        address, width, name = servo_register(args, servo_registers(ctl))
        if args.action == "read":
            data = ctl.read_registers(ident, address, width)
            print(f"servo {ident} {name}: {int.from_bytes(data, 'little')} (0x{data.hex()})")
            return 0
        if args.value is None:
            raise Failure("write needs a value")
        value = int(args.value, 0)
        data = value.to_bytes(width, "little", signed=value < 0)
        if confirmed(args, f"{value} to servo {ident} {name} ({width} byte(s) 0x{data.hex()})"):
            ctl.write_registers(ident, address, data)
            print(f"servo {ident} {name}: {int.from_bytes(ctl.read_registers(ident, address, width), 'little')}")
        return 0
    joint, name = neck_target(args, ctl)
    if args.action == "read":
        print(f"{joint} {name}: {ctl.read_neck_register(joint, name)}")
        return 0
    if args.value is None:
        raise Failure("write needs a value")
    value = float(args.value)
    if confirmed(args, f"{args.value} to {joint} {name}"):
        print(f"{joint} {name}: {ctl.write_neck_register(joint, name, value)}")
    return 0
