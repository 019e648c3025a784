"""The wenlo command on the simulated robot, run as a person runs it: scan, regs, record, plot,
and monitor in a real terminal (tmux)."""
import json
import math
import os
import select
import shutil
import signal
import subprocess
import sys
import time

import pytest

import wenlo_motor_controller as wmc

WENLO = [sys.executable, "-m", "wenlo_tools"]
PING, REBOOT = 0x01, 0x08


def wenlo(sim, *args, timeout=60, env=None):
    return subprocess.run(WENLO + [str(a) for a in args], env=env or sim.env(),
                          capture_output=True, text=True, timeout=timeout)


def heard(sim, instruction):
    """The ids of the packets with this instruction that the servos heard, in order."""
    data, ids, i = sim.received(), [], 0
    while i + 4 < len(data):
        assert data[i:i + 2] == b"\xff\xff", data[i:i + 8].hex()
        if data[i + 4] == instruction:
            ids.append(data[i + 2])
        i += 4 + data[i + 3]
    return ids


def settles(read, expected, seconds=5.0):
    """Whether read() comes to return expected: writes without an answer land a little later."""
    deadline = time.monotonic() + seconds
    while read() != expected and time.monotonic() < deadline:
        time.sleep(0.02)
    return read() == expected


def test_scan_finds_the_robot_and_names_what_is_missing(sim):
    sim.clear_received()
    found = wenlo(sim, "scan", "--json")
    assert found.returncode == 0, found.stderr
    # Every id a servo may have is asked, 253 included; 254 is everyone's (broadcast).
    assert sorted(set(heard(sim, PING))) == list(range(254))
    report = json.loads(found.stdout)
    assert [(s["id"], s["joint"]) for s in report["servos"]] == [
        (1, "left_arm_pitch"), (2, "left_arm_yaw"), (3, "right_arm_pitch"),
        (4, "right_arm_yaw"), (5, "nose_top"), (6, "nose_left"), (7, "nose_right")]
    assert all(s["voltage"] == 12.0 and s["firmware"] == "3.10" for s in report["servos"])
    assert [(m["joint"], m["answers"], m["CTRL_MODE"]) for m in report["neck"]] == [
        ("neck_yaw", True, 1), ("neck_pitch", True, 1), ("neck_roll", True, 1)]
    assert report["neck"][1]["TMAX"] == 28.0 and report["missing"] == []
    print(f"scan took {report['seconds']} s")
    assert report["seconds"] < 10  # about 3 s; far less than that is a sign of a short scan
    sim.servo_unpowered(4)
    sim.motor_connected(2, False)
    table = wenlo(sim, "scan")
    assert table.returncode == 1
    assert ("missing from the layout: right_arm_yaw (id=4), neck_pitch (id=2)"
            in table.stdout.splitlines())
    assert "neck_pitch       does not answer" in table.stdout


def test_regs_round_trip_a_write_and_refuse_without_asking(sim):
    wrote = wenlo(sim, "regs", "write", "servo", 3, "p_gain", 40, "--yes")
    assert wrote.returncode == 0, wrote.stderr
    assert wenlo(sim, "regs", "read", "servo", 3, "p_gain").stdout == "servo 3 p_gain: 40 (0x28)\n"
    assert sim.servo_registers(3, 21, 1) == bytes([40])
    # The hex is the value's; a read wider than any register shows its bytes instead.
    by_address = wenlo(sim, "regs", "read", "servo", 3, "56", "--length", "2")
    assert by_address.stdout == "servo 3 address 56: 2048 (0x0800)\n"
    span = wenlo(sim, "regs", "read", "servo", 3, "56", "--length", "8")
    assert span.stdout == "servo 3 address 56: bytes 00 08 00 00 00 00 78 1e\n"
    listed = wenlo(sim, "regs", "list", "servo").stdout.splitlines()
    assert " 21  1  rw  p_gain" in listed and " 56  2  ro  present_position" in listed
    neck = wenlo(sim, "regs", "write", "neck", "neck_roll", "KP_APR", "12.5", "--yes")
    assert neck.stdout == "neck_roll KP_APR: 12.5\n"
    assert wenlo(sim, "regs", "read", "neck", "neck_roll", "KP_APR").stdout == \
        "neck_roll KP_APR: 12.5\n"
    # Refusals: one line each, nothing written.
    for args, reason in [
        (("write", "servo", 3, "p_gain", 50), "not writing 50 to servo 3 p_gain"),
        (("write", "neck", "neck_yaw", "sw_ver", 1, "--yes"), "neck register 'sw_ver' is "
                                                              "read-only"),
        (("read", "servo", 3, "no_such"), "unknown servo register 'no_such'"),
        (("read", "servo", 9, "p_gain"), "servo 9 does not answer (Operation timed out)"),
        (("write", "servo", 3, "p_gain", 999, "--yes"), "p_gain holds 0 to 255 (1 byte), not 999"),
        (("write", "servo", 3, "goal_position", -5, "--yes"),
         "goal_position holds 0 to 65535 (2 bytes), not -5 (no negatives"),
        (("write", "servo", 3, "21", 256, "--yes"), "address 21 holds 0 to 255 (1 byte), not 256"),
        (("write", "servo", 3, "present_position", 5, "--yes"),
         "servo register 'present_position' is read-only"),
    ]:
        done = wenlo(sim, "regs", *args)
        assert done.returncode == 1 and done.stderr.count("\n") == 1, done.stderr
        assert done.stderr.startswith("wenlo regs: ") and reason in done.stderr
    assert sim.servo_registers(3, 21, 1) == bytes([40])


def test_torque_home_and_reboot_do_to_the_motors_what_they_say(sim):
    def servo_torque():
        return [sim.servo_registers(i, 40, 1)[0] for i in range(1, 8)]

    def neck_enabled():
        return [sim.motor_state(i)["enabled"] for i in (1, 2, 3)]

    assert servo_torque() == [0] * 7 and neck_enabled() == [0] * 3
    # Each step changes what it names and leaves the rest as the step before left it.
    for args, servos, neck, said in [
        (["on"], 1, 1, "servo torque on\nneck torque on\n"),
        (["off", "--servos-only"], 0, 1, "servo torque off\n"),
        (["on", "--servos-only"], 1, 1, "servo torque on\n"),
        (["off", "--neck-only"], 1, 0, "neck torque off\n"),
        (["on", "--neck-only"], 1, 1, "neck torque on\n"),
        (["off"], 0, 0, "servo torque off\nneck torque off\n"),
    ]:
        done = wenlo(sim, "torque", *args)
        assert done.returncode == 0 and done.stdout == said, (args, done.stderr)
        assert settles(servo_torque, [servos] * 7), (args, servo_torque())
        assert neck_enabled() == [neck] * 3, (args, neck_enabled())
    both = wenlo(sim, "torque", "on", "--servos-only", "--neck-only")
    assert both.returncode == 1 and "exclude each other" in both.stderr
    assert servo_torque() == [0] * 7 and neck_enabled() == [0] * 3

    # Home: each neck joint to the multiple of 2 pi nearest to where it stands.
    for motor, start in ((1, 6.0), (2, -0.4), (3, 0.3)):
        sim.motor_set_position(motor, start)
    homed = wenlo(sim, "home", "--speed", 0.8)
    assert homed.returncode == 0, homed.stderr
    text = homed.stdout.strip()
    assert text.startswith("neck homed at ") and text.endswith(" rad (yaw, pitch, roll)"), text
    printed = [float(v) for v in text[len("neck homed at "):].split(" rad")[0].split(", ")]
    standing = [sim.motor_state(i)["position"] for i in (1, 2, 3)]
    for target, said, now in zip((2 * math.pi, 0.0, 0.0), printed, standing):
        assert abs(said - target) <= 0.15 and abs(now - target) <= 0.15, (printed, standing)
    assert neck_enabled() == [1] * 3  # homing leaves the neck holding

    # Reboot: each servo is told once, and each answers afterwards. (The simulated servos keep
    # their torque-enable register through a reboot, so torque off afterwards is not shown here.)
    sim.clear_received()
    rebooted = wenlo(sim, "reboot")
    assert rebooted.returncode == 0, rebooted.stderr
    assert rebooted.stdout == "the seven servos rebooted and answer again\n"
    assert sorted(heard(sim, REBOOT)) == list(range(1, 8))
    ctl = wmc.WenloMotorController(sim.serial_path, "can0")
    assert [ctl.ping(i) for i in range(1, 8)] == [True] * 7


def test_record_keeps_every_snapshot_and_plot_draws_it(sim, tmp_path):
    from mcap.reader import make_reader

    out = tmp_path / "three_seconds.mcap"
    # Real-time scheduling where it is allowed: a busy test machine must not delay the ticks.
    rt = ["--rt-priority", 50] if os.geteuid() == 0 else []
    done = wenlo(sim, "record", out, "--seconds", 3, "--rate", 100, "--telemetry-period", 500,
                 *rt)
    assert done.returncode == 0, done.stderr
    summary = done.stdout.splitlines()[-1]
    print(summary)
    assert "snapshots in 3 s" in summary and "largest gap" in summary
    with open(out, "rb") as f:
        messages = [(channel.topic, json.loads(message.data))
                    for _, channel, message in make_reader(f).iter_messages()]
    states = [m for topic, m in messages if topic == "/joint_states"]
    health = [m for topic, m in messages if topic == "/health"]
    stamps = [s["header"]["stamp"]["sec"] + s["header"]["stamp"]["nsec"] / 1e9 for s in states]
    assert 270 <= len(states) <= 330
    assert int(summary.split()[0]) == len(states)
    # Snapshots are lost only when the ring overflows, and the loop says so. The timing of the
    # ticks proves nothing here: on a busy machine a tick can take longer than its period, so
    # the schedule slides without anything being lost.
    assert "snapshots were lost" not in done.stderr
    assert all(b > a for a, b in zip(stamps, stamps[1:]))  # each once, in order
    assert states[0]["name"] == [
        "left_arm_pitch", "left_arm_yaw", "right_arm_pitch", "right_arm_yaw", "nose_top",
        "nose_left", "nose_right", "neck_yaw", "neck_pitch", "neck_roll"]
    assert len(states[0]["position"]) == 10
    assert 5 <= len(health) <= 8 and len(health[-1]["joints"]) == 10
    assert health[-1]["joints"][0]["temperature"] == 30.0

    png = tmp_path / "plot.png"
    plotted = subprocess.run(WENLO + ["plot", str(out), "-o", str(png)], capture_output=True,
                             text=True, timeout=120)
    assert plotted.returncode == 0, plotted.stderr
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and png.stat().st_size > 20_000


@pytest.mark.skipif(shutil.which("tmux") is None, reason="needs tmux")
def test_monitor_runs_in_a_terminal_stops_the_robot_on_e_and_q_quits_at_once(sim, tmp_path):
    socket = f"wenlo-test-{os.getpid()}"
    tmux = ["tmux", "-L", socket]
    command = " ".join(WENLO + ["monitor"]) + "; echo EXITED $?; sleep 30"
    subprocess.run(tmux + ["new-session", "-d", "-x", "80", "-y", "24", command],
                   env=sim.env(), check=True)
    try:
        def screen():
            return subprocess.run(tmux + ["capture-pane", "-p"], capture_output=True,
                                  text=True).stdout

        def shows(wanted: bool, text="E-STOP", seconds=5.0):
            deadline = time.monotonic() + seconds
            while (text in screen()) != wanted and time.monotonic() < deadline:
                time.sleep(0.05)
            return (text in screen()) == wanted

        def fits(shown):
            lines = shown.splitlines()
            return len(lines) <= 24 and all(len(line) <= 80 for line in lines)

        def servo_torque():
            return [sim.servo_state(i)["torque"] for i in range(1, 8)]

        assert shows(True, "neck_roll", seconds=20)
        time.sleep(2.0)  # a few refreshes, with statistics
        shown = screen()
        print(shown)
        lines = shown.splitlines()
        assert fits(shown)
        assert all(name in shown for name in ("left_arm_pitch", "nose_right", "neck_yaw"))
        period = next(line for line in lines if line.startswith("period mean"))
        assert 5.0 < float(period.split()[2]) < 20.0  # ms, at 100 Hz
        assert "e emergency stop" in shown and "E-STOP" not in shown

        # Something for the stop to stop: torque on behind the monitor's back (it only reads,
        # so no neck motor has had a command yet).
        for i in range(1, 8):
            sim.servo_write_registers(i, 40, b"\x01")
        assert servo_torque() == [1] * 7
        assert [sim.motor_state(m)["mit_commands"] for m in (1, 2, 3)] == [0] * 3
        subprocess.run(tmux + ["send-keys", "e"], check=True)
        assert shows(True), screen()
        stopped = screen()
        print(stopped)
        assert fits(stopped)
        assert settles(servo_torque, [0] * 7), servo_torque()
        for m in (1, 2, 3):  # one damping command each: no stiffness, some damping
            state = sim.motor_state(m)
            assert state["mit_commands"] == 1 and state["cmd_kp"] == 0.0, state
            assert state["cmd_kd"] > 0.0, state

        subprocess.run(tmux + ["send-keys", "r"], check=True)
        assert shows(False), screen()
        assert "e emergency stop" in screen()
        # Resetting the stop enables nothing and sends nothing to the neck.
        time.sleep(0.3)
        assert servo_torque() == [0] * 7
        assert [sim.motor_state(m)["mit_commands"] for m in (1, 2, 3)] == [1] * 3

        pressed = time.monotonic()
        subprocess.run(tmux + ["send-keys", "q"], check=True)
        while "EXITED" not in screen() and time.monotonic() - pressed < 5:
            time.sleep(0.05)
        took = time.monotonic() - pressed
        assert "EXITED 0" in screen() and took < 1.0, took
    finally:
        subprocess.run(tmux + ["kill-server"], capture_output=True)


def test_sigterm_unwinds_the_command_and_frees_the_port(sim, tmp_path):
    from mcap.reader import make_reader

    out = tmp_path / "stopped.mcap"
    proc = subprocess.Popen(WENLO + ["record", str(out), "--seconds", "120"], env=sim.env(),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        # The first progress line comes once the loop runs.
        ready, _, _ = select.select([proc.stdout], [], [], 30)
        first = proc.stdout.readline() if ready else ""
        assert first.startswith("recording:"), first
        time.sleep(0.5)
        proc.send_signal(signal.SIGTERM)
        _, err = proc.communicate(timeout=15)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 143, err
    # The command unwound: the recording was finished, so its summary is there to read.
    with open(out, "rb") as f:
        summary = make_reader(f).get_summary()
    assert summary is not None and summary.statistics.channel_message_counts, summary
    opened = time.monotonic()
    ctl = wmc.WenloMotorController(sim.serial_path, "can0")
    print(f"the port opened again in {time.monotonic() - opened:.3f} s")
    assert [ctl.ping(i) for i in range(1, 8)] == [True] * 7


def test_without_the_extra_the_tool_says_which_one_to_install(sim, tmp_path):
    (tmp_path / "mcap.py").write_text("raise ImportError('not installed here')\n")
    env = {**sim.env(), "PYTHONPATH": str(tmp_path)}
    done = wenlo(sim, "record", tmp_path / "x.mcap", "--seconds", 1, env=env)
    assert done.returncode == 1
    assert done.stderr == ("wenlo record: this command needs the tools extra (mcap is missing): "
                           "pip install 'wenlo_motor_controller[tools]'\n")
    (tmp_path / "rclpy.py").write_text("raise ImportError('not installed here')\n")
    done = wenlo(sim, "ros", "--ros-args", "-p", "rate:=50.0", env=env)
    assert (done.returncode, done.stderr) == (1, (
        "wenlo ros: ROS 2's Python client is missing (rclpy cannot be imported): on a computer "
        "with ROS 2 Jazzy, `source /opt/ros/jazzy/setup.bash` first; elsewhere (CPython 3.12, "
        "x86-64 Linux) pip install 'wenlo_motor_controller[ros]'\n"))
    # Every subcommand has its help, and the console script is installed beside the interpreter.
    script = os.path.join(os.path.dirname(sys.executable), "wenlo")
    for sub in ("scan", "monitor", "regs", "torque", "home", "reboot", "record", "plot", "ros"):
        helped = subprocess.run([script, sub, "--help"], capture_output=True, text=True)
        assert helped.returncode == 0 and helped.stdout.startswith("usage: wenlo " + sub)


def test_every_ros_parameter_becomes_the_loop_argument_it_names(sim):
    """wenlo ros's parameters as the loop gets them, read through a stand-in for rclpy's node;
    the loop they make keeps the limits and, at its close, leaves the motors as on_exit says."""
    import datetime

    from wenlo_tools.failure import Failure
    from wenlo_tools.ros_node import PARAMETERS, loop_arguments

    class Value:
        def __init__(self, value):
            self.value = value

    class Node:
        def __init__(self, given, prefixed=()):
            self.given, self.prefixed = {**PARAMETERS, **given}, dict(prefixed)

        def get_parameter(self, name):
            return Value(self.given[name])

        def get_parameters_by_prefix(self, prefix):
            return {k[len(prefix) + 1:]: Value(v) for k, v in self.prefixed.items()
                    if k.startswith(prefix + ".")}

    s = datetime.timedelta(seconds=1)
    defaults = loop_arguments(Node({"port": ""}))
    assert defaults == dict(
        serialport=None, read_position_loop_period=s / 100, can_bus=PARAMETERS["can_bus"],
        stats_pub_period=s / 2, telemetry_period=s / 2, rt_priority=None, cpu_affinity=None,
        joint_limits=None, max_step=None, on_exit="hold", neck_timeout=None)
    given = loop_arguments(Node(
        {"port": sim.serial_path, "can_bus": "can0", "rate": 50.0, "telemetry_period": 0.25,
         "rt_priority": 10, "cpu_affinity": [0], "max_step": 0.3, "on_exit": "damp",
         "neck_timeout": 0.2},
        {"joint_limits.neck_yaw": [-0.5, 0.5], "max_step.nose_top": 0.1}))
    assert given == dict(
        serialport=sim.serial_path, read_position_loop_period=s / 50, can_bus="can0",
        stats_pub_period=s / 4, telemetry_period=s / 4, rt_priority=10, cpu_affinity=[0],
        joint_limits={"neck_yaw": (-0.5, 0.5)}, max_step={"nose_top": 0.1}, on_exit="damp",
        neck_timeout=s / 5)
    for bad in ({"rate": 0.0}, {"telemetry_period": math.inf}):
        with pytest.raises(Failure, match="must be more than 0"):
            loop_arguments(Node(bad))
    with wmc.WenloPyControlLoop(**given) as loop:  # SCHED_FIFO may be refused: it only warns
        assert loop.joint_limits()["neck_yaw"] == (-0.5, 0.5)
        loop.enable_neck(True)
        loop.enable_torque()
        time.sleep(0.2)
    assert [sim.motor_state(m)["enabled"] for m in (1, 2, 3)] == [1] * 3
    assert [sim.motor_state(m)["cmd_kp"] for m in (1, 2, 3)] == [0.0] * 3
    assert [sim.servo_state(i)["torque"] for i in range(1, 8)] == [0] * 7
