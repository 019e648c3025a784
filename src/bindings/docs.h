// The methods' docstrings, one table for both classes: an operation that both offer says the
// same thing once. Where the two classes' texts differ, they were written so from the start, and
// callers read them; both stay.
#pragma once

namespace wenlo::py::doc {

// Said once for both classes.
inline constexpr const char* kEnableTorque = "Enable torque on all motors.";
inline constexpr const char* kDisableTorque = "Disable torque on all motors.";
inline constexpr const char* kSetLeftArm =
    "Set goal positions for the left arm (2 values: pitch, yaw).";
inline constexpr const char* kSetRightArm =
    "Set goal positions for the right arm (2 values: pitch, yaw).";
inline constexpr const char* kSetNose = "Set goal positions for the nose (3 values).";
inline constexpr const char* kEnableArms = "Enable or disable the arm motors.";
inline constexpr const char* kEnableNose = "Enable or disable the nose motors.";
inline constexpr const char* kMotorNameId = "Get the id/name motors used in this controller.";
inline constexpr const char* kNone = "";
inline constexpr const char* kEnter =
    "Return self: `with` closes it on the way out (an extension).";
inline constexpr const char* kExit =
    "Close, as close() does, also when the body raised; the exception goes on (an\n"
    "extension).";

// The synchronous controller's own.
inline constexpr const char* kIsTorqueEnabled = "Is torque enabled on all motors";
inline constexpr const char* kEnableTorqueOnIds = "Enable torque on ids";
inline constexpr const char* kDisableTorqueOnIds = "Disable torque on ids";
inline constexpr const char* kReadAllPositions =
    "Read all motor positions as a 7-element array.\nOrder: [left_arm_pitch, left_arm_yaw, "
    "right_arm_pitch, right_arm_yaw, nose_top, nose_left, nose_right]";
inline constexpr const char* kSetAllGoals =
    "Set goal positions for all motors (7 values).\n\n# Arguments\n* `positions` - Array of 7 "
    "goal positions\n  (left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, "
    "nose_left, nose_right).";
inline constexpr const char* kSetArms =
    "Set goal positions for both arms (4 values: left pitch, left yaw, right pitch, right yaw).";
inline constexpr const char* kSetNeck =
    "Set goal positions for the neck (3 values: yaw, pitch, roll). Returns\nthe observed "
    "positions reported by the motor replies.";
inline constexpr const char* kNeckLimits =
    "Hard safety bounds (lower, upper) in rad for each neck joint.\nOrder: [yaw, pitch, roll]. "
    "Every neck setter clamps to these bounds\nbefore commanding the motor.";
inline constexpr const char* kReadNeck =
    "Read the current neck positions (yaw, pitch, roll) via a Damiao\nfeedback request.";
inline constexpr const char* kNeckGains =
    "Override the MIT impedance gains (kp, kd) for a single neck joint.\n`index`: 0=yaw, 1=pitch, "
    "2=roll.";
inline constexpr const char* kNeckHome =
    "Home the 3 neck joints to the nearest physical zero.\n\nSnaps each goal to the nearest "
    "multiple of 2\xcf\x80 of the joint's current\nreported position \xe2\x80\x94 after a power "
    "cycle the Damiao multi-turn counter\nresets, so commanding \"go to 0\" naively could spin "
    "the head a full\nturn. Rounding keeps travel within \xc2\xb1\xcf\x80 and lands at a "
    "physically\nequivalent zero.\n\nEnables neck torque if it isn't already (does **not** "
    "disable on\nexit \xe2\x80\x94 caller owns torque lifecycle). Ramps at `speed` rad/s on "
    "a\n10 ms cycle and returns the observed positions once every joint is\nwithin `tolerance` "
    "rad of its goal. Raises on timeout.\n\n`kp` / `kd`: optional overrides applied to all "
    "three joints for the\nduration of homing (and left in place afterwards). `None` keeps "
    "the\nper-joint defaults baked into the controller.";
inline constexpr const char* kEnableNeck =
    "Enable or disable the neck motors. On enable, also forces each motor\ninto MIT control mode.";
inline constexpr const char* kNeckTorque =
    "Last commanded torque-enable state for the neck (in-memory; the\nDamiao firmware does not "
    "expose a readable enable register).";
inline constexpr const char* kWriteRawPacket =
    "Write raw packet data to the serial port.\n\n# Arguments\n* `data` - Byte array of raw "
    "packet data to send.";
inline constexpr const char* kReadHealth =
    "Read the health of every joint (an extension): one group read of the servos'\ntelemetry "
    "registers and one feedback exchange per neck motor. Returns a\nJointHealth per joint by "
    "name, in layout order: the seven servos, then yaw,\npitch and roll (the neck only, without "
    "a serial port). A joint that does\nnot answer is reported, not raised: see its `failures` "
    "and `age`.";
inline constexpr const char* kReboot =
    "Reboot the seven servos and wait until each answers again, at most\n`timeout` (an "
    "extension). They go limp for a moment and come back with\ntheir torque off. Ctrl-C stops "
    "the wait.";
inline constexpr const char* kPing =
    "Whether a servo answers a ping at `id` (0 to 253) on the serial bus (an\nextension).";
inline constexpr const char* kReadRegisters =
    "Read `length` bytes of servo `id`'s registers from `address` (an extension).";
inline constexpr const char* kWriteRegisters =
    "Write `data` to servo `id`'s registers from `address` (an extension).";
inline constexpr const char* kNeckRegisterTable =
    "The neck motors' register table (an extension): (name, id, \"float\" or\n\"int\", "
    "writable, description) for each register, in id order.";
inline constexpr const char* kServoRegisterTable =
    "The servos' registers that have names (an extension): (name, address, width\nin bytes, "
    "writable) for each, in address order; both models share them.";
inline constexpr const char* kReadNeckRegister =
    "Read a neck motor's register by name (an extension): `joint` is\n\"neck_yaw\", "
    "\"neck_pitch\" or \"neck_roll\", `name` a name of\nneck_register_table(). Returns a float or "
    "an int, as the table says.";
inline constexpr const char* kWriteNeckRegister =
    "Write a neck motor's register by name (an extension), checked against the\ntable (known, "
    "writable, a whole number for an int register) before\nanything is sent. Returns what the "
    "register holds afterwards.";
inline constexpr const char* kControllerClose =
    "Close the serial port and the CAN socket at once (an extension). Idempotent;\nevery other "
    "method raises RuntimeError afterwards.";
inline constexpr const char* kNewController =
    "Create a new motor controller for the given serial port and CAN bus.\n\n# Arguments\n* "
    "`serialport` - Path to (Unix) or COM ID (Windows) of the serial port.\n  Pass `None` to "
    "build a neck-only (CAN) controller; arm/nose methods\n  will then raise an exception.\n* "
    "`can_bus` - SocketCAN interface name for the neck Damiao motors (default `\"can0\"`).";

// The control loop's own.
inline constexpr const char* kClose = "Close the control loop and release resources.";
inline constexpr const char* kLastPosition = "Get the last successfully read motor positions.";
inline constexpr const char* kLoopSetAllGoals = "Set goal positions for all motors.";
inline constexpr const char* kLoopSetArms = "Set goal positions for both arms (4 values).";
inline constexpr const char* kLoopSetNeck =
    "Set goal positions for the neck (3 values: yaw, pitch, roll).";
inline constexpr const char* kLoopEnableNeck = "Enable or disable the neck motors.";
inline constexpr const char* kLoopIsTorqueEnabled = "Check torque enabled status.";
inline constexpr const char* kLoopEnableTorqueOnIds = "Enable torque on ids.";
inline constexpr const char* kLoopDisableTorqueOnIds = "Disable torque on ids.";
inline constexpr const char* kStats = "Get the latest control loop statistics, if available.";
inline constexpr const char* kAsyncReadRaw = "Perform an asynchronous raw read of motor bytes.";
inline constexpr const char* kAsyncWriteRaw = "Perform an asynchronous raw write of motor bytes.";
inline constexpr const char* kAsyncReadGains =
    "Read PID gains for a given motor id. Returns (P, I, D).";
inline constexpr const char* kAsyncWriteGains = "Write PID gains for a given motor id.";
inline constexpr const char* kLastHealth =
    "The worker's latest view of every joint's health (an extension); never waits\nfor the "
    "worker. Returns a JointHealth per joint by name, in layout order.\nServo velocity, effort, "
    "temperature and voltage are filled only when the\nloop was built with a "
    "`telemetry_period`.";
inline constexpr const char* kDrainPositions =
    "Every snapshot the worker took since the last call (or the start), oldest\nfirst (an "
    "extension). A ring keeps the last 8192 (82 s at 100 Hz); when it\noverflowed, the oldest "
    "went and one warning record says how many.";
inline constexpr const char* kNewLoop =
    "Create a new control loop for the motor controller.\n\n# Arguments\n* `serialport` - Path "
    "to (Unix) or COM ID (Windows) of the serial port.\n  Pass `None` to build a neck-only (CAN) "
    "loop \xe2\x80\x94 arm/nose commands then\n  raise on use.\n* `read_position_loop_period` - "
    "Period between control loop updates.\n* `can_bus` - SocketCAN interface name for the neck "
    "Damiao motors (default `\"can0\"`).\n* `allowed_retries` - Number of allowed retries for "
    "reading positions.\n* `stats_pub_period` - Optional period for publishing stats.\n* "
    "`voltage_rampup_timeout` - Maximum time to wait for the 12V rail to stabilize.\n* "
    "`telemetry_period` - (extension, keyword-only) At most once per period, a tick\n  also reads "
    "the servos' telemetry registers; `None` (the default) never does.\n* `rt_priority` - "
    "(extension, keyword-only) Run the worker under SCHED_FIFO at\n  this priority (1 to 99). If "
    "the system refuses, a warning says so and how\n  to allow it, and the loop runs on as an "
    "ordinary thread.\n* `cpu_affinity` - (extension, keyword-only) Run the worker on these "
    "CPUs\n  only; refused the same way.";

}  // namespace wenlo::py::doc
