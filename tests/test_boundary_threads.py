"""The boundary under threads and at exit: no abort when daemon threads are inside a method as
the interpreter ends, no thread waiting for itself, records from exit handlers still delivered.
Each scenario runs in fresh processes with a time-out, many times over."""
import os
import textwrap

import pytest

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


# Ctrl-C while a handler runs on one of the module's records, on the caller's thread: the
# KeyboardInterrupt stops the operation (at its next interruption check, or when it returns)
# instead of being reported and dropped. Any other exception from a handler is still reported
# and ignored.
CTRL_C_IN_HANDLER = textwrap.dedent("""
    import datetime, logging, signal, sys, time
    import wenlo_motor_controller as wmc

    class Slow(logging.Handler):
        def emit(self, record):
            if record.getMessage().startswith(sys.argv[3]):
                time.sleep(1.5)              # the alarm goes off in here
            if record.levelno == logging.ERROR:
                raise ValueError("a broken handler")

    for name in ("wenlo_motor_controller.control_loop", "wenlo_motor_controller.controller"):
        logging.getLogger(name).addHandler(Slow())
        logging.getLogger(name).setLevel(logging.INFO)
    signal.signal(signal.SIGALRM, signal.default_int_handler)
    serial = sys.argv[1]
    started = time.monotonic()
    signal.setitimer(signal.ITIMER_REAL, 0.5)
    try:
        if sys.argv[2] == "start-up":
            wmc.WenloPyControlLoop(serial, datetime.timedelta(milliseconds=10), "can0",
                                   voltage_rampup_timeout=datetime.timedelta(seconds=6))
        else:
            wmc.WenloMotorController(None, "can0").set_neck_position([0.9, 0.0, 0.0])
        sys.exit("not interrupted")
    except KeyboardInterrupt:
        took = time.monotonic() - started
        assert took < 2.5, took              # the handler's 1.5 s, then at most a check
    # Other exceptions in handlers are reported and ignored, as Python's logging does.
    try:
        wmc.WenloMotorController("/dev/does-not-exist-wenlo")
    except RuntimeError as e:
        assert str(e) == "No such file or directory"
    wmc.WenloMotorController(serial, "can0").read_all_positions()   # the port is free
    print("interrupted")
""")


@pytest.mark.parametrize("operation, record", [
    ("start-up", "Waiting for voltage to be stable at 12V..."),
    ("clamped neck", "neck_yaw requested position"),
])
def test_ctrl_c_inside_a_logging_handler_stops_the_operation(sim, operation, record):
    if operation == "start-up":
        sim.servo_voltage(4, 100)  # the start-up waits for the supply
    runs = int(os.environ.get("WENLO_FAULT_RUNS", "5"))
    counts, failure = run_many(CTRL_C_IN_HANDLER, runs=runs, timeout=30,
                               args=[sim.serial_path, operation, record])
    assert counts["ok"] == runs, failure
