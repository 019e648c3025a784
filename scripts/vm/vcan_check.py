#!/usr/bin/env python3
"""Checks the real kernel's raw CAN semantics on vcan interfaces, run inside the VM.

For each interface named on the command line: a frame sent on one raw socket reaches a
second socket on the same interface, unchanged, and is not echoed to the sender. Also checks
that pseudo-terminals work in the VM. Exits non-zero with a reason on the first failure.
"""

import os
import socket
import struct
import sys

FRAME = struct.Struct("=IB3x8s")  # struct can_frame: id, dlc, padding, data
TIMEOUT_S = 5.0  # software emulation is slow; a frame normally arrives in milliseconds


def fail(reason: str) -> None:
    print(f"vcan_check: FAIL: {reason}", flush=True)
    sys.exit(1)


def raw_socket(iface: str) -> socket.socket:
    try:
        s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        s.bind((iface,))
    except OSError as e:
        fail(f"{iface}: cannot open a raw CAN socket: {e}")
    return s


def check_iface(iface: str) -> None:
    try:
        with open(f"/sys/class/net/{iface}/type") as f:
            if f.read().strip() != "280":  # ARPHRD_CAN
                fail(f"{iface} is not a CAN interface")
    except FileNotFoundError:
        fail(f"no network interface {iface}")
    sender, receiver = raw_socket(iface), raw_socket(iface)
    with sender, receiver:
        can_id, data = 0x123, bytes([0xDE, 0xAD, 0xBE, 0xEF, 1, 2, 3, 4])
        sender.send(FRAME.pack(can_id, len(data), data))
        receiver.settimeout(TIMEOUT_S)
        try:
            got_id, got_len, got_data = FRAME.unpack(receiver.recv(FRAME.size))
        except socket.timeout:
            fail(f"{iface}: the second socket got no frame within {TIMEOUT_S} s")
        if (got_id, got_data[:got_len]) != (can_id, data):
            fail(f"{iface}: received id {got_id:#x} data {got_data[:got_len].hex()}")
        # The receiver has seen the frame, so an echo to the sender would be queued by now.
        sender.setblocking(False)
        try:
            sender.recv(FRAME.size)
            fail(f"{iface}: the sender received its own frame")
        except BlockingIOError:
            pass
    print(f"vcan_check: {iface}: frame 0x{can_id:03x} went from one socket to the other, "
          f"not back to the sender", flush=True)


def check_pty() -> None:
    master, slave = os.openpty()
    try:
        os.write(slave, b"ping\n")
        if os.read(master, 64).strip() != b"ping":
            fail("pseudo-terminal did not pass data")
    finally:
        os.close(master)
        os.close(slave)
    print("vcan_check: pseudo-terminals work", flush=True)


def main() -> None:
    ifaces = sys.argv[1:] or ["can0"]
    for iface in ifaces:
        check_iface(iface)
    check_pty()
    print("vcan_check: OK", flush=True)


if __name__ == "__main__":
    main()
