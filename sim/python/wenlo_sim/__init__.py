"""The simulated Wenlo robot: seven bus servos on a pseudo-terminal and three Damiao neck motors
on a user-space SocketCAN stand-in, for running programs and tests without the hardware.

A program that uses ``wenlo_motor_controller`` must be started with the stand-in preloaded
(``python -m wenlo_sim PROGRAM`` does that); the robot itself runs in a process of its own, so it
keeps answering while the module holds the interpreter lock.

Every run is private: each robot gets a CAN namespace of its own (a directory of the stand-in's
buses), so two runs on one machine, both on "can0", never see each other. Runs share a namespace
only when asked: the same ``namespace`` argument, ``--namespace DIR``, or ``$WENLO_SIM_NAMESPACE``.
"""
from __future__ import annotations

import os
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

__all__ = ["SimRobot", "SimError", "preload_env", "stand_in_active", "run_program",
           "DEFAULT_IFACES", "REALISTIC_SERVO_SPEED", "NECK_WATCHDOG_FEEDS"]

# Interfaces the stand-in serves unless told otherwise: the robot's "can0" and spare test buses.
DEFAULT_IFACES = "can*,simcan*"
# How fast the simulated servos follow their goals by default (steps of 2π/4096 per second,
# about 5.2 rad/s, slowing near the goal); 0 makes them reach every goal at once.
REALISTIC_SERVO_SPEED = 3400.0
# Which frames restart a neck motor's communication time-out (register 9): the maker does not
# say, so the simulated motors take either guess. "control": enable, MIT and the other control
# modes' commands only (the default, the harder case); "any": every frame addressed to it.
NECK_WATCHDOG_FEEDS = ("control", "any")
# The stand-in reads its namespace from here; unset, it is the machine-wide /tmp/wenlo-fakecan.
NAMESPACE_VARIABLE = "WENLO_FAKECAN_DIR"
# Set by a person to share one namespace between runs.
SHARED_NAMESPACE_VARIABLE = "WENLO_SIM_NAMESPACE"


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


class _Namespace:
    """A CAN namespace directory: the shared one that was asked for, or a new private one that
    is removed again on release."""

    def __init__(self, shared: str | os.PathLike | None = None):
        shared = shared if shared is not None else os.environ.get(SHARED_NAMESPACE_VARIABLE) or None
        if shared is not None:
            self.path = os.path.abspath(shared)
            os.makedirs(self.path, exist_ok=True)
            self.private = False
        else:
            # Short, under /tmp: the stand-in's FIFO paths must stay within its limits.
            self.path = tempfile.mkdtemp(prefix="wenlo-sim-", dir="/tmp")
            self.private = True

    def release(self):
        if self.private:
            shutil.rmtree(self.path, ignore_errors=True)
            self.private = False


def _robot_args(iface: str, wire_time: bool, neck_start: str | None, servo_speed: float,
                neck_watchdog_feeds: str, serial_link: str | None = None) -> list[str]:
    """The robot process's command line."""
    if neck_watchdog_feeds not in NECK_WATCHDOG_FEEDS:
        raise ValueError(f"neck_watchdog_feeds must be one of {NECK_WATCHDOG_FEEDS}, "
                         f"not {neck_watchdog_feeds!r}")
    args = [str(robot_binary()), "--iface", iface, "--servo-speed", repr(float(servo_speed)),
            "--neck-watchdog-feeds", neck_watchdog_feeds]
    if wire_time:
        args.append("--wire-time")
    if neck_start is not None:
        args += ["--neck-start", neck_start]
    if serial_link is not None:
        args += ["--serial-link", serial_link]
    return args


def _on_off(flag) -> str:
    return "on" if flag else "off"


def _off_or(value, encode) -> str:
    return "off" if value is None else str(encode(value))


def _setter(device: str, verb: str, encode=str, doc: str | None = None):
    """A SimRobot method (device_id, value) that sets one thing of one servo or motor: the
    command "DEVICE ID VERB VALUE", the value as encode writes it."""
    def set_one(self, device_id: int, value):
        self.command(f"{device} {device_id} {verb} {encode(value)}")

    set_one.__doc__ = doc
    return set_one


class SimRobot:
    """One simulated robot in a child process, steered with one-line commands.

    ``serial_path`` is the pseudo-terminal of the servo line now; ``serial_link`` is a stable
    path that always points at it, as ``/dev/serial/by-id/...`` does on a robot, and is what to
    pass as ``serialport`` (``serial_unplug()`` and ``serial_replug()`` pull the adapter out and
    plug it back, behind a new pseudo-terminal). The neck motors answer on
    ``iface`` in the robot's own CAN namespace (``namespace``, a directory). While the robot is
    open, CAN sockets that this process opens are in that namespace, and so are programs started
    with ``env()``. Pass ``namespace`` (or set $WENLO_SIM_NAMESPACE) to share one on purpose.

    The servos follow their goals at ``servo_speed`` steps per second, slowing near the goal, and
    stop at their angle limits, as real ones do; ``servo_speed=0`` makes every move instant.
    ``neck_watchdog_feeds`` says which frames restart a neck motor's communication time-out
    ("control" or "any", see NECK_WATCHDOG_FEEDS); ``set_neck_watchdog_feeds()`` changes it.
    Use it as a context manager, or call ``close()``.
    """

    def __init__(self, iface: str = "can0", wire_time: bool = False,
                 neck_start: tuple[float, float, float] | None = None,
                 servo_speed: float = REALISTIC_SERVO_SPEED,
                 namespace: str | os.PathLike | None = None,
                 neck_watchdog_feeds: str = "control"):
        start = None if neck_start is None else ",".join(repr(float(v)) for v in neck_start)
        self._link_dir = tempfile.mkdtemp(prefix="wenlo-serial-", dir="/tmp")
        self.serial_link = os.path.join(self._link_dir, "usb-wenlo-sim-servo-bus")
        args = _robot_args(iface, wire_time, start, servo_speed, neck_watchdog_feeds,
                           self.serial_link)
        self.iface = iface
        self._namespace = _Namespace(namespace)
        self.namespace = self._namespace.path
        env = preload_env()
        env[NAMESPACE_VARIABLE] = self.namespace
        try:
            # A session of its own: Ctrl-C in the terminal is for the program, not the robot.
            self._proc = subprocess.Popen(
                args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env, text=True,
                bufsize=1, start_new_session=True,
            )
        except BaseException:
            self._namespace.release()
            shutil.rmtree(self._link_dir, ignore_errors=True)
            raise
        line = self._proc.stdout.readline().split()
        if len(line) != 3 or line[0] != "ready":
            self._proc.kill()
            self._proc.wait()
            self._namespace.release()
            shutil.rmtree(self._link_dir, ignore_errors=True)
            raise SimError(f"simulated robot did not start: {' '.join(line) or 'no output'}")
        self.serial_path = line[1]
        self._previous_namespace = os.environ.get(NAMESPACE_VARIABLE)
        os.environ[NAMESPACE_VARIABLE] = self.namespace

    def env(self, base: dict | None = None) -> dict:
        """The environment for a program on this robot: the stand-in preloaded, this robot's
        namespace, and WENLO_SIM_SERIAL and WENLO_SIM_CAN saying where it is."""
        env = preload_env(base)
        env[NAMESPACE_VARIABLE] = self.namespace
        env["WENLO_SIM_SERIAL"] = self.serial_link
        env["WENLO_SIM_CAN"] = self.iface
        return env

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
        self.command(f"servo {servo_id} unpowered {_on_off(unpowered)}")

    servo_voltage = _setter("servo", "voltage")
    servo_voltage_ramp = _setter("servo", "voltage_ramp", lambda seconds: int(seconds * 1000))
    servo_set_position = _setter("servo", "position")
    servo_load = _setter(
        "servo", "load", int,
        "The load the servo holds against while its torque is on, in tenths of a percent of "
        "full load (-1000 to 1000): its temperature rises with it.")
    servo_temperature = _setter(
        "servo", "temperature", lambda celsius: repr(float(celsius)),
        "Places its temperature; at its limit (register 13, 70 at start) or above, it reports "
        "overheat (bit 2 of its answers' error byte).")
    servo_status_error = _setter(
        "servo", "status_error", int,
        "The error byte of its answers (bits 0 voltage, 1 angle, 2 overheat, 3 overcurrent, "
        "5 overload), beside what it reports of itself; 0 for none.")

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

    # --- the serial adapter ------------------------------------------------------------------
    def serial_unplug(self):
        """Pulls the servo line's USB adapter out: the pseudo-terminal closes, so a program's
        writes fail with EIO, its reads see end of input and poll reports a hang-up;
        ``serial_link`` disappears. The servos keep their state."""
        self.command("serial unplug")

    def serial_replug(self) -> str:
        """Plugs it back in behind a new pseudo-terminal, which it returns (``serial_path``);
        ``serial_link`` points at it again."""
        self.serial_path = self.command("serial replug")
        return self.serial_path

    # --- neck motors (motor ids 1 yaw, 2 pitch, 3 roll) -----------------------------------
    motor_connected = _setter("motor", "connected", _on_off)
    motor_delay = _setter("motor", "delay", lambda seconds: int(seconds * 1e6))
    motor_stuck_mode = _setter("motor", "stuck_mode", lambda mode: _off_or(mode, str))
    motor_short_reply = _setter("motor", "short_reply")
    motor_set_position = _setter("motor", "position", repr)
    motor_power_cycle = _setter("motor", "power_cycle", repr)
    motor_error_code = _setter(
        "motor", "error_code", lambda code: _off_or(code, int),
        "The fault code of its replies (8 overvoltage, 9 undervoltage, 10 overcurrent, 11 MOS "
        "overheat, 12 rotor overheat, 13 communication lost, 14 overload); None: no fault.")

    def motor_temperatures(self, motor_id: int, mos: float, rotor: float):
        """Places its MOS and rotor temperatures (degrees Celsius)."""
        self.command(f"motor {motor_id} temperatures {float(mos)!r} {float(rotor)!r}")

    def motor_state(self, motor_id: int) -> dict:
        """Its state and counters; of its communication time-out: error_code (the code its
        replies carry, 13 once it tripped), timeout (register 9, 50 us units), watchdog_trips,
        last_feed_at (the last frame that restarted it) and tripped_at (its last trip), both
        CLOCK_MONOTONIC nanoseconds like time.monotonic_ns(), 0 for never."""
        return _fields(self.command(f"motor {motor_id} state"))

    @property
    def neck_watchdog_feeds(self) -> str:
        """Which frames restart the neck motors' time-out now: "control" or "any"."""
        return self.command("neck_watchdog_feeds")

    def set_neck_watchdog_feeds(self, feeds: str):
        if feeds not in NECK_WATCHDOG_FEEDS:
            raise ValueError(f"feeds must be one of {NECK_WATCHDOG_FEEDS}, not {feeds!r}")
        self.command(f"neck_watchdog_feeds {feeds}")

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

    # --- the CAN link --------------------------------------------------------------------
    def can_link(self, up: bool):
        """Takes the robot's interface down (sends fail with ENETDOWN, as a kernel's do, and
        nothing is delivered; frames waiting to be sent are dropped) or brings it up."""
        self.command(f"can {'up' if up else 'down'}")

    def can_ack(self, on: bool):
        """Off: no node acknowledges, so frames wait in a transmit queue of 10 and sends then
        fail with ENOBUFS. On: the queued frames go out, oldest first, then new ones."""
        self.command(f"can ack {_on_off(on)}")

    def can_unplug(self):
        """Pulls the interface's USB adapter out: a program's socket is cut off for good (its
        next receive fails once with ENODEV, its sends with ENXIO), and opening the interface
        fails with ENODEV until ``can_replug``. The motors stay on the bus as they were."""
        self.command("can unplug")

    def can_replug(self):
        """Plugs the adapter back: the interface can be opened again; old sockets stay cut off."""
        self.command("can replug")

    # --- lifetime ---------------------------------------------------------------------------
    def close(self):
        if os.environ.get(NAMESPACE_VARIABLE) == self.namespace:
            if self._previous_namespace is None:
                os.environ.pop(NAMESPACE_VARIABLE, None)
            else:
                os.environ[NAMESPACE_VARIABLE] = self._previous_namespace
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
        self._namespace.release()
        shutil.rmtree(self._link_dir, ignore_errors=True)

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


def exit_status(returncode: int) -> int:
    """A child's status as a shell reports it: 128+N when signal N ended it."""
    return 128 - returncode if returncode < 0 else returncode


def run_foreground(argv: list[str], env: dict) -> int:
    """Runs argv as a shell runs a foreground job and returns its exit status as a shell would.

    Ctrl-C in the terminal reaches the child itself (it shares our process group), so this
    process only waits on: it neither dies nor prints a traceback of its own. A SIGTERM or SIGHUP
    sent to this process alone is passed on to the child."""
    child = None

    def pass_on(signum, _frame):
        if child is not None and child.poll() is None:
            child.send_signal(signum)

    ignored = (signal.SIGINT, signal.SIGQUIT)
    forwarded = (signal.SIGTERM, signal.SIGHUP)
    # Python-level handlers, not SIG_IGN: the child starts with the default dispositions.
    previous = {s: signal.signal(s, pass_on if s in forwarded else (lambda *_: None))
                for s in ignored + forwarded}
    try:
        child = subprocess.Popen(argv, env=env)
        while True:
            try:
                return exit_status(child.wait())
            except KeyboardInterrupt:  # only if a handler was replaced meanwhile
                continue
    finally:
        for s, handler in previous.items():
            signal.signal(s, handler)


def run_program(argv: list[str], iface: str = "can0", wire_time: bool = False,
                robot: bool = True, neck_start=None, servo_speed: float = REALISTIC_SERVO_SPEED,
                namespace: str | None = None, neck_watchdog_feeds: str = "control") -> int:
    """Runs argv with the stand-in preloaded and, unless robot is False, a simulated robot
    behind it, in a CAN namespace of their own; WENLO_SIM_SERIAL and WENLO_SIM_CAN tell the
    program where the robot is. Returns the program's exit status (128+N after signal N)."""
    if argv and argv[0].endswith(".py"):
        argv = [sys.executable] + argv
    elif argv and shutil.which(argv[0]) is None:
        # A command installed beside this interpreter (wenlo, in a venv that is not activated).
        beside = Path(sys.executable).parent / argv[0]
        if beside.is_file() and os.access(beside, os.X_OK):
            argv = [str(beside)] + argv[1:]
    if not robot:
        space = _Namespace(namespace)
        try:
            env = preload_env()
            env[NAMESPACE_VARIABLE] = space.path
            return run_foreground(argv, env)
        finally:
            space.release()
    with SimRobot(iface=iface, wire_time=wire_time, neck_start=neck_start,
                  servo_speed=servo_speed, namespace=namespace,
                  neck_watchdog_feeds=neck_watchdog_feeds) as sim:
        print(f"wenlo_sim: servos on {sim.serial_path}, neck motors on {sim.iface}: "
              f"{shlex.join(argv)}", file=sys.stderr, flush=True)
        return run_foreground(argv, sim.env())
