"""Runs a Python script many times in fresh processes and counts how each run ended, for the
threads-and-shutdown tests: a deadlock or an abort at exit shows only in some runs."""
import collections
import os
import subprocess
import sys

import wenlo_sim


def run_many(script, runs, timeout=30.0, args=(), env=None, expected_rc=0):
    """Counter of outcomes: "ok" (exit status expected_rc), "hang", "abort" (killed by another
    signal, or glibc's or our fatal message) and "error"; returns it with the stderr of the
    first failure."""
    counts = collections.Counter()
    first_failure = None
    base_env = wenlo_sim.preload_env(env)
    for i in range(runs):
        argv = [sys.executable, "-c", script, *[str(a(i) if callable(a) else a) for a in args]]
        try:
            done = subprocess.run(argv, env=base_env, capture_output=True, text=True,
                                  timeout=timeout)
        except subprocess.TimeoutExpired as e:
            counts["hang"] += 1
            first_failure = first_failure or f"hang after {timeout} s: {e.stderr!r}"
            continue
        fatal = "FATAL" in done.stderr or "uncaught panic" in done.stderr
        if done.returncode == expected_rc and not fatal:
            outcome = "ok"
        elif done.returncode < 0 or fatal:
            outcome = "abort"
        else:
            outcome = "error"
        counts[outcome] += 1
        if outcome != "ok" and first_failure is None:
            first_failure = f"exit {done.returncode}: {done.stderr[-2000:]}"
    print(f"{runs} runs on Python {sys.version.split()[0]}: {dict(counts)}")
    return counts, first_failure


def fresh_shell_env():
    """This environment as a fresh shell would have it: without the CAN stand-in and its
    namespace, which `python -m wenlo_sim` brings itself. Other preloads (a sanitizer's
    runtime) stay."""
    env = dict(os.environ)
    kept = [p for p in env.pop("LD_PRELOAD", "").split(":") if p and "libfakecan" not in p]
    if kept:
        env["LD_PRELOAD"] = ":".join(kept)
    for name in ("WENLO_FAKECAN_IFACES", wenlo_sim.NAMESPACE_VARIABLE,
                 wenlo_sim.SHARED_NAMESPACE_VARIABLE):
        env.pop(name, None)
    return env
