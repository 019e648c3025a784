"""The boundary under threads and at exit: no abort when daemon threads are inside a method as
the interpreter ends, no thread waiting for itself, records from exit handlers still delivered.
Each scenario runs in fresh processes with a time-out, many times over."""
import os
import textwrap

from runs import run_many

# 50 runs in the normal suite; the sanitizer run, where each costs several times more, asks fewer.
EXIT_RUNS = int(os.environ.get("WENLO_BOUNDARY_RUNS", "50"))

EXIT_WHILE_DAEMONS_LOG = textwrap.dedent("""
    import logging, sys, threading, time
    import wenlo_motor_controller as wmc

    class Slow(logging.Handler):
        def emit(self, record):
            time.sleep(0.3)   # gives the lock away; finalization begins meanwhile

    logger = logging.getLogger("wenlo_motor_controller.controller")
    logger.addHandler(Slow())
    logger.setLevel(logging.WARNING)
    ctl = wmc.WenloMotorController(None, "can0")

    def setter():
        while True:
            ctl.set_neck_position([0.7, 0.0, 0.0])   # clamped, so it logs

    def reader():
        while True:
            ctl.read_neck_positions()

    for target in (setter, reader):
        threading.Thread(target=target, daemon=True).start()
    time.sleep(float(sys.argv[1]))
""")


def test_exit_while_daemon_threads_are_inside_methods(sim):
    counts, failure = run_many(EXIT_WHILE_DAEMONS_LOG, runs=EXIT_RUNS, timeout=30,
                               args=[lambda i: 0.15 + (i % 10) * 0.05])
    assert counts["ok"] == EXIT_RUNS, failure


REENTRY = textwrap.dedent("""
    import logging, threading
    import wenlo_motor_controller as wmc

    ctl = wmc.WenloMotorController(None, "can0")
    seen = []

    class CallsBack(logging.Handler):
        def emit(self, record):
            try:
                ctl.neck_position_limits()
                seen.append("returned")
            except RuntimeError as e:
                seen.append(str(e))

    logging.getLogger("wenlo_motor_controller.controller").addHandler(CallsBack())
    observed = ctl.set_neck_position([0.7, 0.0, 0.0])
    assert len(seen) == 1 and seen[0].startswith("re-entrant call: "), seen
    # The lock was left in order: the same thread and another one get through.
    assert ctl.neck_position_limits()[0] == (-0.5, 0.5)
    box = []
    worker = threading.Thread(target=lambda: box.append(ctl.read_neck_positions()))
    worker.start()
    worker.join(10)
    assert len(box) == 1 and len(observed) == 3
    print("ok")
""")


def test_a_handler_calling_the_same_controller_is_refused_not_hung(sim):
    counts, failure = run_many(REENTRY, runs=3, timeout=30)
    assert counts["ok"] == 3, failure


# The exit handler is registered before the import, so it runs after the module's own hook.
LATE_EXIT_HANDLER = textwrap.dedent("""
    import atexit, logging, sys

    def at_exit():
        ctl.set_neck_position([0.0, 0.0, 9.0])   # clamped: one warning record

    atexit.register(at_exit)
    import wenlo_motor_controller as wmc

    class Print(logging.Handler):
        def emit(self, record):
            sys.stdout.write("record: " + record.getMessage() + "\\n")

    logging.getLogger("wenlo_motor_controller.controller").addHandler(Print())
    ctl = wmc.WenloMotorController(None, "can0")
""")


def test_records_from_exit_handlers_still_arrive(sim):
    import subprocess
    import sys

    import wenlo_sim

    done = subprocess.run([sys.executable, "-c", LATE_EXIT_HANDLER], env=wenlo_sim.preload_env(),
                          capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr
    assert done.stdout == ("record: neck_roll requested position 9.0000 rad out of safe range "
                           "[-0.4000, 0.4000]; clamped to 0.4000\n")
