"""wenlo regs: a servo register by address or by name, a neck register by name."""
from __future__ import annotations

import sys
from dataclasses import replace

from wenlo_tools.failure import Failure
from wenlo_tools.robot import Register, controller, neck_joints, servo_registers


def confirmed(args, what: str) -> bool:
    if args.yes:
        return True
    if not sys.stdin.isatty():
        raise Failure(f"not writing {what} without --yes: nobody to ask on this input")
    return input(f"write {what}? [y/N] ").strip().lower() in ("y", "yes")


def servo_register(args, registers: dict[str, Register]) -> Register:
    """The servo register the arguments name: one of the module's table, or a bare address
    (writable, --length bytes, 1 by default)."""
    if args.register is None:
        raise Failure("which register? a name (wenlo regs list servo) or an address")
    if args.register in registers:
        register = registers[args.register]
        return replace(register, width=args.length) if args.length else register
    try:
        address = int(args.register, 0)
    except ValueError:
        raise Failure(f"unknown servo register '{args.register}': see wenlo regs list servo")
    if not 0 <= address <= 255:
        raise Failure(f"address {address} is not 0 to 255")
    return Register(f"address {address}", address, args.length or 1, writable=True)


def servo_id(args) -> int:
    try:
        value = int(args.target, 0)
    except (TypeError, ValueError):
        raise Failure(f"a servo id from 0 to 253, not {args.target!r}")
    if not 0 <= value <= 253:
        raise Failure(f"a servo id from 0 to 253, not {value}")
    return value


def value_to_write(args, register: Register) -> int:
    """The value to write, checked against the register before anyone is asked. Negative
    values are refused: these servos mark a direction with a bit of its own (bit 15 of a speed,
    bit 10 of a load), not with two's complement, so a person gives the raw value stored."""
    if not register.writable:
        raise Failure(f"servo register '{register.name}' is read-only")
    if args.value is None:
        raise Failure("write needs a value")
    try:
        value = int(args.value, 0)
    except ValueError:
        raise Failure(f"{register.name} takes an integer (decimal, or 0x for hex), "
                      f"not {args.value!r}")
    if not 0 <= value <= register.largest:
        hint = (" (no negatives: give the raw value the servo stores, direction bit included)"
                if value < 0 else "")
        raise Failure(f"{register.name} holds 0 to {register.largest} ({register.width} "
                      f"byte{'s' if register.width > 1 else ''}), not {value}{hint}")
    return value


def shown(data: bytes, widest: int) -> str:
    """A register's value with its hex, or the bytes themselves of a read wider than any
    register."""
    if len(data) > widest:
        return "bytes " + data.hex(" ")
    value = int.from_bytes(data, "little")
    return f"{value} (0x{value:0{2 * len(data)}x})"


def answered(ctl, ident: int, exchange):
    """What the exchange with servo `ident` returns; a failure names the servo, and says
    whether it answers at all."""
    try:
        return exchange()
    except RuntimeError as e:
        if ctl.ping(ident):
            raise Failure(f"servo {ident}: {e}") from None
        raise Failure(f"servo {ident} does not answer ({e})") from None


def servo_regs(args, ctl) -> int:
    ident = servo_id(args)
    registers = servo_registers(ctl)
    register = servo_register(args, registers)
    address, width, name = register.address, register.width, register.name
    widest = max(r.width for r in registers.values())
    if args.action == "read":
        data = answered(ctl, ident, lambda: ctl.read_registers(ident, address, width))
        print(f"servo {ident} {name}: {shown(data, widest)}")
        return 0
    value = value_to_write(args, register)
    data = value.to_bytes(width, "little")
    if confirmed(args, f"{value} to servo {ident} {name} ({width} byte{'s' if width > 1 else ''}"
                       f", little-endian {data.hex(' ')})"):
        answered(ctl, ident, lambda: ctl.write_registers(ident, address, data))
        now = answered(ctl, ident, lambda: ctl.read_registers(ident, address, width))
        print(f"servo {ident} {name}: {int.from_bytes(now, 'little')}")
    return 0


def neck_target(args, ctl) -> tuple[str, str]:
    """The joint and register named; the module itself refuses unknown ones."""
    if args.target is None or args.register is None:
        joints = neck_joints(ctl, ctl.read_health())
        raise Failure("a neck joint (" + ", ".join(joints) + ") and a register name")
    return args.target, args.register


def regs(args) -> int:
    with controller(args) as ctl:
        return regs_with(ctl, args)


def regs_with(ctl, args) -> int:
    if args.action == "list":
        if args.device == "servo":
            for r in servo_registers(ctl).values():
                print(f"{r.address:>3}  {r.width}  {'rw' if r.writable else 'ro'}  {r.name}")
        else:
            for name, reg, kind, writable, text in ctl.neck_register_table():
                print(f"0x{reg:02X}  {name:12} {kind:5} {'rw' if writable else 'ro'}  {text}")
        return 0
    if args.device == "servo":
        return servo_regs(args, ctl)
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
