#!/usr/bin/env python3
"""A CAN adapter unplugged and plugged back, as the kernel tells it to a raw socket, and as the
stand-in imitates it: run as root in the VM on a real vcan (`ip link del` and `add`), or under
`python -m wenlo_sim --no-robot` on the stand-in. A socket bound before the unplug fails its
next receive with ENODEV and its sends with ENXIO, also once the interface is back; a receive
already waiting is woken at once (ENODEV, or the kernel's ENETDOWN of the link going first); opening the interface fails with ENODEV while it is
away; a socket opened after the return works."""
import errno
import os
import socket
import struct
import subprocess
import sys
import threading
import time

IFACE = os.environ.get("WENLO_CAN_IFACE", "can0")
FRAME = struct.Struct("=IB3x8s")
KERNEL = not os.environ.get("LD_PRELOAD")


def presence(present: bool) -> None:
    if KERNEL:
        commands = ([["ip", "link", "add", "dev", IFACE, "type", "vcan"],
                     ["ip", "link", "set", "up", IFACE]] if present
                    else [["ip", "link", "del", IFACE]])
        for c in commands:
            subprocess.run(c, check=True)
    else:  # from another process: the stand-in keeps the unplugging process's own sockets
        subprocess.run([sys.executable, "-c", "import ctypes, sys; sys.exit(ctypes.CDLL(None)."
                        f"wenlo_fakecan_set_presence({IFACE.encode()!r}, {int(present)}))"],
                       check=True)


def opened() -> socket.socket:
    s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    s.settimeout(0.5)
    s.bind((IFACE,))
    return s


def error_of(action) -> int:
    try:
        action()
    except OSError as e:
        return e.errno if e.errno is not None else -1  # a time-out
    return 0


frame = FRAME.pack(0x123, 1, b"\x01" + bytes(7))
problems = []
old, peer, waiting = opened(), opened(), opened()
waiting.settimeout(10)
woken = {}


def wait() -> None:
    start = time.monotonic()
    woken["errno"] = error_of(lambda: waiting.recv(16))
    woken["after"] = time.monotonic() - start


waiter = threading.Thread(target=wait)
waiter.start()
time.sleep(1)  # well inside its receive, even in a slow VM
presence(False)
waiter.join()
seen = {"waiting receive": woken["errno"] if woken["after"] < 5 else -2,
        "receive after unplug": error_of(lambda: old.recv(16)),
        "send after unplug": error_of(lambda: old.send(frame)),
        "open while away": error_of(opened)}
presence(True)
new, other = opened(), opened()
seen["old socket's send after replug"] = error_of(lambda: old.send(frame))
new.send(frame)
got = other.recv(16)
seen["new socket's frame arrives"] = 0 if got == frame else -1
# The kernel takes a vanishing interface down before it unregisters it, and reports each to the
# socket; a receive already waiting wakes at the first report or the second, as it happens.
want = {"waiting receive": (errno.ENODEV, errno.ENETDOWN), "receive after unplug": (errno.ENODEV,),
        "send after unplug": (errno.ENXIO,), "open while away": (errno.ENODEV,),
        "old socket's send after replug": (errno.ENXIO,), "new socket's frame arrives": (0,)}
where = "kernel vcan" if KERNEL else "stand-in"
for what, code in seen.items():
    if code not in want[what]:
        problems.append(f"{what}: errno {code}, expected one of {want[what]}")
print(f"unplug_check on the {where}: " + ", ".join(
    f"{w} {errno.errorcode.get(c, c) if c else 'ok'}" for w, c in seen.items()))
for p in problems:
    print("FAILED:", p)
sys.exit(1 if problems else 0)
