"""wenlo monitor: every joint live, from a running loop with telemetry on. It queues no command
of its own: e stops the robot (the loop's emergency stop), r resets the stop, q (or Ctrl-C)
quits and closes the loop."""
from __future__ import annotations

import contextlib
import os
import select
import sys
import termios
import time
import tty

from wenlo_tools.failure import needs
from wenlo_tools.robot import loop as start_loop

REFRESH = 0.1  # seconds: ten frames a second
KEYS = "keys: e emergency stop, r reset the stop, q quit"
STOPPED = " E-STOP  latched: servo torque off, neck damped.  r resets, q quits"


def summary(samples: list[float]) -> str:
    recent = sorted(samples[-500:])
    if not recent:
        return "-"
    mean = sum(recent) / len(recent)
    p99 = recent[min(len(recent) - 1, int(0.99 * len(recent)))]
    return f"mean {mean * 1e3:6.2f} ms  p99 {p99 * 1e3:6.2f} ms"


def number(value, digits: int) -> str:
    return "-" if value is None else f"{value:.{digits}f}"


def status(lp, note: str):
    """The line under the title: the stop in red across the screen while it is latched, else
    the keys; then what went wrong with the last key, if anything did."""
    from rich.text import Text

    line = Text()
    if lp.is_estopped():
        line.append(STOPPED.ljust(79), style="bold white on red")
    else:
        line.append(KEYS)
    if note:
        line.append("\n" + note, style="bold red")
    return line


def frame(lp, title: str, note: str = ""):
    from rich.console import Group
    from rich.table import Table
    from rich.text import Text

    table = Table(box=None, padding=(0, 1), header_style="bold")
    for name, justify in (("joint", "left"), ("pos", "right"), ("vel", "right"),
                          ("effort", "right"), ("°C", "right"), ("V", "right"),
                          ("faults", "left"), ("age s", "right")):
        table.add_column(name, justify=justify, no_wrap=True)
    for name, h in lp.get_last_health().items():
        faults = Text(", ".join(h.faults), style="bold white on red") if h.faults else Text("-")
        age = Text(number(h.age, 2), style="bold red" if h.failures else "")
        table.add_row(name, number(h.position, 3), number(h.velocity, 2), number(h.effort, 2),
                      number(h.temperature, 0), number(h.voltage, 1), faults, age)
    stats = lp.get_stats()
    timing = Text(f"period {summary(stats.period)}\nread   {summary(stats.read_dt)}")
    return Group(Text(title, style="bold"), status(lp, note), timing, table)


@contextlib.contextmanager
def keys():
    """stdin one key at a time (when it is a terminal), restored however we leave."""
    if not sys.stdin.isatty():
        yield lambda timeout: (time.sleep(timeout), "")[1]
        return
    fd = sys.stdin.fileno()
    saved = termios.tcgetattr(fd)
    tty.setcbreak(fd)

    def read(timeout: float) -> str:
        ready, _, _ = select.select([fd], [], [], timeout)
        return os.read(fd, 32).decode(errors="replace") if ready else ""
    try:
        yield read
    finally:
        termios.tcsetattr(fd, termios.TCSADRAIN, saved)


def act_on(lp, pressed: str, note: str) -> str:
    """Acts on e and r in the order pressed. Returns what to show of a failure, which stays on
    screen until one of them succeeds."""
    for k in pressed:
        if k in ("e", "r"):
            act = lp.estop if k == "e" else lp.reset_estop
            try:
                act()
                note = ""
            except RuntimeError as e:  # a step failed; the stop is latched all the same
                note = f"{act.__name__}: {e}"
    return note


def monitor(args) -> int:
    needs("rich")
    from rich.console import Console
    from rich.live import Live

    lp = start_loop(args, args.rate, args.telemetry_period)
    title = (f"wenlo monitor: {args.rate:g} Hz on {args.port} and {args.can_bus}, telemetry "
             f"every {args.telemetry_period:g} ms")
    note = ""
    try:
        with keys() as key, Live(frame(lp, title), console=Console(), auto_refresh=False,
                                 screen=True) as live:
            while True:
                pressed = key(REFRESH).lower()
                note = act_on(lp, pressed.partition("q")[0], note)  # an e before q still stops
                if "q" in pressed:
                    break
                live.update(frame(lp, title, note), refresh=True)
    except KeyboardInterrupt:
        pass
    finally:
        lp.close()
    return 0
