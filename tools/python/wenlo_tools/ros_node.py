"""wenlo ros: the robot as a ROS 2 node named `wenlo`. It owns one control loop and publishes
every snapshot as sensor_msgs/JointState and the joints' health as diagnostics; it takes goals
as JointState and JointTrajectory, and switches torque and the emergency stop through std_srvs
services. The standard --ros-args set its name, namespace, remappings and parameters."""
from __future__ import annotations

import bisect
import datetime
import importlib
import math
import os
import signal
import sys
import time

from wenlo_tools.failure import Failure
from wenlo_tools.robot import positions

ROS_EXTRA = "pip install 'wenlo_motor_controller[ros]'"
ROS_SOURCE = "source /opt/ros/jazzy/setup.bash"
STALE_AFTER = 1.0  # s: a joint whose last answer is older is reported STALE
# The loop's arguments as ROS parameters, with their defaults; 0 or empty switches one off.
PARAMETERS = {
    "port": os.environ.get("WENLO_SIM_SERIAL", "/dev/ttyUSB0"),
    "can_bus": os.environ.get("WENLO_SIM_CAN", "can0"),
    "rate": 100.0,
    "telemetry_period": 0.5,
    "rt_priority": 0,
    "cpu_affinity": [-1],  # an empty array has no type in ROS: -1 stands for "any CPU"
    "max_step": 0.0,
    "on_exit": "hold",
    "neck_timeout": 0.0,
}


def import_rclpy() -> None:
    """rclpy and the messages, from a sourced ROS 2 installation or from the ros extra."""
    for name in ("rclpy", "sensor_msgs.msg", "diagnostic_msgs.msg", "trajectory_msgs.msg",
                 "std_srvs.srv"):
        try:
            importlib.import_module(name)
        except ImportError:
            raise Failure(f"ROS 2's Python client is missing ({name} cannot be imported): on a "
                          f"computer with ROS 2 Jazzy, `{ROS_SOURCE}` first; elsewhere (CPython "
                          f"3.12, x86-64 Linux) {ROS_EXTRA}")


def seconds_of(duration) -> float:
    return duration.sec + duration.nanosec * 1e-9


def stamp_of(seconds: float):
    from builtin_interfaces.msg import Time

    ns = round(seconds * 1e9)
    return Time(sec=ns // 1_000_000_000, nanosec=ns % 1_000_000_000)


class Groups:
    """The joints as the loop's setters take them: each servo group is written whole, so a
    joint that is not named keeps its goal (the last one sent, or where it stands if none was);
    the neck has a setter per joint."""

    def __init__(self, lp, names: list[str], snapshot):
        sizes = [len(snapshot.left_arm), len(snapshot.right_arm), len(snapshot.nose)]
        setters = [lp.set_left_arm_position, lp.set_right_arm_position, lp.set_nose_position]
        self.servo_groups, start = [], 0
        for size, setter in zip(sizes, setters):
            self.servo_groups.append((names[start:start + size], setter))
            start += size
        neck = names[start:]
        self.neck = dict(zip(neck, [lp.set_neck_yaw_position, lp.set_neck_pitch_position,
                                    lp.set_neck_roll_position]))
        self.neck_all = lp.set_neck_position
        self.neck_names = neck
        self.goals: dict[str, float] = {}

    def send(self, goals: dict[str, float], standing: dict[str, float]) -> None:
        self.goals.update(goals)
        for names, setter in self.servo_groups:
            if any(n in goals for n in names):
                setter([self.goals.get(n, standing[n]) for n in names])
        named = [n for n in self.neck_names if n in goals]
        if len(named) == len(self.neck_names):
            self.neck_all([goals[n] for n in named])
        else:
            for n in named:
                self.neck[n](goals[n])


class Trajectory:
    """A JointTrajectory checked and ready to sample: linear between its points, from where
    its joints' goals stood when it began; the last point is held. A sample whose interval
    holds a point's time is that point itself, so that every point is sent as it was given."""

    def __init__(self, joints: list[str], columns: list[int], times: list[float],
                 points: list[list[float]], start: float):
        self.joints, self.times, self.start = joints, times, start
        self.points = [[p[c] for c in columns] for p in points]
        self.origin: list[float] | None = None
        self.sampled = -math.inf  # the trajectory's time at the last sample

    def sample(self, now: float, current: dict[str, float]) -> dict[str, float]:
        if self.origin is None:
            self.origin = [current[j] for j in self.joints]
        t = now - self.start
        i = bisect.bisect_right(self.times, t)
        if i > 0 and self.times[i - 1] > self.sampled:
            values = self.points[i - 1]  # a point's time passed since the last sample
        elif i >= len(self.times):
            values = self.points[-1]
        else:
            t0, before = (0.0, self.origin) if i == 0 else (self.times[i - 1], self.points[i - 1])
            f = (t - t0) / (self.times[i] - t0) if self.times[i] > t0 else 1.0
            values = [a + (b - a) * f for a, b in zip(before, self.points[i])]
        self.sampled = t
        return dict(zip(self.joints, values))

    def finished(self, now: float) -> bool:
        return now - self.start > self.times[-1]


class WenloNode:
    """The node's state and callbacks; `run` builds it and spins until a signal."""

    def __init__(self, node, lp, rate: float, telemetry_period: float):
        from diagnostic_msgs.msg import DiagnosticArray
        from sensor_msgs.msg import JointState
        from std_srvs.srv import SetBool, Trigger
        from trajectory_msgs.msg import JointTrajectory

        self.node, self.lp, self.period = node, lp, 1.0 / rate
        self.log = node.get_logger()
        self.names = list(lp.get_last_health())  # the ten joints, in the snapshots' order
        self.servo_ids = lp.get_motor_name_id()
        first = lp.get_last_position()
        self.standing = dict(zip(self.names, positions(first)))
        self.groups = Groups(lp, self.names, first)
        self.warned_names: set[str] = set()
        self.trajectories: list[Trajectory] = []  # the running one first, then those waiting
        self.published = 0
        self.last_stamp = 0  # ns, as in the messages' stamps
        # Reliable with a deep queue: a subscriber that falls behind for a moment loses none.
        self.joint_states = node.create_publisher(JointState, "joint_states", 1000)
        self.diagnostics = node.create_publisher(DiagnosticArray, "diagnostics", 10)
        node.create_subscription(JointState, "joint_command", self.on_command, 100)
        node.create_subscription(JointTrajectory, "joint_trajectory", self.on_trajectory, 10)
        node.create_service(SetBool, "~/enable_torque", self.on_enable_torque)
        node.create_service(SetBool, "~/enable_neck", self.on_enable_neck)
        node.create_service(Trigger, "~/estop", self.trigger(self.estop, "emergency stop"))
        node.create_service(Trigger, "~/reset_estop",
                            self.trigger(lp.reset_estop, "emergency stop reset"))
        lp.drain_positions()  # every snapshot from here on
        node.create_timer(self.period, self.tick)
        node.create_timer(telemetry_period, self.publish_diagnostics)

    # --- out: joint states and diagnostics ------------------------------------------------
    def tick(self) -> None:
        self.publish_snapshots()
        self.follow_trajectory()

    def publish_snapshots(self) -> None:
        from sensor_msgs.msg import JointState

        snapshots = self.lp.drain_positions()
        if snapshots:
            health = self.lp.get_last_health()
            velocity = [health[n].velocity for n in self.names]
            effort = [health[n].effort for n in self.names]
            velocity = velocity if None not in velocity else []
            effort = effort if None not in effort else []
            for snapshot in snapshots:
                msg = JointState(name=self.names, position=positions(snapshot),
                                 velocity=velocity, effort=effort)
                msg.header.stamp = stamp_of(snapshot.timestamp)
                self.joint_states.publish(msg)
            self.published += len(snapshots)
            self.last_stamp = round(snapshots[-1].timestamp * 1e9)
            self.standing = dict(zip(self.names, positions(snapshots[-1])))

    def joint_status(self, name: str, h):
        from diagnostic_msgs.msg import DiagnosticStatus, KeyValue

        s = DiagnosticStatus(name=f"wenlo/{name}")
        s.hardware_id = (f"servo {self.servo_ids[name]}" if name in self.servo_ids
                         else f"neck motor {self.groups.neck_names.index(name) + 1}")
        if h.failures > 0:
            s.level, s.message = DiagnosticStatus.ERROR, "does not answer"
        elif not h.age <= STALE_AFTER:
            s.level, s.message = DiagnosticStatus.STALE, f"no answer for {h.age:.1f} s"
        elif h.faults:
            s.level, s.message = DiagnosticStatus.WARN, "reports " + ", ".join(h.faults)
        else:
            s.level, s.message = DiagnosticStatus.OK, "ok"
        s.values = [KeyValue(key=k, value=v) for k, v in (
            ("temperature", "" if h.temperature is None else f"{h.temperature:g}"),
            ("voltage", "" if h.voltage is None else f"{h.voltage:g}"),
            ("faults", ",".join(h.faults)),
            ("age", f"{h.age:.3f}"),
            ("failures", str(h.failures)))]
        return s

    def loop_status(self):
        from diagnostic_msgs.msg import DiagnosticStatus, KeyValue

        stats = self.lp.get_stats()
        values = {"snapshots published": str(self.published),
                  "last snapshot stamp ns": str(self.last_stamp)}
        if stats is not None:
            values["periods measured"] = str(len(stats.period))
            for key, samples in (("period", stats.period), ("read", stats.read_dt),
                                 ("write", stats.write_dt)):
                recent = sorted(samples[-1000:])
                if recent:
                    values[f"{key} mean ms"] = f"{sum(recent) / len(recent) * 1e3:.3f}"
                    values[f"{key} p99 ms"] = \
                        f"{recent[min(len(recent) - 1, int(0.99 * len(recent)))] * 1e3:.3f}"
        s = DiagnosticStatus(name="wenlo/loop", hardware_id="control loop",
                             level=DiagnosticStatus.OK,
                             message="emergency stop latched" if self.lp.is_estopped() else "ok")
        s.values = [KeyValue(key=k, value=v) for k, v in values.items()]
        return s

    def publish_diagnostics(self) -> None:
        from diagnostic_msgs.msg import DiagnosticArray

        self.publish_snapshots()  # right before the statistics, so that their counts agree
        loop = self.loop_status()
        msg = DiagnosticArray()
        msg.header.stamp = stamp_of(time.time())
        msg.status = [self.joint_status(n, h) for n, h in self.lp.get_last_health().items()]
        msg.status.append(loop)
        self.diagnostics.publish(msg)

    # --- in: goals --------------------------------------------------------------------------
    def known(self, names) -> list[int]:
        """The indexes of the names this robot has; one warning for each other name ever seen."""
        keep = []
        for i, n in enumerate(names):
            if n in self.standing:
                keep.append(i)
            elif n not in self.warned_names:
                self.warned_names.add(n)
                self.log.warning(f"ignoring unknown joint {n!r}: the joints are "
                                 + ", ".join(self.names))
        return keep

    def send(self, goals: dict[str, float], what: str) -> bool:
        try:
            self.groups.send(goals, self.standing)
            return True
        except (RuntimeError, ValueError) as e:  # the stop latched, the loop closed
            self.log.warning(f"{what} not sent: {e}", throttle_duration_sec=1.0)
            return False

    def on_command(self, msg) -> None:
        if len(msg.position) != len(msg.name):
            self.log.warning(f"joint_command rejected: {len(msg.name)} names but "
                             f"{len(msg.position)} positions")
            return
        if not all(math.isfinite(p) for p in msg.position):
            self.log.warning("joint_command rejected: a position is not a finite number")
            return
        goals = {msg.name[i]: msg.position[i] for i in self.known(msg.name)}
        if not goals:
            return
        for t in self.trajectories:  # a direct command takes those joints from trajectories
            for j in [j for j in t.joints if j in goals]:
                k = t.joints.index(j)
                del t.joints[k]
                for p in t.points:
                    del p[k]
                if t.origin is not None:
                    del t.origin[k]
        self.send(goals, "joint_command")

    def on_trajectory(self, msg) -> None:
        reject = self.check_trajectory(msg)
        if reject:
            self.log.warning(f"joint_trajectory rejected: {reject}")
            return
        columns = self.known(msg.joint_names)
        now = time.time()
        stamp = msg.header.stamp.sec + msg.header.stamp.nanosec * 1e-9
        start = now if stamp == 0 else stamp
        new = Trajectory([msg.joint_names[c] for c in columns], columns,
                         [seconds_of(p.time_from_start) for p in msg.points],
                         [list(p.positions) for p in msg.points], start)
        if not msg.points:  # an empty one stops all: the joints hold their goals
            self.trajectories = []
            return
        if not new.joints:
            return
        # It replaces the running one from its start time; one that starts later waits.
        self.trajectories = [t for t in self.trajectories if t.start < start] + [new]

    def check_trajectory(self, msg) -> str | None:
        n = len(msg.joint_names)
        if len(set(msg.joint_names)) != n:
            return "a joint is named twice"
        previous = -math.inf
        for k, p in enumerate(msg.points):
            if len(p.positions) != n:
                return f"point {k} has {len(p.positions)} positions for {n} joints"
            if not all(math.isfinite(v) for v in p.positions):
                return f"point {k} has a position that is not a finite number"
            t = seconds_of(p.time_from_start)
            if not t > previous or t < 0:
                return f"the times do not increase (point {k} at {t:g} s)"
            previous = t
        return None

    def follow_trajectory(self) -> None:
        if not self.trajectories:
            return
        # Goals are sampled one period ahead: they reach the wire at the loop's next tick.
        at = time.time() + self.period
        while len(self.trajectories) > 1 and self.trajectories[1].start <= at:
            self.trajectories.pop(0)
        running = self.trajectories[0]
        if running.start > at:
            return
        current = {**self.standing, **self.groups.goals}
        goals = running.sample(at, current)
        if goals and not self.send(goals, "joint_trajectory goal"):
            # The stop latched or the loop closed: nothing resumes a stale trajectory later.
            self.log.warning("joint_trajectory aborted")
            self.trajectories = []
        elif running.finished(at):
            self.trajectories.pop(0)

    # --- services ---------------------------------------------------------------------------
    def answer(self, response, action, done: str):
        try:
            action()
            response.success, response.message = True, done
        except (RuntimeError, ValueError) as e:
            response.success, response.message = False, str(e)
        return response

    def on_enable_torque(self, request, response):
        on = request.data
        return self.answer(response, self.lp.enable_torque if on else self.lp.disable_torque,
                           f"servo torque {'on' if on else 'off'}")

    def on_enable_neck(self, request, response):
        return self.answer(response, lambda: self.lp.enable_neck(request.data),
                           f"neck {'enabled' if request.data else 'disabled'}")

    def estop(self) -> None:
        self.trajectories = []  # a reset must not resume them
        self.lp.estop()

    def trigger(self, action, done: str):
        return lambda request, response: self.answer(response, action, done)


def loop_arguments(node) -> dict:
    """The loop's keyword arguments from the node's parameters."""
    p = {name: node.get_parameter(name).value for name in PARAMETERS}
    rate, telemetry = float(p["rate"]), float(p["telemetry_period"])
    if not (math.isfinite(rate) and rate > 0) or not (math.isfinite(telemetry) and telemetry > 0):
        raise Failure(f"rate and telemetry_period must be more than 0, got {rate}, {telemetry}")
    limits = {name: tuple(float(v) for v in value.value)
              for name, value in node.get_parameters_by_prefix("joint_limits").items()}
    steps = {name: float(value.value)
             for name, value in node.get_parameters_by_prefix("max_step").items()}
    max_step = steps or (float(p["max_step"]) if float(p["max_step"]) > 0 else None)
    affinity = [int(c) for c in p["cpu_affinity"] if int(c) >= 0]
    return dict(
        serialport=p["port"] or None,
        read_position_loop_period=datetime.timedelta(seconds=1.0 / rate),
        can_bus=p["can_bus"],
        stats_pub_period=datetime.timedelta(seconds=telemetry),
        telemetry_period=datetime.timedelta(seconds=telemetry),
        rt_priority=int(p["rt_priority"]) or None,
        cpu_affinity=affinity or None,
        joint_limits=limits or None,
        max_step=max_step,
        on_exit=p["on_exit"],
        neck_timeout=(datetime.timedelta(seconds=float(p["neck_timeout"]))
                      if float(p["neck_timeout"]) > 0 else None))


def ros(args) -> int:
    import_rclpy()
    import rclpy
    from rclpy.executors import SingleThreadedExecutor
    from rclpy.signals import SignalHandlerOptions

    from wenlo_motor_controller import WenloPyControlLoop

    stop = []

    def on_signal(signum, _frame):
        stop.append(signum)

    # Our handlers, not rclpy's: the loop must be closed (its exit policy applied) on both.
    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)
    context = rclpy.Context()
    rclpy.init(args=["wenlo", *args.ros_args], context=context,
               signal_handler_options=SignalHandlerOptions.NO)
    lp = None
    try:
        # Parameters given on the command line are declared as given, so that joint_limits.NAME
        # and max_step.NAME can name any joint; the others are declared with their defaults.
        node = rclpy.create_node("wenlo", context=context,
                                 automatically_declare_parameters_from_overrides=True)
        for name, default in PARAMETERS.items():
            if not node.has_parameter(name):
                node.declare_parameter(name, default)
        kwargs = loop_arguments(node)
        if not stop:
            lp = WenloPyControlLoop(**kwargs)
        if not stop:
            wenlo = WenloNode(node, lp, 1.0 / kwargs["read_position_loop_period"].total_seconds(),
                              kwargs["telemetry_period"].total_seconds())
            # rclpy's experimental EventsExecutor spends half the CPU, but here it lost service
            # requests sent just after start-up (3 in about 40 starts; this one none in 60).
            executor = SingleThreadedExecutor(context=context)
            executor.add_node(node)
            print(f"wenlo ros: node {node.get_fully_qualified_name()} on {kwargs['serialport']} "
                  f"and {kwargs['can_bus']}, {1 / wenlo.period:g} Hz", flush=True)
            while not stop:
                executor.spin_once(timeout_sec=0.1)
    finally:
        if lp is not None:
            lp.close()  # applies on_exit and frees the ports before anything else
        context.try_shutdown()
    if stop:
        print(f"wenlo ros: stopped by {signal.Signals(stop[0]).name}", file=sys.stderr)
    return 0
