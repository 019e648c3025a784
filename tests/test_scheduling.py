"""Real-time scheduling of the worker, on request: what took effect is said once, what the system
refused is said with how to allow it, and the loop runs either way. Nothing else of the process
changes."""
import datetime
import logging
import os
import pathlib
import subprocess
import sys
import textwrap
import time

import pytest

import wenlo_motor_controller as wmc

ms = lambda n: datetime.timedelta(milliseconds=n)  # noqa: E731


def worker_thread(before):
    """The one thread that appeared since `before` (a set of task ids)."""
    (tid,) = {int(t) for t in os.listdir("/proc/self/task")} - before
    return tid


def records(caplog):
    return [(r.levelno, r.getMessage()) for r in caplog.records
            if r.name == "wenlo_motor_controller.control_loop"
            and r.getMessage().startswith("control loop worker: ")]


@pytest.mark.skipif(os.geteuid() != 0, reason="SCHED_FIFO needs privileges")
def test_priority_and_affinity_take_effect_on_the_worker_only(make_loop):
    before = {int(t) for t in os.listdir("/proc/self/task")}
    mine = (os.sched_getscheduler(0), os.sched_getaffinity(0))
    loop = make_loop(period_ms=10, serial=False, rt_priority=20, cpu_affinity=[0])
    time.sleep(0.2)
    tid = worker_thread(before)
    assert os.sched_getscheduler(tid) == os.SCHED_FIFO
    assert os.sched_getparam(tid).sched_priority == 20
    assert os.sched_getaffinity(tid) == {0}
    assert (os.sched_getscheduler(0), os.sched_getaffinity(0)) == mine  # the caller's own
    assert isinstance(loop.get_last_position(), wmc.WenloTorsoPosition)


def test_a_refused_affinity_warns_how_and_the_loop_runs_on(make_loop, caplog):
    caplog.set_level(logging.WARNING, logger="wenlo_motor_controller.control_loop")
    loop = make_loop(period_ms=10, serial=False, cpu_affinity=[1000])
    time.sleep(0.2)
    assert isinstance(loop.get_last_position(), wmc.WenloTorsoPosition)
    cpus = os.cpu_count()
    assert records(caplog) == [(logging.WARNING, (
        "control loop worker: CPU affinity [1000] refused (Invalid argument); it runs on any "
        f"CPU. Name CPUs from 0 to {cpus - 1} that this process may use (see taskset -p)"))]


@pytest.mark.parametrize("kwargs, message", [
    (dict(rt_priority=0), "rt_priority must be from 1 to 99, got 0"),
    (dict(rt_priority=100), "rt_priority must be from 1 to 99, got 100"),
    (dict(cpu_affinity=[]), "cpu_affinity must name at least one CPU"),
    (dict(cpu_affinity=[5000]), "cpu_affinity: 5000 is not a CPU number"),
])
def test_requests_that_cannot_be_asked_are_argument_errors(sim, kwargs, message):
    with pytest.raises(ValueError) as info:
        wmc.WenloPyControlLoop(None, ms(10), "can0", **kwargs)
    assert str(info.value) == message


# In a process of its own, so that the records of every level reach the handler.
SAID = textwrap.dedent("""
    import datetime, logging, os, sys
    if sys.argv[1] == "nobody":
        os.setgid(65534)
        os.setuid(65534)  # no CAP_SYS_NICE, no rtprio limit
    logging.getLogger("wenlo_motor_controller.control_loop").setLevel(logging.INFO)
    seen = []
    class Keep(logging.Handler):
        def emit(self, record):
            seen.append(record.getMessage())
    logging.getLogger("wenlo_motor_controller.control_loop").addHandler(Keep())
    import wenlo_motor_controller as wmc
    loop = wmc.WenloPyControlLoop(None, datetime.timedelta(milliseconds=10), "can0",
                                  rt_priority=30, cpu_affinity=[0])
    loop.get_last_position()
    loop.close()
    print([text for text in seen if text.startswith("control loop worker: ")])
""")


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root, to run both as root and as nobody")
@pytest.mark.parametrize("who, said", [
    ("root", ["control loop worker: SCHED_FIFO at priority 30, on CPUs [0]"]),
    ("nobody", [
        "control loop worker: SCHED_FIFO at priority 30 refused (Operation not permitted); it "
        "runs as an ordinary thread. Allow it with CAP_SYS_NICE (setcap cap_sys_nice+ep on the "
        "python executable) or an rtprio limit in /etc/security/limits.conf",
        "control loop worker: on CPUs [0]"]),
])
def test_what_took_effect_and_what_was_refused_is_said_once(sim, who, said):
    # The simulated robot's CAN namespace, open to nobody too.
    for path in [pathlib.Path(sim.namespace), *pathlib.Path(sim.namespace).iterdir()]:
        os.chmod(path, 0o777)
    done = subprocess.run([sys.executable, "-c", SAID, who], env=sim.env(),
                          capture_output=True, text=True, timeout=60, cwd="/tmp")
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == repr(said)
