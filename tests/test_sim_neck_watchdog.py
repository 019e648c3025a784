"""The simulated neck motors' communication time-out (register 9) as tests and people reach it:
the fixture's marker, the launcher's option, the run-time command and the state fields. A raw
CAN socket plays the master, so these tests rely on the simulator alone."""
import socket
import struct
import subprocess
import sys
import time

import pytest

import wenlo_sim
from runs import fresh_shell_env

FRAME = struct.Struct("=IB3x8s")
PITCH = 2  # motor_id and master_id
TIMEOUT_100MS = 2000  # in 50 us units
COMM_LOST = 0xD
FEEDS = [pytest.param(f, marks=pytest.mark.neck_watchdog_feeds(f), id=f)
         for f in wenlo_sim.NECK_WATCHDOG_FEEDS]


class Master:
    """The master side of the neck bus, frame by frame."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        self.sock.bind(("can0",))
        self.sock.settimeout(1.0)

    def request(self, can_id: int, data: bytes) -> bytes:
        """Sends one frame and returns the payload of the first answer from the pitch motor."""
        self.sock.send(FRAME.pack(can_id, len(data), data))
        while True:
            reply_id, length, payload = FRAME.unpack(self.sock.recv(FRAME.size))
            if reply_id == PITCH:
                return payload[:length]

    def enable(self) -> bytes:
        return self.request(PITCH, b"\xff" * 7 + b"\xfc")

    def feedback(self) -> bytes:
        return self.request(0x7FF, bytes([PITCH, 0, 0xCC, 0, 0, 0, 0, 0]))

    def write_timeout(self, units: int):
        echo = self.request(0x7FF, bytes([PITCH, 0, 0x55, 0x09]) + units.to_bytes(4, "little"))
        assert echo[2:4] == b"\x55\x09"

    def close(self):
        self.sock.close()


@pytest.fixture
def master(sim):
    m = Master()
    yield m
    m.close()


def feed_with_feedback_requests(master, seconds: float):
    """Feedback requests every 20 ms: they feed the time-out only under "any"."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        time.sleep(0.02)
        master.feedback()


def assert_tripped_on_time(state, fed_after_ns: int):
    assert state["enabled"] == 0 and state["error_code"] == COMM_LOST
    assert state["last_feed_at"] >= fed_after_ns
    late_ms = (state["tripped_at"] - state["last_feed_at"]) / 1e6 - 100.0
    assert 0.0 <= late_ms <= 30.0, late_ms


@pytest.mark.parametrize("feeds", FEEDS)
def test_which_frames_feed_the_neck_time_out_follows_the_marker_and_the_command(
        sim, master, feeds):
    other = "any" if feeds == "control" else "control"
    assert sim.neck_watchdog_feeds == feeds
    master.write_timeout(TIMEOUT_100MS)
    for current in (feeds, other):
        enabled_ns = time.monotonic_ns()
        assert master.enable()[0] >> 4 == 1
        feed_with_feedback_requests(master, 0.3)
        state = sim.motor_state(PITCH)
        assert state["timeout"] == TIMEOUT_100MS
        if current == "control":
            assert_tripped_on_time(state, enabled_ns)
            assert master.feedback()[0] >> 4 == COMM_LOST
        else:
            assert state["enabled"] == 1 and state["error_code"] == 1
            assert state["last_feed_at"] > enabled_ns + 250_000_000
        sim.set_neck_watchdog_feeds(other)
        assert sim.neck_watchdog_feeds == other
    # Exactly one of the two rounds tripped; the other motors were never armed.
    assert sim.motor_state(PITCH)["watchdog_trips"] == 1
    for motor in (1, 3):
        state = sim.motor_state(motor)
        assert (state["timeout"], state["watchdog_trips"], state["tripped_at"]) == (0, 0, 0)


@pytest.mark.parametrize("feeds", FEEDS)
def test_silence_trips_the_motor_on_time_and_enabling_clears_it(sim, master, feeds):
    master.write_timeout(TIMEOUT_100MS)
    master.enable()
    sent_ns = time.monotonic_ns()
    assert master.enable()[0] >> 4 == 1  # the last frame before silence
    time.sleep(0.3)
    state = sim.motor_state(PITCH)
    assert_tripped_on_time(state, sent_ns)
    assert state["watchdog_trips"] == 1
    assert master.enable()[0] >> 4 == 1
    after = sim.motor_state(PITCH)
    assert (after["enabled"], after["error_code"]) == (1, 1)
    assert after["tripped_at"] == state["tripped_at"]


@pytest.mark.parametrize("option, expected", [([], "control"),
                                              (["--neck-watchdog-feeds", "any"], "any")])
def test_the_launcher_passes_the_option_to_the_robot(option, expected):
    run = subprocess.run([sys.executable, "-m", "wenlo_sim", *option],
                         input="neck_watchdog_feeds\nquit\n", env=fresh_shell_env(),
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines()[1:] == [f"ok {expected}", "ok"]


def test_a_wrong_choice_is_refused_before_a_robot_starts():
    run = subprocess.run([sys.executable, "-m", "wenlo_sim", "--neck-watchdog-feeds", "some"],
                         env=fresh_shell_env(), capture_output=True, text=True, timeout=60)
    assert run.returncode == 2 and "invalid choice: 'some'" in run.stderr
    with pytest.raises(ValueError, match="neck_watchdog_feeds"):
        wenlo_sim.SimRobot(neck_watchdog_feeds="some")
