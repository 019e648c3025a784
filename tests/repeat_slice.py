"""Runs a representative slice of the pytest suite again and again in one process and prints,
after each round, what the process holds: allocated blocks, open descriptors and threads. From
the second round on nothing may grow (a small allowance for caches of the interpreter).

    python -m wenlo_sim --no-robot -- python tests/repeat_slice.py [ROUNDS]
"""
import gc
import os
import pathlib
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent
SLICE = ["test_values.py", "test_controller_serial.py", "test_controller_neck.py",
         "test_loop_surface.py", "test_loop_commands.py", "test_leaks.py"]
BLOCK_ALLOWANCE = 2000  # pytest's and the interpreter's own caches settle over rounds


def holdings():
    gc.collect()
    return (sys.getallocatedblocks(), len(os.listdir("/proc/self/fd")),
            len(os.listdir("/proc/self/task")))


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    seen = []
    for r in range(rounds):
        code = pytest.main(["-q", "-p", "no:cacheprovider", "-p", "no:randomly",
                            *[str(HERE / name) for name in SLICE]])
        if code != 0:
            print(f"round {r + 1}: pytest failed ({code})")
            return 1
        seen.append(holdings())
        blocks, fds, threads = seen[-1]
        print(f"round {r + 1}: {blocks} allocated blocks, {fds} descriptors, {threads} threads")
    base = seen[1] if len(seen) > 1 else seen[0]
    last = seen[-1]
    grown = (last[0] - base[0], last[1] - base[1], last[2] - base[2])
    print(f"from round 2 to round {rounds}: blocks {grown[0]:+d}, descriptors {grown[1]:+d}, "
          f"threads {grown[2]:+d}")
    return 0 if grown[0] <= BLOCK_ALLOWANCE and grown[1] <= 0 and grown[2] <= 0 else 1


if __name__ == "__main__":
    sys.exit(main())
