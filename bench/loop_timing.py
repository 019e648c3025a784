"""(b) the loop's period against its schedule, (c) command latency to the bus, (e) the worker's
CPU share, (g) the cost of telemetry and (h) the schedule on a machine whose cores are busy,
with and without real-time scheduling, on the simulated robot with wire time on.

    python -m wenlo_sim --no-robot bench/loop_timing.py
"""
import datetime
import os
import subprocess
import sys
import threading
import time

import wenlo_sim
from wenlo_motor_controller import WenloPyControlLoop

SCALE = 0.05 if os.environ.get("BENCH_QUICK") == "1" else 1.0  # a smoke run
FEEDBACK_REQUEST = 0x7FF  # the neck's feedback requests go to this id; yaw's is the first


def percentiles(values):
    ordered = sorted(values)
    pick = lambda q: ordered[min(len(ordered) - 1, int(q * len(ordered)))]  # noqa: E731
    return pick(0.50), pick(0.99), ordered[-1]


def lateness_from_stats(period_samples, period):
    # Tick k happened at the first tick plus the sum of the samples after it; it was due at
    # the first tick plus k periods (the first is due at once, so it is the reference).
    late, elapsed = [], 0.0
    for k, sample in enumerate(period_samples[1:], start=1):
        elapsed += sample
        late.append(elapsed - k * period)
    return late


def lateness_from_bus(sim, period):
    # Each tick asks yaw for feedback first: when that request went on the bus is when the
    # neck part of the tick began, on the simulator's own clock. That clock cannot see when the
    # schedule started, so the phase of the schedule is taken as the 5th percentile of the
    # ticks' phases, and each tick's lateness is its phase after that one, read as up to three
    # quarters of a period late rather than early.
    times = [at for can_id, data, at in sim.can_frames_timed()
             if can_id == FEEDBACK_REQUEST and data[:2] == b"\x01\x00"][5:]
    phases = sorted(((at - times[0]) / 1e9) % period for at in times)
    reference = phases[len(phases) // 20]
    def late(at):
        shift = ((at - times[0]) / 1e9 - reference) % period
        return shift - period if shift >= 0.75 * period else shift
    return [late(at) for at in times]


def worker_cpu(pid_threads_before):
    tids = set(os.listdir("/proc/self/task")) - pid_threads_before
    total = 0
    for tid in tids:
        fields = open(f"/proc/self/task/{tid}/stat").read().rsplit(")", 1)[1].split()
        total += int(fields[11]) + int(fields[12])  # utime + stime, in clock ticks
    return total / os.sysconf("SC_CLK_TCK")


def busy_python(stop):
    x = 0
    while not stop.is_set():
        x += 1


def period_run(sim, serial, hz, seconds=10.0, **kwargs):
    seconds *= SCALE
    period = 1.0 / hz
    threads = set(os.listdir("/proc/self/task"))
    loop = WenloPyControlLoop(serial, datetime.timedelta(seconds=period), sim.iface,
                              stats_pub_period=datetime.timedelta(milliseconds=200), **kwargs)
    sim.clear_can()
    stop = threading.Event()
    busy = threading.Thread(target=busy_python, args=(stop,))
    busy.start()
    time.sleep(seconds)
    stop.set()
    busy.join()
    stats = loop.get_stats()
    bus = lateness_from_bus(sim, period)
    loop.close()
    name = f"{hz} Hz, {'full robot' if serial else 'neck only'}, busy Python thread beside"
    if kwargs:
        name = f"{hz} Hz, full robot, busy thread, rt_priority={kwargs['rt_priority']}"
    for source, late in (("statistics", lateness_from_stats(stats.period, period)),
                         ("simulator clock", bus)):
        p50, p99, worst = percentiles([abs(v) for v in late])
        print(f"(b) {name:48s} lateness from {source:15s} p50 {p50 * 1e3:6.3f} ms  "
              f"p99 {p99 * 1e3:6.3f} ms  max {worst * 1e3:6.3f} ms  ({len(late)} ticks)")


def cpu_run(sim, serial, seconds=10.0):
    seconds *= SCALE
    threads = set(os.listdir("/proc/self/task"))
    loop = WenloPyControlLoop(serial, datetime.timedelta(milliseconds=10), sim.iface)
    before = worker_cpu(threads)
    time.sleep(seconds)
    used = worker_cpu(threads) - before
    loop.close()
    print(f"(e) worker CPU at 100 Hz, full robot, nothing queued: {100 * used / seconds:.2f} % "
          f"of one core")


def latency_run(sim, serial, offset_ms, label, samples=200):
    """From the Python call to the moment the motors read the command frame."""
    samples = max(5, int(samples * SCALE))
    period = 0.010
    loop = WenloPyControlLoop(serial, datetime.timedelta(seconds=period), sim.iface)
    time.sleep(0.1)
    sim.clear_can()
    time.sleep(0.05)
    first = next(at for can_id, data, at in sim.can_frames_timed() if can_id == FEEDBACK_REQUEST)
    latencies = []
    for k in range(samples):
        # Just after a tick began (mid-tick) or well after it ended (idle).
        due = first / 1e9 + (k + 10) * period + offset_ms / 1000
        while time.monotonic() < due:
            time.sleep(max(0.0, due - time.monotonic() - 0.0005))
        sim.clear_can()
        sent = time.monotonic_ns()
        loop.set_neck_yaw_position(0.001 * (k % 2))
        time.sleep(0.004)
        frames = [at for can_id, data, at in sim.can_frames_timed() if can_id == 0x001]
        if frames:
            latencies.append((frames[0] - sent) / 1e3)
    loop.close()
    p50, p99, worst = percentiles(latencies)
    print(f"(c) command latency, {label:32s} p50 {p50:7.1f} us  p99 {p99:7.1f} us  "
          f"max {worst:7.1f} us  ({len(latencies)} commands)")


def read_times(sim, seconds, **kwargs):
    loop = WenloPyControlLoop(sim.serial_path, datetime.timedelta(milliseconds=10), sim.iface,
                              stats_pub_period=datetime.timedelta(milliseconds=200), **kwargs)
    time.sleep(seconds)
    samples = loop.get_stats().read_dt
    loop.close()
    return samples


def telemetry_run(sim, seconds=10.0):
    """What a telemetry read adds to the tick that carries it: ticks with one every tick against
    ticks without; at one a second and 100 Hz, one tick in a hundred carries it."""
    seconds *= SCALE
    plain = sorted(read_times(sim, seconds))
    every = sorted(read_times(sim, seconds, telemetry_period=datetime.timedelta(microseconds=1)))
    extra = every[len(every) // 2] - plain[len(plain) // 2]
    print(f"(g) telemetry read, 100 Hz, full robot: a tick that carries it takes "
          f"{extra * 1e3:.3f} ms more (p50 {every[len(every) // 2] * 1e3:.3f} against "
          f"{plain[len(plain) // 2] * 1e3:.3f} ms); at one a second that is "
          f"{extra * 1e6 / 100:.1f} us a tick on average")


def hog_run(sim, seconds=10.0, **kwargs):
    """100 Hz, full robot, with a CPU-bound process beside on every core."""
    seconds *= SCALE
    hogs = [subprocess.Popen([sys.executable, "-c", "while True: pass"])
            for _ in range(os.cpu_count() or 2)]
    try:
        time.sleep(0.5)
        period = 0.010
        loop = WenloPyControlLoop(sim.serial_path, datetime.timedelta(seconds=period), sim.iface,
                                  stats_pub_period=datetime.timedelta(milliseconds=200), **kwargs)
        time.sleep(seconds)
        stats = loop.get_stats()
        loop.close()
    finally:
        for hog in hogs:
            hog.kill()
            hog.wait()
    p50, p99, worst = percentiles([abs(v) for v in lateness_from_stats(stats.period, period)])
    how = f"rt_priority={kwargs['rt_priority']}" if kwargs else "an ordinary thread"
    print(f"(h) 100 Hz, full robot, {len(hogs)} CPU hogs beside, {how:20s} lateness p50 "
          f"{p50 * 1e3:6.3f} ms  p99 {p99 * 1e3:6.3f} ms  max {worst * 1e3:7.3f} ms  "
          f"({len(stats.period)} ticks)")


def main():
    with wenlo_sim.SimRobot(wire_time=True) as sim:
        hog_run(sim)
        hog_run(sim, rt_priority=50)
        period_run(sim, sim.serial_path, 500)
        if os.geteuid() == 0:  # elsewhere the worker would stay an ordinary thread
            period_run(sim, sim.serial_path, 500, rt_priority=50)
        telemetry_run(sim)
        period_run(sim, sim.serial_path, 100)
        period_run(sim, None, 500)
        latency_run(sim, None, 5.0, "idle loop (neck only, 100 Hz)")
        latency_run(sim, None, 0.2, "sent as a tick begins")
        cpu_run(sim, sim.serial_path)


if __name__ == "__main__":
    main()
