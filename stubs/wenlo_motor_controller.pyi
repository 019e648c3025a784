# Type stubs of wenlo_motor_controller, written by the build from the interface
# description the module carries (tools/stubgen). Do not edit: change the bindings.

import builtins
import datetime
import typing

__version__: builtins.str
__all__ = [
    "ControlLoopStats",
    "WenloMotorController",
    "WenloPyControlLoop",
    "WenloTorsoPosition",
]

@typing.final
class ControlLoopStats:
    __match_args__ = ("period", "read_dt", "write_dt")
    @property
    def period(self) -> builtins.list[builtins.float]: ...
    @property
    def read_dt(self) -> builtins.list[builtins.float]: ...
    @property
    def write_dt(self) -> builtins.list[builtins.float]: ...
    def __eq__(self, __value: builtins.object) -> builtins.bool: ...

@typing.final
class JointHealth:
    r"""
    What one joint last reported, and whether it answers (an extension). Values
    the joint has not reported are None: a servo's velocity, effort, temperature
    and voltage come from telemetry reads only.
    """
    __match_args__ = ("name", "position", "velocity", "effort", "temperature", "voltage", "faults", "age", "failures")
    @property
    def name(self) -> builtins.str:
        r"""
        The joint's name in the motor layout.
        """
    @property
    def position(self) -> typing.Optional[builtins.float]:
        r"""
        rad
        """
    @property
    def velocity(self) -> typing.Optional[builtins.float]:
        r"""
        rad/s
        """
    @property
    def effort(self) -> typing.Optional[builtins.float]:
        r"""
        Servos: load as a fraction of full load, -1 to 1.
        Neck: torque in the motor's unit.
        """
    @property
    def temperature(self) -> typing.Optional[builtins.float]:
        r"""
        Degrees Celsius; for the neck, the hotter of MOS and rotor.
        """
    @property
    def voltage(self) -> typing.Optional[builtins.float]:
        r"""
        V, servos only.
        """
    @property
    def faults(self) -> builtins.list[builtins.str]:
        r"""
        Active faults by name. Servos: "voltage", "angle", "overheat",
        "overcurrent", "overload". Neck: "overvoltage", "undervoltage",
        "overcurrent", "mos_overheat", "rotor_overheat", "comm_lost",
        "overload", and "disabled" for a motor that reports itself disabled
        while the controller believes it enabled.
        """
    @property
    def age(self) -> builtins.float:
        r"""
        Seconds since this joint last answered; math.inf if it never has.
        """
    @property
    def failures(self) -> builtins.int:
        r"""
        Consecutive reads in which this joint did not answer; 0 while it answers.
        """
    def __eq__(self, __value: builtins.object) -> builtins.bool: ...

@typing.final
class WenloMotorController:
    def __new__(cls, serialport: typing.Optional[builtins.str] = None, can_bus: builtins.str = 'can0', *, joint_limits: typing.Optional[typing.Mapping[builtins.str, tuple[builtins.float, builtins.float]]] = None, on_exit: builtins.str = 'hold') -> WenloMotorController:
        r"""
        Create a new motor controller for the given serial port and CAN bus.

        # Arguments
        * `serialport` - Path to (Unix) or COM ID (Windows) of the serial port.
          Pass `None` to build a neck-only (CAN) controller; arm/nose methods
          will then raise an exception.
        * `can_bus` - SocketCAN interface name for the neck Damiao motors (default `"can0"`).
        * `joint_limits` - (extension, keyword-only) Limits in rad on the goals, by
          joint name: (min, max); a goal outside them is clamped, with a warning.
        * `on_exit` - (extension, keyword-only) What close(), or the end of the
          object, leaves the motors with: "hold" (as they are), "limp" (servos'
          torque off, neck disabled) or "damp" (servos' torque off, neck damping).
        """
    def is_torque_enabled(self) -> builtins.bool:
        r"""
        Is torque enabled on all motors
        """
    def enable_torque(self) -> None:
        r"""
        Enable torque on all motors.
        """
    def enable_torque_on_ids(self, ids: typing.Sequence[builtins.int]) -> None:
        r"""
        Enable torque on ids
        """
    def disable_torque(self) -> None:
        r"""
        Disable torque on all motors.
        """
    def disable_torque_on_ids(self, ids: typing.Sequence[builtins.int]) -> None:
        r"""
        Disable torque on ids
        """
    def read_all_positions(self) -> builtins.list[builtins.float]:
        r"""
        Read all motor positions as a 7-element array.
        Order: [left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, nose_left, nose_right]
        """
    def set_all_goal_positions(self, positions: typing.Sequence[builtins.float]) -> None:
        r"""
        Set goal positions for all motors (7 values).

        # Arguments
        * `positions` - Array of 7 goal positions
          (left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, nose_left, nose_right).
        """
    def set_left_arm_position(self, position: typing.Sequence[builtins.float]) -> None:
        r"""
        Set goal positions for the left arm (2 values: pitch, yaw).
        """
    def set_right_arm_position(self, position: typing.Sequence[builtins.float]) -> None:
        r"""
        Set goal positions for the right arm (2 values: pitch, yaw).
        """
    def set_arms_position(self, position: typing.Sequence[builtins.float]) -> None:
        r"""
        Set goal positions for both arms (4 values: left pitch, left yaw, right pitch, right yaw).
        """
    def set_nose_position(self, position: typing.Sequence[builtins.float]) -> None:
        r"""
        Set goal positions for the nose (3 values).
        """
    def set_neck_position(self, position: typing.Sequence[builtins.float]) -> builtins.list[builtins.float]:
        r"""
        Set goal positions for the neck (3 values: yaw, pitch, roll). Returns
        the observed positions reported by the motor replies.
        """
    def set_neck_yaw_position(self, position: builtins.float) -> builtins.float: ...
    def set_neck_pitch_position(self, position: builtins.float) -> builtins.float: ...
    def set_neck_roll_position(self, position: builtins.float) -> builtins.float: ...
    def neck_position_limits(self) -> builtins.list[tuple[builtins.float, builtins.float]]:
        r"""
        Hard safety bounds (lower, upper) in rad for each neck joint.
        Order: [yaw, pitch, roll]. Every neck setter clamps to these bounds
        before commanding the motor.
        """
    def read_neck_positions(self) -> builtins.list[builtins.float]:
        r"""
        Read the current neck positions (yaw, pitch, roll) via a Damiao
        feedback request.
        """
    def set_neck_gains(self, index: builtins.int, kp: builtins.float, kd: builtins.float) -> None:
        r"""
        Override the MIT impedance gains (kp, kd) for a single neck joint.
        `index`: 0=yaw, 1=pitch, 2=roll.
        """
    def neck_home(self, speed: builtins.float = 0.4, tolerance: builtins.float = 0.15, kp: typing.Optional[builtins.float] = None, kd: typing.Optional[builtins.float] = None) -> builtins.list[builtins.float]:
        r"""
        Home the 3 neck joints to the nearest physical zero.

        Snaps each goal to the nearest multiple of 2π of the joint's current
        reported position — after a power cycle the Damiao multi-turn counter
        resets, so commanding "go to 0" naively could spin the head a full
        turn. Rounding keeps travel within ±π and lands at a physically
        equivalent zero.

        Enables neck torque if it isn't already (does **not** disable on
        exit — caller owns torque lifecycle). Ramps at `speed` rad/s on a
        10 ms cycle and returns the observed positions once every joint is
        within `tolerance` rad of its goal. Raises on timeout.

        `kp` / `kd`: optional overrides applied to all three joints for the
        duration of homing (and left in place afterwards). `None` keeps the
        per-joint defaults baked into the controller.
        """
    def enable_neck(self, enable: builtins.bool) -> None:
        r"""
        Enable or disable the neck motors. On enable, also forces each motor
        into MIT control mode.
        """
    def is_neck_torque_enabled(self) -> builtins.bool:
        r"""
        Last commanded torque-enable state for the neck (in-memory; the
        Damiao firmware does not expose a readable enable register).
        """
    def enable_arms(self, enable: builtins.bool) -> None:
        r"""
        Enable or disable the arm motors.
        """
    def enable_nose(self, enable: builtins.bool) -> None:
        r"""
        Enable or disable the nose motors.
        """
    def write_raw_packet(self, data: bytes) -> None:
        r"""
        Write raw packet data to the serial port.

        # Arguments
        * `data` - Byte array of raw packet data to send.
        """
    def read_health(self) -> builtins.dict[builtins.str, JointHealth]:
        r"""
        Read the health of every joint (an extension): one group read of the servos'
        telemetry registers and one feedback exchange per neck motor. Returns a
        JointHealth per joint by name, in layout order: the seven servos, then yaw,
        pitch and roll (the neck only, without a serial port). A joint that does
        not answer is reported, not raised: see its `failures` and `age`.
        """
    def reboot(self, timeout: datetime.timedelta = datetime.timedelta(seconds=1)) -> None:
        r"""
        Reboot the seven servos and wait until each answers again, at most
        `timeout` (an extension). They go limp for a moment and come back with
        their torque off. Ctrl-C stops the wait.
        """
    def ping(self, id: builtins.int) -> builtins.bool:
        r"""
        Whether a servo answers a ping at `id` (0 to 253) on the serial bus (an
        extension).
        """
    def read_registers(self, id: builtins.int, address: builtins.int, length: builtins.int) -> bytes:
        r"""
        Read `length` bytes of servo `id`'s registers from `address` (an extension).
        """
    def write_registers(self, id: builtins.int, address: builtins.int, data: bytes) -> None:
        r"""
        Write `data` to servo `id`'s registers from `address` (an extension).
        """
    def neck_register_table(self) -> builtins.list[tuple[builtins.str, builtins.int, builtins.str, builtins.bool, builtins.str]]:
        r"""
        The neck motors' register table (an extension): (name, id, "float" or
        "int", writable, description) for each register, in id order.
        """
    def get_motor_name_id(self) -> builtins.dict[builtins.str, builtins.int]:
        r"""
        Get the id/name motors used in this controller.
        """
    def servo_register_table(self) -> builtins.list[tuple[builtins.str, builtins.int, builtins.int, builtins.bool]]:
        r"""
        The servos' registers that have names (an extension): (name, address, width
        in bytes, writable) for each, in address order; both models share them.
        """
    def read_neck_register(self, joint: builtins.str, name: builtins.str) -> typing.Union[builtins.float, builtins.int]:
        r"""
        Read a neck motor's register by name (an extension): `joint` is
        "neck_yaw", "neck_pitch" or "neck_roll", `name` a name of
        neck_register_table(). Returns a float or an int, as the table says.
        """
    def write_neck_register(self, joint: builtins.str, name: builtins.str, value: builtins.float) -> typing.Union[builtins.float, builtins.int]:
        r"""
        Write a neck motor's register by name (an extension), checked against the
        table (known, writable, a whole number for an int register) before
        anything is sent. Returns what the register holds afterwards.
        """
    def joint_limits(self) -> builtins.dict[builtins.str, tuple[builtins.float, builtins.float]]:
        r"""
        The limits in force on every joint's goals, in rad by joint name, in layout
        order (an extension): (-inf, inf) for a servo without limits; the neck's safe
        bounds, or the narrower ones given. Raw register and packet writes are not
        checked against them.
        """
    def estop(self) -> None:
        r"""
        The emergency stop (an extension): each neck motor gets a damping command
        (kp 0, its kd), so that the head sinks slowly, then the seven servos' torque
        goes off. Every step is tried; the first failure is raised afterwards. The
        stop is latched: until reset_estop(), whatever could move a motor raises
        RuntimeError; reads, torque off and enable_neck(False) still work.
        """
    def reset_estop(self) -> None:
        r"""
        Clear the emergency stop's latch (an extension); re-enables nothing.
        """
    def is_estopped(self) -> builtins.bool:
        r"""
        Whether the emergency stop is latched (an extension).
        """
    def close(self) -> None:
        r"""
        Close the serial port and the CAN socket at once (an extension). Idempotent;
        every other method raises RuntimeError afterwards.
        """
    def __enter__(self) -> WenloMotorController:
        r"""
        Return self: `with` closes it on the way out (an extension).
        """
    def __exit__(self, exc_type: builtins.object, exc_value: builtins.object, traceback: builtins.object) -> None:
        r"""
        Close, as close() does, also when the body raised; the exception goes on (an
        extension).
        """

@typing.final
class WenloPyControlLoop:
    def __new__(cls, serialport: typing.Optional[builtins.str], read_position_loop_period: datetime.timedelta, can_bus: builtins.str = 'can0', allowed_retries: builtins.int = 5, stats_pub_period: typing.Optional[datetime.timedelta] = None, voltage_rampup_timeout: datetime.timedelta = datetime.timedelta(seconds=30), *, telemetry_period: typing.Optional[datetime.timedelta] = None, rt_priority: typing.Optional[builtins.int] = None, cpu_affinity: typing.Optional[typing.Sequence[builtins.int]] = None, joint_limits: typing.Optional[typing.Mapping[builtins.str, tuple[builtins.float, builtins.float]]] = None, max_step: typing.Optional[typing.Union[builtins.float, typing.Mapping[builtins.str, builtins.float]]] = None, on_exit: builtins.str = 'hold', neck_timeout: typing.Optional[datetime.timedelta] = None) -> WenloPyControlLoop:
        r"""
        Create a new control loop for the motor controller.

        # Arguments
        * `serialport` - Path to (Unix) or COM ID (Windows) of the serial port.
          Pass `None` to build a neck-only (CAN) loop — arm/nose commands then
          raise on use.
        * `read_position_loop_period` - Period between control loop updates.
        * `can_bus` - SocketCAN interface name for the neck Damiao motors (default `"can0"`).
        * `allowed_retries` - Number of allowed retries for reading positions.
        * `stats_pub_period` - Optional period for publishing stats.
        * `voltage_rampup_timeout` - Maximum time to wait for the 12V rail to stabilize.
        * `telemetry_period` - (extension, keyword-only) At most once per period, a tick
          also reads the servos' telemetry registers; `None` (the default) never does.
        * `rt_priority` - (extension, keyword-only) Run the worker under SCHED_FIFO at
          this priority (1 to 99). If the system refuses, a warning says so and how
          to allow it, and the loop runs on as an ordinary thread.
        * `cpu_affinity` - (extension, keyword-only) Run the worker on these CPUs
          only; refused the same way.
        * `joint_limits` - (extension, keyword-only) Limits in rad on the goals, by
          joint name: (min, max); a goal outside them is clamped, with a warning.
        * `max_step` - (extension, keyword-only) The largest step in rad a goal may
          ask of a joint from where it stood at the last good reading: one value
          for every joint, or values by joint name.
        * `on_exit` - (extension, keyword-only) What the worker leaves the motors with
          when it ends, after the queue has run: "hold" (as they are), "limp"
          (servos' torque off, neck disabled) or "damp" (servos' torque off, neck
          damping).
        * `neck_timeout` - (extension, keyword-only) The neck motors' communication
          time-out, set at start-up: a motor that hears no control frame for that long
          leaves its enabled state, so the neck stops when the program dies. At least
          twice the period plus 20 ms.
        """
    def close(self) -> None:
        r"""
        Close the control loop and release resources.
        """
    def get_motor_name_id(self) -> builtins.dict[builtins.str, builtins.int]:
        r"""
        Get the id/name motors used in this controller.
        """
    def get_last_position(self) -> WenloTorsoPosition:
        r"""
        Get the last successfully read motor positions.
        """
    def set_all_goal_positions(self, positions: WenloTorsoPosition) -> None:
        r"""
        Set goal positions for all motors.
        """
    def set_left_arm_position(self, position: typing.Sequence[builtins.float]) -> None:
        r"""
        Set goal positions for the left arm (2 values: pitch, yaw).
        """
    def set_right_arm_position(self, position: typing.Sequence[builtins.float]) -> None:
        r"""
        Set goal positions for the right arm (2 values: pitch, yaw).
        """
    def set_arms_position(self, position: typing.Sequence[builtins.float]) -> None:
        r"""
        Set goal positions for both arms (4 values).
        """
    def set_nose_position(self, position: typing.Sequence[builtins.float]) -> None:
        r"""
        Set goal positions for the nose (3 values).
        """
    def set_neck_position(self, position: typing.Sequence[builtins.float]) -> None:
        r"""
        Set goal positions for the neck (3 values: yaw, pitch, roll).
        """
    def set_neck_yaw_position(self, position: builtins.float) -> None: ...
    def set_neck_pitch_position(self, position: builtins.float) -> None: ...
    def set_neck_roll_position(self, position: builtins.float) -> None: ...
    def enable_neck(self, enable: builtins.bool) -> None:
        r"""
        Enable or disable the neck motors.
        """
    def is_torque_enabled(self) -> builtins.bool:
        r"""
        Check torque enabled status.
        """
    def enable_torque(self) -> None:
        r"""
        Enable torque on all motors.
        """
    def enable_torque_on_ids(self, ids: typing.Sequence[builtins.int]) -> None:
        r"""
        Enable torque on ids.
        """
    def disable_torque(self) -> None:
        r"""
        Disable torque on all motors.
        """
    def disable_torque_on_ids(self, ids: typing.Sequence[builtins.int]) -> None:
        r"""
        Disable torque on ids.
        """
    def enable_arms(self, enable: builtins.bool) -> None:
        r"""
        Enable or disable the arm motors.
        """
    def enable_nose(self, enable: builtins.bool) -> None:
        r"""
        Enable or disable the nose motors.
        """
    def get_stats(self) -> typing.Optional[ControlLoopStats]:
        r"""
        Get the latest control loop statistics, if available.
        """
    def async_read_raw_bytes(self, id: builtins.int, addr: builtins.int, length: builtins.int) -> bytes:
        r"""
        Perform an asynchronous raw read of motor bytes.
        """
    def async_write_raw_bytes(self, id: builtins.int, addr: builtins.int, data: typing.Sequence[builtins.int]) -> None:
        r"""
        Perform an asynchronous raw write of motor bytes.
        """
    def async_read_pid_gains(self, id: builtins.int) -> tuple[builtins.int, builtins.int, builtins.int]:
        r"""
        Read PID gains for a given motor id. Returns (P, I, D).
        """
    def async_write_pid_gains(self, id: builtins.int, p: builtins.int, i: builtins.int, d: builtins.int) -> None:
        r"""
        Write PID gains for a given motor id.
        """
    def write_raw_packet(self, data: bytes) -> bytes: ...
    def get_last_health(self) -> builtins.dict[builtins.str, JointHealth]:
        r"""
        The worker's latest view of every joint's health (an extension); never waits
        for the worker. Returns a JointHealth per joint by name, in layout order.
        Servo velocity, effort, temperature and voltage are filled only when the
        loop was built with a `telemetry_period`.
        """
    def drain_positions(self) -> builtins.list[WenloTorsoPosition]:
        r"""
        Every snapshot the worker took since the last call (or the start), oldest
        first (an extension). A ring keeps the last 8192 (82 s at 100 Hz); when it
        overflowed, the oldest went and one warning record says how many.
        """
    def joint_limits(self) -> builtins.dict[builtins.str, tuple[builtins.float, builtins.float]]:
        r"""
        The limits in force on every joint's goals, in rad by joint name, in layout
        order (an extension): (-inf, inf) for a servo without limits; the neck's safe
        bounds, or the narrower ones given. Raw register and packet writes are not
        checked against them.
        """
    def estop(self) -> None:
        r"""
        The emergency stop (an extension): each neck motor gets a damping command
        (kp 0, its kd), so that the head sinks slowly, then the seven servos' torque
        goes off. Every step is tried; the first failure is raised afterwards. The
        stop is latched: until reset_estop(), whatever could move a motor raises
        RuntimeError; reads, torque off and enable_neck(False) still work.
        """
    def reset_estop(self) -> None:
        r"""
        Clear the emergency stop's latch (an extension); re-enables nothing.
        """
    def is_estopped(self) -> builtins.bool:
        r"""
        Whether the emergency stop is latched (an extension).
        """
    def __enter__(self) -> WenloPyControlLoop:
        r"""
        Return self: `with` closes it on the way out (an extension).
        """
    def __exit__(self, exc_type: builtins.object, exc_value: builtins.object, traceback: builtins.object) -> None:
        r"""
        Close, as close() does, also when the body raised; the exception goes on (an
        extension).
        """

@typing.final
class WenloTorsoPosition:
    __match_args__ = ("left_arm", "right_arm", "nose", "neck", "timestamp")
    @property
    def left_arm(self) -> builtins.list[builtins.float]: ...
    @property
    def right_arm(self) -> builtins.list[builtins.float]: ...
    @property
    def nose(self) -> builtins.list[builtins.float]: ...
    @property
    def neck(self) -> builtins.list[builtins.float]:
        r"""
        Neck joint positions in rad: [yaw, pitch, roll].
        """
    @property
    def timestamp(self) -> builtins.float: ...
    def __new__(cls, left_arm: typing.Sequence[builtins.float], right_arm: typing.Sequence[builtins.float], nose: typing.Sequence[builtins.float], neck: typing.Sequence[builtins.float]) -> WenloTorsoPosition: ...
    def __repr__(self) -> builtins.str: ...
    def __eq__(self, __value: builtins.object) -> builtins.bool: ...
