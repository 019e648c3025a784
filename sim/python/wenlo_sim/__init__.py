"""The simulated Wenlo robot: seven bus servos on a pseudo-terminal and three Damiao neck motors
on a user-space SocketCAN stand-in, for running programs and tests without the hardware.

A program that uses ``wenlo_motor_controller`` must be started with the stand-in preloaded
(``python -m wenlo_sim PROGRAM`` does that); the robot itself runs in a process of its own, so it
keeps answering while the module holds the interpreter lock.
"""
from __future__ import annotations

import os
import shlex
import subprocess
import sys
from pathlib import Path

__all__ = ["SimRobot", "SimError", "preload_env", "stand_in_active", "DEFAULT_IFACES"]

# Interfaces the stand-in serves unless told otherwise: the robot's "can0" and spare test buses.
DEFAULT_IFACES = "can*,simcan*"


class SimError(RuntimeError):
    """A command to the simulated robot was refused."""


def _binary_dir() -> Path:
    override = os.environ.get("WENLO_SIM_BIN_DIR")
    return Path(override) if override else Path(__file__).resolve().parent


def stand_in_library() -> Path:
    return _binary_dir() / "libfakecan.so"


def robot_binary() -> Path:
    return _binary_dir() / "wenlo-sim-robot"


def preload_env(env: dict | None = None, ifaces: str = DEFAULT_IFACES) -> dict:
    """A copy of ``env`` (default: this process's) with the CAN stand-in preloaded."""
    env = dict(os.environ if env is None else env)
    lib = str(stand_in_library())
    preload = [p for p in env.get("LD_PRELOAD", "").split(":") if p and p != lib]
    env["LD_PRELOAD"] = ":".join(preload + [lib])
    env.setdefault("WENLO_FAKECAN_IFACES", ifaces)
    return env


def stand_in_active() -> bool:
    """True when this process runs with the CAN stand-in preloaded."""
    return "libfakecan" in os.environ.get("LD_PRELOAD", "")


class SimRobot:
    """One simulated robot in a child process, steered with one-line commands.

    ``serial_path`` is the pseudo-terminal to pass as ``serialport``; the neck motors answer on
    ``iface``. Use it as a context manager, or call ``close()``.
    """

    def __init__(self, iface: str = "can0", wire_time: bool = False,
                 neck_start: tuple[float, float, float] | None = None):
        args = [str(robot_binary()), "--iface", iface]
        if wire_time:
            args.append("--wire-time")
        if neck_start is not None:
            args += ["--neck-start", ",".join(repr(float(v)) for v in neck_start)]
        self.iface = iface
        self._proc = subprocess.Popen(
            args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=preload_env(), text=True,
            bufsize=1,
        )
        line = self._proc.stdout.readline().split()
        if len(line) != 3 or line[0] != "ready":
            self._proc.kill()
            self._proc.wait()
            raise SimError(f"simulated robot did not start: {' '.join(line) or 'no output'}")
        self.serial_path = line[1]

    # --- the line protocol -------------------------------------------------------------
    def command(self, text: str) -> str:
        """Sends one command and returns what follows "ok" in the answer."""
        if self._proc.poll() is not None:
            raise SimError("simulated robot has exited")
        self._proc.stdin.write(text + "\n")
        self._proc.stdin.flush()
        answer = self._proc.stdout.readline().rstrip("\n")
        if answer == "ok" or answer.startswith("ok "):
            return answer[3:]
        raise SimError(f"{text!r}: {answer or 'no answer'}")

    # --- servos (ids 1 to 7) -----------------------------------------------------------
    def servo_unpowered(self, servo_id: int, unpowered: bool = True):
        self.command(f"servo {servo_id} unpowered {'on' if unpowered else 'off'}")

    def servo_voltage(self, servo_id: int, raw: int):
        self.command(f"servo {servo_id} voltage {raw}")

    def servo_voltage_ramp(self, servo_id: int, seconds: float):
        self.command(f"servo {servo_id} voltage_ramp {int(seconds * 1000)}")

    def servo_set_position(self, servo_id: int, raw: int):
        self.command(f"servo {servo_id} position {raw}")

    def servo_state(self, servo_id: int) -> dict:
        return _fields(self.command(f"servo {servo_id} get"))

    def servo_registers(self, servo_id: int, address: int, length: int) -> bytes:
        return bytes.fromhex(self.command(f"servo {servo_id} read {address} {length}"))

    def servo_write_registers(self, servo_id: int, address: int, data: bytes):
        self.command(f"servo {servo_id} write {address} {data.hex()}")

    def servo_fault(self, servo_id: int, name: str, *values):
        """One fault: delay US, bad_checksum on|off, answer_id N|off, noise HEX|off,
        pieces SIZE GAP_US, answer_sync_write on|off, status_error BYTE, reboot_silence US."""
        self.command(" ".join(["servo", str(servo_id), name] + [str(v) for v in values]))

    def servo_clear_faults(self, servo_id: int):
        self.command(f"servo {servo_id} clear_faults")

    def received(self, at_least: int | None = None) -> bytes:
        """Every byte the servo bus received since the last clear_received(); with at_least,
        waits (up to 2 s) until that many bytes have arrived."""
        suffix = "" if at_least is None else f" {at_least}"
        return bytes.fromhex(self.command("received" + suffix))

    def clear_received(self):
        self.command("clear_received")

    def inject(self, data: bytes):
        self.command(f"inject {data.hex()}")

    # --- neck motors (motor ids 1 yaw, 2 pitch, 3 roll) -----------------------------------
    def motor_connected(self, motor_id: int, connected: bool):
        self.command(f"motor {motor_id} connected {'on' if connected else 'off'}")

    def motor_delay(self, motor_id: int, seconds: float):
        self.command(f"motor {motor_id} delay {int(seconds * 1e6)}")

    def motor_stuck_mode(self, motor_id: int, mode: int | None):
        self.command(f"motor {motor_id} stuck_mode {'off' if mode is None else mode}")

    def motor_short_reply(self, motor_id: int, length: int):
        self.command(f"motor {motor_id} short_reply {length}")

    def motor_set_position(self, motor_id: int, rad: float):
        self.command(f"motor {motor_id} position {rad!r}")

    def motor_power_cycle(self, motor_id: int, rad: float):
        self.command(f"motor {motor_id} power_cycle {rad!r}")

    def motor_state(self, motor_id: int) -> dict:
        return _fields(self.command(f"motor {motor_id} state"))

    def can_frames(self) -> list[tuple[int, bytes]]:
        """CAN frames the motors heard since the last clear_can(), oldest first."""
        out = []
        for item in self.command("can_frames").split():
            can_id, data = item.split("#")
            out.append((int(can_id, 16), bytes.fromhex(data)))
        return out

    def can_frames_timed(self) -> list[tuple[int, bytes, int]]:
        """The same, each with the time it went on the bus (its sender's write, from the socket's
        receive time stamp): CLOCK_MONOTONIC in nanoseconds, the clock of time.monotonic_ns()."""
        out = []
        for item in self.command("can_frames_timed").split():
            frame, _, at = item.partition("@")
            can_id, data = frame.split("#")
            out.append((int(can_id, 16), bytes.fromhex(data), int(at)))
        return out

    def clear_can(self):
        self.command("clear_can")

    def chatter(self, on: bool):
        """Unrelated frames from other ids on the bus, every 2 ms."""
        self.command(f"chatter {'on' if on else 'off'}")

    # --- lifetime ---------------------------------------------------------------------------
    def close(self):
        if self._proc.poll() is None:
            try:
                self._proc.stdin.write("quit\n")
                self._proc.stdin.flush()
                self._proc.wait(timeout=5)
            except (OSError, subprocess.TimeoutExpired):
                self._proc.kill()
                self._proc.wait()
        for stream in (self._proc.stdin, self._proc.stdout):
            try:
                stream.close()
            except OSError:
                pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        proc = getattr(self, "_proc", None)
        if proc is not None and proc.poll() is None:
            proc.kill()


def _fields(text: str) -> dict:
    out = {}
    for item in text.split():
        key, _, value = item.partition("=")
        try:
            out[key] = int(value)
        except ValueError:
            out[key] = float(value)
    return out


def run_program(argv: list[str], iface: str = "can0", wire_time: bool = False,
                robot: bool = True, neck_start=None) -> int:
    """Runs argv with the stand-in preloaded and, unless robot is False, a simulated robot
    behind it; WENLO_SIM_SERIAL and WENLO_SIM_CAN tell the program where the robot is."""
    if argv and argv[0].endswith(".py"):
        argv = [sys.executable] + argv
    env = preload_env()
    if not robot:
        return subprocess.call(argv, env=env)
    with SimRobot(iface=iface, wire_time=wire_time, neck_start=neck_start) as sim:
        env["WENLO_SIM_SERIAL"] = sim.serial_path
        env["WENLO_SIM_CAN"] = sim.iface
        print(f"wenlo_sim: servos on {sim.serial_path}, neck motors on {sim.iface}: "
              f"{shlex.join(argv)}", file=sys.stderr, flush=True)
        return subprocess.call(argv, env=env)
