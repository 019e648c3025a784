// WenloMotorController: the synchronous Python face of the motor controller. Each method
// converts its arguments first, then runs one controller operation under the controller lock.
#include "bindings/classes.h"
#include "bindings/controller_lock.h"
#include "bindings/method_def.h"
#include "common/log.h"
#include "common/try.h"
#include "controller/controller.h"

namespace wenlo::py {
namespace {

using controller::MotorController;
using controller::Result;
using MC = MotorController;

constexpr const char* kClosed =
    "this WenloMotorController is closed: its ports are released; make a new one to go on";

struct ControllerObject;
using C = ControllerObject;

struct ControllerObject {
    PyObject_HEAD
    struct Held {
        // Empty once closed; the lock stays, so a caller waiting for it meanwhile finds it so.
        Guarded<std::optional<MotorController>> controller;
        // The controller's emergency-stop latch, set without its lock (controller/controller.h).
        std::shared_ptr<std::atomic<bool>> estop_latch;
        controller::ExitPolicy on_exit;
    };
    Held* held;

    static constexpr const char* kClassName = "WenloMotorController";
    static constexpr const char* kTypeName = "wenlo_motor_controller.WenloMotorController";
    // One operation, under the controller's lock; a serial device that went away is opened
    // again once before it fails (MotorController::reopening_serial).
    template <typename Call>
    static PyObject* invoke(ControllerObject& self, Call&& call) {
        using R = std::decay_t<std::invoke_result_t<Call, MC&>>;
        auto outcome =
            run_locked(self.held->controller, [&](std::optional<MC>& c) -> std::optional<R> {
                return c ? std::optional<R>(c->reopening_serial(call)) : std::nullopt;
            });
        if (outcome && !*outcome) {
            PyErr_SetString(PyExc_RuntimeError, kClosed);
        }
        return outcome && *outcome ? to_result(std::move(**outcome)) : nullptr;
    }
};

using Ids = std::vector<std::uint8_t>;

// Controllers whose Python object is alive, closed at exit; touched only with the interpreter
// lock held.
std::vector<PyObject*> g_open;

// Leaves the motors as on_exit says, then releases both ports at once, whoever else holds the
// object; a poisoned lock does not keep them. The policy's first failure is raised afterwards.
Outcome<void> close(ControllerObject& self) {
    std::erase(g_open, reinterpret_cast<PyObject*>(&self));
    auto closed = self.held->controller.with_or_reentered(
        [](std::optional<MC>& c, bool) {
            Result<void> released = c ? c->let_go() : Result<void>();
            c.reset();
            return released;
        },
        lock_without_gil);
    if (!closed) {
        return std::unexpected(Failure::runtime(kReentered));
    }
    if (!*closed) {
        return std::unexpected(Failure::runtime("on_exit: " + closed->error().message()));
    }
    return {};
}

// A close that nobody called, at the end of the object or of the program: a failure is logged.
void close_unasked(PyObject* self) {
    if (auto closed = close(*reinterpret_cast<ControllerObject*>(self)); !closed) {
        WENLO_LOG(log::kControllerTarget, log::Level::Warn, closed.error().text);
    }
}

Outcome<Itself<C>> enter(ControllerObject& self) {
    Ref open = Ref::steal(C::invoke(self, [](MC&) { return true; }));  // raises once closed
    if (!open) {
        return std::unexpected(Failure::pending());
    }
    return Itself<C>{Ref::borrow(reinterpret_cast<PyObject*>(&self))};
}

// The stop is latched first, without the lock: an operation that holds it (a homing) fails at
// its next step and lets the stop in.
Outcome<void> estop(ControllerObject& self) {
    self.held->estop_latch->store(true);
    Ref done = Ref::steal(C::invoke(self, [](MC& c) { return c.estop(); }));
    return done ? Outcome<void>() : std::unexpected(Failure::pending());
}

// Homing looks at Python's signal handlers once per cycle, so Ctrl-C stops it.
Result<std::array<double, 3>> home_neck(MC& c, double speed, double tolerance,
                                        std::optional<float> kp, std::optional<float> kd) {
    return c.neck_home(speed, tolerance, kp, kd, python_signal_check());
}

const MethodSpec g_rows[] = {
    def<C, "is_torque_enabled", &MC::is_torque_enabled>("Is torque enabled on all motors"),
    def<C, "enable_torque", [](MC& c) { return c.set_all_torque(true); }>(),
    def<C, "enable_torque_on_ids",
        [](MC& c, const Ids& ids) { return c.set_torque_on_ids(ids, true); }, "ids">(
        "Enable torque on ids"),
    def<C, "disable_torque", [](MC& c) { return c.set_all_torque(false); }>(),
    def<C, "disable_torque_on_ids",
        [](MC& c, const Ids& ids) { return c.set_torque_on_ids(ids, false); }, "ids">(
        "Disable torque on ids"),
    def<C, "read_all_positions", &MC::read_all_positions>(
        "Read all motor positions as a 7-element array.\n"
        "Order: [left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, "
        "nose_left, nose_right]"),
    def<C, "set_all_goal_positions", &MC::set_all_goal_positions, "positions">(
        "Set goal positions for all motors (7 values).\n\n"
        "# Arguments\n"
        "* `positions` - Array of 7 goal positions\n"
        "  (left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, nose_left, "
        "nose_right)."),
    def<C, "set_left_arm_position", &MC::set_left_arm_position, "position">(),
    def<C, "set_right_arm_position", &MC::set_right_arm_position, "position">(),
    def<C, "set_arms_position", &MC::set_arms_position, "position">(
        "Set goal positions for both arms (4 values: left pitch, left yaw, right pitch, right "
        "yaw)."),
    def<C, "set_nose_position", &MC::set_nose_position, "position">(),
    def<C, "set_neck_position", &MC::set_neck_position, "position">(
        "Set goal positions for the neck (3 values: yaw, pitch, roll). Returns\n"
        "the observed positions reported by the motor replies."),
    def<C, "set_neck_yaw_position", [](MC& c, double v) { return c.set_single_neck_joint(0, v); },
        "position">(""),
    def<C, "set_neck_pitch_position", [](MC& c, double v) { return c.set_single_neck_joint(1, v); },
        "position">(""),
    def<C, "set_neck_roll_position", [](MC& c, double v) { return c.set_single_neck_joint(2, v); },
        "position">(""),
    def<C, "neck_position_limits", [](MC&) { return std::span(controller::kNeckSafeBounds); }>(
        "Hard safety bounds (lower, upper) in rad for each neck joint.\n"
        "Order: [yaw, pitch, roll]. Every neck setter clamps to these bounds\n"
        "before commanding the motor."),
    def<C, "read_neck_positions", &MC::read_neck_positions>(
        "Read the current neck positions (yaw, pitch, roll) via a Damiao\nfeedback request."),
    def<C, "set_neck_gains", &MC::set_neck_gains, "index", "kp", "kd">(
        "Override the MIT impedance gains (kp, kd) for a single neck joint.\n"
        "`index`: 0=yaw, 1=pitch, 2=roll."),
    def<C, "neck_home", home_neck, "speed=0.4", "tolerance=0.15", "kp=None", "kd=None">(
        "Home the 3 neck joints to the nearest physical zero.\n\n"
        "Snaps each goal to the nearest multiple of 2\xcf\x80 of the joint's current\n"
        "reported position \xe2\x80\x94 after a power cycle the Damiao multi-turn counter\n"
        "resets, so commanding \"go to 0\" naively could spin the head a full\n"
        "turn. Rounding keeps travel within \xc2\xb1\xcf\x80 and lands at a physically\n"
        "equivalent zero.\n\n"
        "Enables neck torque if it isn't already (does **not** disable on\n"
        "exit \xe2\x80\x94 caller owns torque lifecycle). Ramps at `speed` rad/s on a\n"
        "10 ms cycle and returns the observed positions once every joint is\n"
        "within `tolerance` rad of its goal. Raises on timeout.\n\n"
        "`kp` / `kd`: optional overrides applied to all three joints for the\n"
        "duration of homing (and left in place afterwards). `None` keeps the\n"
        "per-joint defaults baked into the controller."),
    def<C, "enable_neck", &MC::enable_neck, "enable">(
        "Enable or disable the neck motors. On enable, also forces each motor\n"
        "into MIT control mode."),
    def<C, "is_neck_torque_enabled", &MC::neck_torque_enabled>(
        "Last commanded torque-enable state for the neck (in-memory; the\n"
        "Damiao firmware does not expose a readable enable register)."),
    def<C, "enable_arms", &MC::enable_arms, "enable">(),
    def<C, "enable_nose", &MC::enable_nose, "enable">(),
    def<C, "write_raw_packet",
        [](MC& c, const Bytes& data) -> Result<void> {
            WENLO_TRY(c.write_raw_packet(data.data));
            return {};  // the answer is dropped
        },
        "data">("Write raw packet data to the serial port.\n\n"
                "# Arguments\n"
                "* `data` - Byte array of raw packet data to send."),
    // Extensions.
    def<C, "read_health",
        [](MC& c) { return controller::health_by_name(c.read_health(), c.has_serial_port()); }>(
        "Read the health of every joint (an extension): one group read of the servos'\n"
        "telemetry registers and one feedback exchange per neck motor. Returns a\n"
        "JointHealth per joint by name, in layout order: the seven servos, then yaw,\n"
        "pitch and roll (the neck only, without a serial port). A joint that does\n"
        "not answer is reported, not raised: see its `failures` and `age`."),
    def<C, "reboot",
        [](MC& c, Duration timeout) {
            return c.reboot(timeout.to_chrono(), python_signal_check());
        },
        "timeout=datetime.timedelta(seconds=1)">(
        "Reboot the seven servos and wait until each answers again, at most\n"
        "`timeout` (an extension). They go limp for a moment and come back with\n"
        "their torque off. Ctrl-C stops the wait."),
    def<C, "ping", &MC::ping, "id">(
        "Whether a servo answers a ping at `id` (0 to 253) on the serial bus (an\nextension)."),
    def<C, "read_registers", &MC::read_raw, "id", "address", "length">(
        "Read `length` bytes of servo `id`'s registers from `address` (an extension)."),
    def<C, "write_registers",
        [](MC& c, std::uint8_t id, std::uint8_t address, const Bytes& data) {
            return c.write_raw(id, address, data.data);
        },
        "id", "address", "data">(
        "Write `data` to servo `id`'s registers from `address` (an extension)."),
    def<C, "neck_register_table", [](MC&) { return candrive::damiao::registers::entries(); }>(
        "The neck motors' register table (an extension): (name, id, \"float\" or\n"
        "\"int\", writable, description) for each register, in id order."),
    def<C, "get_motor_name_id", [](MC&) { return controller::motor_names(); }>(),
    def<C, "servo_register_table",
        [](MC&) { return std::span(serialbus::servo::feetech::common::kRegisterTable); }>(
        "The servos' registers that have names (an extension): (name, address, width\n"
        "in bytes, writable) for each, in address order; both models share them."),
    def<C, "read_neck_register", &MC::read_neck_register, "joint", "name">(
        "Read a neck motor's register by name (an extension): `joint` is\n"
        "\"neck_yaw\", \"neck_pitch\" or \"neck_roll\", `name` a name of\n"
        "neck_register_table(). Returns a float or an int, as the table says."),
    def<C, "write_neck_register", &MC::write_neck_register, "joint", "name", "value">(
        "Write a neck motor's register by name (an extension), checked against the\n"
        "table (known, writable, a whole number for an int register) before\n"
        "anything is sent. Returns what the register holds afterwards."),
    def<C, "joint_limits", &MC::joint_limits>(),
    def<C, "estop", estop>(),
    def<C, "reset_estop",
        [](MC& c) -> Result<void> { return (c.reset_estop(), Result<void>()); }>(),
    def<C, "is_estopped", &MC::is_estopped>(),
    def<C, "close", close>(
        "Close the serial port and the CAN socket at once (an extension). Idempotent;\n"
        "every other method raises RuntimeError afterwards."),
    def<C, "__enter__", enter>(),
    def<C, "__exit__", [](C& self, AnyObject, AnyObject, AnyObject) { return close(self); },
        "exc_type", "exc_value", "traceback">(),
};

// --- the type ----------------------------------------------------------------------------

using NamedBounds = std::vector<std::pair<std::string, controller::Bounds>>;

PyObject* make_controller(PyTypeObject* type, const std::optional<std::string>& serialport,
                          const std::string& can_bus, const std::optional<NamedBounds>& limits,
                          controller::ExitPolicy on_exit) {
    auto checked = controller::joint_limits(limits.value_or(NamedBounds{}));
    if (!checked) {  // before anything is opened
        return raise_failure(failure_of(checked.error()));
    }
    auto created = MotorController::create(serialport, can_bus, *checked, on_exit);
    if (!created) {
        return raise_failure(failure_of(created.error()));
    }
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;  // the controller closes its buses on the way out
    }
    auto latch = created->estop_latch();
    reinterpret_cast<ControllerObject*>(self.get())->held = new ControllerObject::Held{
        Guarded<std::optional<MotorController>>(std::move(*created)), std::move(latch), on_exit};
    g_open.push_back(self.get());
    return self.detach();
}

const ConstructorSpec g_constructor =
    constructor<C, make_controller, "serialport=None", "can_bus='can0'", "*", "joint_limits=None",
                "on_exit='hold'">(
        "Create a new motor controller for the given serial port and CAN bus.\n\n"
        "# Arguments\n"
        "* `serialport` - Path to (Unix) or COM ID (Windows) of the serial port.\n"
        "  Pass `None` to build a neck-only (CAN) controller; arm/nose methods\n"
        "  will then raise an exception.\n"
        "* `can_bus` - SocketCAN interface name for the neck Damiao motors (default `\"can0\"`).\n"
        "* `joint_limits` - (extension, keyword-only) Limits in rad on the goals, by\n"
        "  joint name: (min, max); a goal outside them is clamped, with a warning.\n"
        "* `on_exit` - (extension, keyword-only) What close(), or the end of the\n"
        "  object, leaves the motors with: \"hold\" (as they are), \"limp\" (servos'\n"
        "  torque off, neck disabled) or \"damp\" (servos' torque off, neck damping).");

void controller_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    close_unasked(self);
    delete reinterpret_cast<ControllerObject*>(self)->held;
    type->tp_free(self);
    Py_DECREF(type);
}

const ClassStub<C> g_stub = class_stub<C>(g_constructor, g_rows);

}  // namespace

PyObject* motor_controller_type() {
    return class_type<C>(g_constructor, controller_dealloc, g_rows);
}

void let_go_of_open_controllers() {
    // They stay open, for exit handlers that still use them; one that holds its motors is not
    // even waited for.
    for (const Ref& object : held(g_open)) {
        auto& self = *reinterpret_cast<ControllerObject*>(object.get());
        if (self.held->on_exit == controller::ExitPolicy::Hold) {
            continue;
        }
        if (Ref done = Ref::steal(C::invoke(self, [](MC& c) { return c.let_go(); })); !done) {
            PyErr_WriteUnraisable(object.get());
        }
    }
}

}  // namespace wenlo::py
