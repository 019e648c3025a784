"""System calls per synchronous call, counted by strace on the simulated robot (wire time on):
the difference between a run with N calls and one with none, divided by N.

    python -m wenlo_sim --wire-time bench/syscalls.py
"""
import collections
import os
import shutil
import subprocess
import sys
import tempfile

N = 20 if os.environ.get("BENCH_QUICK") == "1" else 500
CALLS = {
    "read_all_positions": "ctl.read_all_positions()",
    "read_neck_positions": "ctl.read_neck_positions()",
    "set_all_goal_positions": "ctl.set_all_goal_positions([0.0] * 7)",
}


def count(statement, n):
    program = ("import os, wenlo_motor_controller as w\n"
               "ctl = w.WenloMotorController(os.environ['WENLO_SIM_SERIAL'], "
               "os.environ.get('WENLO_SIM_CAN', 'can0'))\n"
               f"for _ in range({n}):\n    {statement}\n")
    with tempfile.NamedTemporaryFile("r", suffix=".strace") as out:
        subprocess.run(["strace", "-f", "-qq", "-c", "-U", "name,calls", "-o", out.name,
                        sys.executable, "-c", program], check=True)
        calls = collections.Counter()
        for line in out.read().splitlines():
            parts = line.split()
            if len(parts) == 2 and parts[1].isdigit() and parts[0] != "total":
                calls[parts[0]] = int(parts[1])
        return calls


def main():
    if shutil.which("strace") is None:
        print("strace is not installed: no system call counts")
        return
    for name, statement in CALLS.items():
        base, with_calls = count(statement, 0), count(statement, N)
        per_call = {k: (with_calls[k] - base[k]) / N for k in with_calls
                    if (with_calls[k] - base[k]) / N >= 0.05}
        total = sum(per_call.values())
        detail = ", ".join(f"{k} {v:.1f}" for k, v in sorted(per_call.items(), key=lambda kv: -kv[1]))
        print(f"{name:24s} {total:5.1f} system calls per call ({detail})")


if __name__ == "__main__":
    main()
