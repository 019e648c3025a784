"""Programs run on the simulated robot as a person runs them: `python -m wenlo_sim PROGRAM`.
Each run has a robot and a CAN namespace of its own; Ctrl-C is the program's alone; the exit
status is the program's, as a shell reports it."""
import collections
import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import wenlo_sim
from runs import fresh_shell_env

LAUNCHER = [sys.executable, "-m", "wenlo_sim"]
HOME_AND_GO = textwrap.dedent("""
    import json, os, sys, time
    from wenlo_motor_controller import WenloMotorController
    goal = [float(v) for v in sys.argv[1].split(",")]
    ctl = WenloMotorController(os.environ["WENLO_SIM_SERIAL"], "can0")
    ctl.neck_home(speed=2.0, tolerance=0.05)
    ctl.set_neck_position(goal)
    time.sleep(1.0)
    print(json.dumps(ctl.read_neck_positions()))
""")


def test_two_runs_on_can0_at_once_each_drive_their_own_neck(tmp_path):
    script = tmp_path / "home_and_go.py"
    script.write_text(HOME_AND_GO)
    goals = {"a": [0.3, 0.1, 0.2], "b": [-0.3, 0.3, -0.2]}
    starts = {"a": "0.4,0.3,-0.2", "b": "-0.4,0.2,0.3"}
    runs = {name: subprocess.Popen(
        LAUNCHER + [f"--neck-start={starts[name]}", str(script), ",".join(map(str, goal))],
        env=fresh_shell_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        for name, goal in goals.items()}
    for name, run in runs.items():
        out, err = run.communicate(timeout=60)
        assert run.returncode == 0, err
        observed = json.loads(out.splitlines()[-1])
        assert observed == pytest.approx(goals[name], abs=0.03), (name, observed)


def test_a_namespace_is_shared_only_when_asked_for(tmp_path):
    reader = tmp_path / "read_neck.py"
    reader.write_text(textwrap.dedent("""
        from wenlo_motor_controller import WenloMotorController
        print([round(p, 2) for p in WenloMotorController(None, "can0").read_neck_positions()])
    """))
    shared = tmp_path / "ns"
    with wenlo_sim.SimRobot(neck_start=(0.25, 0.15, -0.1), namespace=shared):
        asked = subprocess.run(LAUNCHER + ["--no-robot", "--namespace", str(shared), str(reader)],
                               env=fresh_shell_env(), capture_output=True, text=True, timeout=60)
        by_variable = subprocess.run(
            LAUNCHER + ["--no-robot", str(reader)], capture_output=True, text=True, timeout=60,
            env={**fresh_shell_env(), wenlo_sim.SHARED_NAMESPACE_VARIABLE: str(shared)})
        private = subprocess.run(LAUNCHER + ["--no-robot", str(reader)], env=fresh_shell_env(),
                                 capture_output=True, text=True, timeout=60)
    for run in (asked, by_variable):
        assert run.returncode == 0, run.stderr
        assert run.stdout.strip() == "[0.25, 0.15, -0.1]"
    # Alone in its namespace, the program hears no motor at all.
    assert private.returncode == 1
    assert "neck_yaw" in private.stderr and "RuntimeError" in private.stderr


INTERRUPTED_HOMING = textwrap.dedent("""
    import os, sys
    from wenlo_motor_controller import WenloMotorController
    ctl = WenloMotorController(os.environ["WENLO_SIM_SERIAL"], "can0")
    if sys.argv[1] == "exit":
        sys.exit(3)
    print("homing", flush=True)
    try:
        ctl.neck_home(speed=0.2)
    except KeyboardInterrupt:
        # The robot still answers: the Ctrl-C was this program's alone.
        print("interrupted at", [round(p, 2) for p in ctl.read_neck_positions()], flush=True)
        raise
""")


def _launcher_frames(stderr):
    return [line for line in stderr.splitlines()
            if line.strip().startswith("File ") and "wenlo_sim" in line]


@pytest.mark.parametrize("how, expected_status", [
    ("ctrl-c", 128 + signal.SIGINT),      # Ctrl-C in a terminal: SIGINT to the whole group
    ("sigterm", 128 + signal.SIGTERM),    # SIGTERM to the launcher alone is passed on
    ("exit", 3),
])
def test_signals_reach_the_program_and_the_status_is_a_shells(tmp_path, how, expected_status):
    script = tmp_path / "interrupted.py"
    script.write_text(INTERRUPTED_HOMING)
    runs = int(os.environ.get("WENLO_SIGNAL_RUNS", "10" if how == "ctrl-c" else "4"))
    counts = collections.Counter()
    first_failure = None
    for _ in range(runs):
        # A session of its own stands for the terminal: its process group is the foreground.
        run = subprocess.Popen(LAUNCHER + ["--neck-start", "1.2,0,0", str(script), how],
                               env=fresh_shell_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True, start_new_session=True)
        if how != "exit":
            assert run.stdout.readline() == "homing\n"
            time.sleep(0.3)
            if how == "ctrl-c":
                os.killpg(run.pid, signal.SIGINT)
            else:
                run.send_signal(signal.SIGTERM)
        try:
            out, err = run.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            os.killpg(run.pid, signal.SIGKILL)
            counts["hang"] += 1
            continue
        ok = run.returncode == expected_status and not _launcher_frames(err)
        if how == "ctrl-c":
            ok = ok and out.startswith("interrupted at [") and "KeyboardInterrupt" in err
        counts["ok" if ok else "failed"] += 1
        if not ok and first_failure is None:
            first_failure = f"status {run.returncode}\n{out}\n{err}"
    print(f"{how}: {runs} runs: {dict(counts)}")
    assert counts["ok"] == runs, first_failure
