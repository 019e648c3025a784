// WenloPyControlLoop: the Python face of the background control loop. Methods convert their
// arguments, then read a shared record or call the worker (control_loop/calls.h).
#include "bindings/classes.h"
#include "bindings/method_def.h"
#include "control_loop/calls.h"

#include <vector>

namespace wenlo::py {
namespace {

namespace cl = control_loop;
namespace command = control_loop::command;
using CL = cl::ControlLoop;

// Loops whose Python object is alive; touched only with the interpreter lock held.
std::vector<PyObject*> g_live;

struct Loop;
using L = Loop;

struct Loop {
    PyObject_HEAD
    CL* loop;  // owned; null only while construction fails

    static constexpr const char* kClassName = "WenloPyControlLoop";
    static constexpr const char* kTypeName = "wenlo_motor_controller.WenloPyControlLoop";
    template <typename Call>
    static PyObject* invoke(Loop& self, Call&& call) {
        return call_to_result([&]() -> decltype(auto) { return call(*self.loop); });
    }
};

// The worker takes the interpreter lock to log: every wait for it gives the lock up, and each
// slice of a wait ends with Python's signal handlers, so Ctrl-C is never stuck behind one.
const cl::Waiter kPythonWait{[](const std::function<void()>& slice) {
                                 AllowThreads released;
                                 slice();
                             },
                             [] { return interruption_pending(); }};

void close(CL& loop) {
    AllowThreads released;  // the worker may need the interpreter lock to log
    loop.close();
}

// A command without an answer: done once it is queued.
template <typename Command, typename... Values>
cl::CallResult<void> send(CL& loop, Values... values) {
    return cl::send(loop, Command{std::move(values)...}, kPythonWait);
}

// Calls that wait for the worker's answer, given the Python wait.
template <auto Call, typename... Values>
auto ask(CL& loop, Values... values) {
    return Call(loop, std::move(values)..., kPythonWait);
}

using Ids = std::vector<std::uint8_t>;
using Id = std::uint8_t;
using command::SetAllGoalPositions, command::SetLeftArmPosition, command::SetRightArmPosition,
    command::SetArmsPosition, command::SetNosePosition, command::SetNeckPosition;

const MethodSpec g_rows[] = {
    def<L, "close", close>("Close the control loop and release resources."),
    def<L, "get_motor_name_id", &CL::get_motor_name_id>(),
    def<L, "get_last_position", &CL::get_last_position>(
        "Get the last successfully read motor positions."),
    def<L, "set_all_goal_positions", send<SetAllGoalPositions, cl::TorsoPosition>, "positions">(
        "Set goal positions for all motors."),
    def<L, "set_left_arm_position", send<SetLeftArmPosition, std::array<double, 2>>, "position">(),
    def<L, "set_right_arm_position", send<SetRightArmPosition, std::array<double, 2>>,
        "position">(),
    def<L, "set_arms_position", send<SetArmsPosition, std::array<double, 4>>, "position">(
        "Set goal positions for both arms (4 values)."),
    def<L, "set_nose_position", send<SetNosePosition, std::array<double, 3>>, "position">(),
    def<L, "set_neck_position", send<SetNeckPosition, std::array<double, 3>>, "position">(
        "Set goal positions for the neck (3 values: yaw, pitch, roll)."),
    def<L, "set_neck_yaw_position", send<command::SetNeckYawPosition, double>, "position">(""),
    def<L, "set_neck_pitch_position", send<command::SetNeckPitchPosition, double>, "position">(""),
    def<L, "set_neck_roll_position", send<command::SetNeckRollPosition, double>, "position">(""),
    def<L, "enable_neck", send<command::EnableNeck, bool>, "enable">(
        "Enable or disable the neck motors."),
    def<L, "is_torque_enabled", &CL::is_torque_enabled>("Check torque enabled status."),
    def<L, "enable_torque", send<command::EnableTorque>>(),
    def<L, "enable_torque_on_ids", send<command::EnableTorqueOnIds, Ids>, "ids">(
        "Enable torque on ids."),
    def<L, "disable_torque", send<command::DisableTorque>>(),
    def<L, "disable_torque_on_ids", send<command::DisableTorqueOnIds, Ids>, "ids">(
        "Disable torque on ids."),
    def<L, "enable_arms", send<command::EnableArms, bool>, "enable">(),
    def<L, "enable_nose", send<command::EnableNose, bool>, "enable">(),
    def<L, "get_stats", &CL::get_stats>("Get the latest control loop statistics, if available."),
    def<L, "async_read_raw_bytes", ask<cl::read_raw_bytes, Id, Id, Id>, "id", "addr", "length">(
        "Perform an asynchronous raw read of motor bytes."),
    def<L, "async_write_raw_bytes", ask<cl::write_raw_bytes, Id, Id, cl::Bytes>, "id", "addr",
        "data">("Perform an asynchronous raw write of motor bytes."),
    def<L, "async_read_pid_gains", ask<cl::read_pid_gains, Id>, "id">(
        "Read PID gains for a given motor id. Returns (P, I, D)."),
    def<L, "async_write_pid_gains",
        ask<cl::write_pid_gains, Id, std::uint16_t, std::uint16_t, std::uint16_t>, "id", "p", "i",
        "d">("Write PID gains for a given motor id."),
    def<L, "write_raw_packet",
        [](CL& l, const Bytes& data) { return ask<cl::write_raw_packet>(l, data.data); }, "data">(
        ""),
    // Extensions.
    def<L, "get_last_health",
        [](CL& l) { return controller::health_by_name(l.get_last_health(), l.has_serial_port()); }>(
        "The worker's latest view of every joint's health (an extension); never waits\n"
        "for the worker. Returns a JointHealth per joint by name, in layout order.\n"
        "Servo velocity, effort, temperature and voltage are filled only when the\n"
        "loop was built with a `telemetry_period`."),
    def<L, "drain_positions", &CL::drain_positions>(
        "Every snapshot the worker took since the last call (or the start), oldest\n"
        "first (an extension). A ring keeps the last 8192 (82 s at 100 Hz); when it\n"
        "overflowed, the oldest went and one warning record says how many."),
    def<L, "joint_limits", &CL::joint_limits>(),
    def<L, "estop", ask<cl::estop>>(),
    def<L, "reset_estop", [](CL& l) { l.set_estop_latch(false); }>(),
    def<L, "is_estopped", &CL::is_estopped>(),
    def<L, "__enter__",
        [](L& self) { return Itself<L>{Ref::borrow(reinterpret_cast<PyObject*>(&self))}; }>(),
    def<L, "__exit__", [](CL& l, AnyObject, AnyObject, AnyObject) { close(l); }, "exc_type",
        "exc_value", "traceback">(),
};

// --- construction and lifetime -----------------------------------------------------------------

PyObject* make_loop(
    PyTypeObject* type, const std::optional<std::string>& serialport, Duration period,
    const std::string& can_bus, std::uint64_t allowed_retries,
    const std::optional<Duration>& stats_pub_period, Duration voltage_rampup_timeout,
    const std::optional<Duration>& telemetry_period, std::optional<std::uint8_t> rt_priority,
    const std::optional<std::vector<std::uint16_t>>& cpu_affinity,
    const std::optional<std::vector<std::pair<std::string, controller::Bounds>>>& joint_limits,
    const std::optional<cl::MaxStep>& max_step, controller::ExitPolicy on_exit,
    const std::optional<Duration>& neck_timeout) {
    const cl::Scheduling scheduling{rt_priority, cpu_affinity.transform([](const auto& cpus) {
                                        return std::vector<int>(cpus.begin(), cpus.end());
                                    })};
    const cl::LoopConfig config(serialport, period, can_bus, allowed_retries, stats_pub_period,
                                voltage_rampup_timeout, telemetry_period, scheduling,
                                joint_limits.value_or(decltype(cl::LoopConfig::joint_limits)()),
                                max_step.value_or(cl::MaxStep()), on_exit, neck_timeout);
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;
    }
    // Runs on this thread with the interpreter lock held, as the start-up may log; Ctrl-C is
    // looked at between the voltage and the reboot polls.
    auto started = cl::ControlLoop::start(config, python_signal_check());
    if (!started) {
        return raise_failure(failure_of(started.error()));
    }
    reinterpret_cast<Loop*>(self.get())->loop = started->release();
    g_live.push_back(self.get());
    return self.detach();
}

const ConstructorSpec g_constructor =
    constructor<Loop, make_loop, "serialport", "read_position_loop_period", "can_bus='can0'",
                "allowed_retries=5", "stats_pub_period=None",
                "voltage_rampup_timeout=datetime.timedelta(seconds=30)", "*",
                "telemetry_period=None", "rt_priority=None", "cpu_affinity=None",
                "joint_limits=None", "max_step=None", "on_exit='hold'", "neck_timeout=None">(
        "Create a new control loop for the motor controller.\n\n"
        "# Arguments\n"
        "* `serialport` - Path to (Unix) or COM ID (Windows) of the serial port.\n"
        "  Pass `None` to build a neck-only (CAN) loop \xe2\x80\x94 arm/nose commands then\n"
        "  raise on use.\n"
        "* `read_position_loop_period` - Period between control loop updates.\n"
        "* `can_bus` - SocketCAN interface name for the neck Damiao motors (default `\"can0\"`).\n"
        "* `allowed_retries` - Number of allowed retries for reading positions.\n"
        "* `stats_pub_period` - Optional period for publishing stats.\n"
        "* `voltage_rampup_timeout` - Maximum time to wait for the 12V rail to stabilize.\n"
        "* `telemetry_period` - (extension, keyword-only) At most once per period, a tick\n"
        "  also reads the servos' telemetry registers; `None` (the default) never does.\n"
        "* `rt_priority` - (extension, keyword-only) Run the worker under SCHED_FIFO at\n"
        "  this priority (1 to 99). If the system refuses, a warning says so and how\n"
        "  to allow it, and the loop runs on as an ordinary thread.\n"
        "* `cpu_affinity` - (extension, keyword-only) Run the worker on these CPUs\n"
        "  only; refused the same way.\n"
        "* `joint_limits` - (extension, keyword-only) Limits in rad on the goals, by\n"
        "  joint name: (min, max); a goal outside them is clamped, with a warning.\n"
        "* `max_step` - (extension, keyword-only) The largest step in rad a goal may\n"
        "  ask of a joint from where it stood at the last good reading: one value\n"
        "  for every joint, or values by joint name.\n"
        "* `on_exit` - (extension, keyword-only) What the worker leaves the motors with\n"
        "  when it ends, after the queue has run: \"hold\" (as they are), \"limp\"\n"
        "  (servos' torque off, neck disabled) or \"damp\" (servos' torque off, neck\n"
        "  damping).\n"
        "* `neck_timeout` - (extension, keyword-only) The neck motors' communication\n"
        "  time-out, set at start-up: a motor that hears no control frame for that long\n"
        "  leaves its enabled state, so the neck stops when the program dies. At least\n"
        "  twice the period plus 20 ms.");

void loop_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (cl::ControlLoop* loop = reinterpret_cast<Loop*>(self)->loop) {
        std::erase(g_live, self);
        // Closing waits for the worker, which may need the interpreter lock to log.
        AllowThreads released;
        delete loop;
    }
    type->tp_free(self);
    Py_DECREF(type);
}

const ClassStub<L> g_stub = class_stub<L>(g_constructor, g_rows);

}  // namespace

void close_running_loops() {
    for (const Ref& object : held(g_live)) {
        close(*reinterpret_cast<Loop*>(object.get())->loop);
    }
}

PyObject* control_loop_type() {
    return class_type<Loop>(g_constructor, loop_dealloc, g_rows);
}

}  // namespace wenlo::py
