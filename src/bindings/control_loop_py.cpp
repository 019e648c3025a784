// WenloPyControlLoop: the Python face of the background control loop. Methods convert their
// arguments, then read a shared record or queue a command for the worker.
//
// The worker takes the interpreter lock to deliver a log record, so no thread may hold that
// lock while it waits for the worker: every wait here (room in the queue, a reply, the worker
// ending) gives the lock up and takes it back before touching Python again. Waits wake every
// 100 ms to run Python's signal handlers, so Ctrl-C is never stuck behind one.
#include "bindings/classes.h"
#include "bindings/method_def.h"
#include "control_loop/control_loop.h"
#include "controller/controller.h"
#include "controller/layout.h"
#include "controller/pid_gains.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace wenlo::py {
namespace {

namespace cl = control_loop;
namespace command = control_loop::command;
using controller::GoalGroup;
using CL = cl::ControlLoop;
using Clock = std::chrono::steady_clock;

constexpr auto kSignalCheck = std::chrono::milliseconds(100);
constexpr auto kReadReplyTimeout = std::chrono::seconds(1);
constexpr const char* kChannelClosed = "channel closed";
constexpr const char* kOnWorkerThread =
    "re-entrant call: this thread is the worker of this WenloPyControlLoop (for example, a "
    "logging handler of one of its records called it); the call would wait for itself forever";

// Loops whose Python object is alive; touched only with the interpreter lock held.
std::vector<PyObject*> g_live;

struct Loop;
using L = Loop;

struct Loop {
    PyObject_HEAD
    CL* loop;  // owned; null only while construction fails

    static constexpr const char* kClassName = "WenloPyControlLoop";
    static constexpr const char* kTypeName = "wenlo_motor_controller.WenloPyControlLoop";
    static Loop* from(PyObject* self) { return instance_of<Loop>(self, g_class<Loop>); }
    template <typename Call>
    static PyObject* invoke(Loop& self, Call&& call) {
        return call_to_result([&]() -> decltype(auto) { return call(*self.loop); });
    }
};

// --- waiting for the worker ------------------------------------------------------------------

// The worker cannot wait for itself: whatever would wait for it is refused on its thread.
Outcome<void> refuse_on_worker_thread(const CL& loop) {
    if (loop.on_worker_thread()) {
        return std::unexpected(Failure::runtime(kOnWorkerThread));
    }
    return {};
}

// Queues the command, giving up the interpreter lock while the queue is full. A queue that is
// closed gives `closed`; a signal handler's exception, or the refusal to wait for oneself,
// gives a failure and nothing is queued.
Outcome<void> queue_command(CL& loop, cl::MotorCommand& command, const Failure& closed) {
    for (auto deadline = Clock::now();; deadline = Clock::now() + kSignalCheck) {
        cl::SendStatus status;
        if (deadline <= Clock::now()) {
            status = loop.send_until(command, deadline);  // room at once: no hand-off needed
        } else {
            AllowThreads released;
            status = loop.send_until(command, deadline);
        }
        if (status == cl::SendStatus::Sent) {
            return {};
        }
        if (status == cl::SendStatus::Closed) {
            return std::unexpected(closed);
        }
        if (auto refused = refuse_on_worker_thread(loop); !refused) {
            return refused;  // a full queue that only this thread's own worker can empty
        }
        if (interruption_pending()) {
            return std::unexpected(Failure::pending());
        }
    }
}

// Waits for the worker's answer until the deadline (none: for as long as it takes); a reply
// that does not come gives `closed`.
Outcome<cl::Bytes> await_reply(cl::ReplyReceiver<cl::Bytes>& reply,
                               std::optional<Clock::time_point> deadline, const Failure& closed) {
    for (;;) {
        auto slice = Clock::now() + kSignalCheck;
        if (deadline && *deadline < slice) {
            slice = *deadline;
        }
        std::expected<cl::Bytes, cl::ReplyError> answer;
        {
            AllowThreads released;
            answer = reply.wait_until(slice);
        }
        if (answer) {
            return std::move(*answer);
        }
        if (answer.error() == cl::ReplyError::Closed || (deadline && Clock::now() >= *deadline)) {
            return std::unexpected(closed);
        }
        if (interruption_pending()) {
            return std::unexpected(Failure::pending());
        }
    }
}

// Sends a command with a reply channel and waits for the answer.
template <typename Command>
Outcome<cl::Bytes> ask(CL& loop, Command request, cl::ReplyReceiver<cl::Bytes>& reply,
                       std::optional<Clock::time_point> deadline, const Failure& queue_closed,
                       const Failure& unanswered) {
    cl::MotorCommand command = std::move(request);
    if (auto refused = refuse_on_worker_thread(loop); !refused) {
        return std::unexpected(refused.error());
    }
    if (auto queued = queue_command(loop, command, queue_closed); !queued) {
        return std::unexpected(queued.error());
    }
    return await_reply(reply, deadline, unanswered);
}

// --- the operations ----------------------------------------------------------------------------

void close(CL& loop) {
    AllowThreads released;  // the worker may need the interpreter lock to log
    loop.close();
}

// A command without an answer: done once it is queued.
Outcome<void> fire(CL& loop, cl::MotorCommand command) {
    return queue_command(loop, command, Failure::runtime(kChannelClosed));
}

template <typename Command, typename... Values>
Outcome<void> send(CL& loop, Values... values) {
    return fire(loop, Command{std::move(values)...});
}

// Goals are checked here: a queued command can no longer report a NaN to its caller.
template <typename Command, const GoalGroup& Group>
Outcome<void> goals(CL& loop, std::array<double, Group.range.count> position) {
    if (auto refused = controller::nan_refusal(Group, position)) {
        return std::unexpected(Failure::value(std::move(*refused)));
    }
    return fire(loop, Command{position});
}

template <typename Command, std::size_t NeckIndex>
Outcome<void> neck_goal(CL& loop, double position) {
    if (auto refused = controller::nan_refusal(NeckIndex, position)) {
        return std::unexpected(Failure::value(std::move(*refused)));
    }
    return fire(loop, Command{position});
}

Outcome<void> set_all_goals(CL& loop, const cl::TorsoPosition& p) {
    const std::array<double, 7> servos = {p.left_arm[0],  p.left_arm[1], p.right_arm[0],
                                          p.right_arm[1], p.nose[0],     p.nose[1],
                                          p.nose[2]};
    if (auto refused = controller::nan_refusal(controller::kAllGoals, servos)) {
        return std::unexpected(Failure::value(std::move(*refused)));
    }
    return fire(loop, command::SetAllGoalPositions{p});
}

// Register access: a queue that is closed, a reply that does not come, or one of the wrong
// length all read as a communication error after the method's prefix.
Failure register_failure(const char* prefix) {
    static const std::string communication = cl::MotorError::communication().message();
    return Failure::runtime(prefix + communication);
}

Outcome<cl::Bytes> read_registers(CL& loop, const char* prefix, std::uint8_t id,
                                  std::uint8_t address, std::uint8_t length) {
    auto [sender, receiver] = cl::reply_channel<cl::Bytes>();
    const Failure failed = register_failure(prefix);
    return ask(loop, command::ReadRawBytes{id, address, length, std::move(sender)}, receiver,
               Clock::now() + kReadReplyTimeout, failed, failed);
}

Outcome<void> write_registers(CL& loop, const char* prefix, std::uint8_t id, std::uint8_t address,
                              cl::Bytes data) {
    cl::MotorCommand write = command::WriteRawBytes{id, address, std::move(data)};
    return queue_command(loop, write, register_failure(prefix));
}

Outcome<cl::Bytes> read_raw_bytes(CL& loop, std::uint8_t id, std::uint8_t addr,
                                  std::uint8_t length) {
    return read_registers(loop, "Failed to read raw bytes: ", id, addr, length);
}

Outcome<void> write_raw_bytes(CL& loop, std::uint8_t id, std::uint8_t addr,
                              const std::vector<std::uint8_t>& data) {
    // A longer write would wrap the packet's length byte; the worker would refuse it, but a
    // queued command can no longer tell the caller.
    if (data.size() > controller::MotorController::kMaxWriteBytes) {
        return std::unexpected(
            Failure::value("async_write_raw_bytes: " + std::to_string(data.size()) +
                           " data bytes do not fit one packet (at most " +
                           std::to_string(controller::MotorController::kMaxWriteBytes) + ")"));
    }
    return write_registers(loop, "Failed to write raw bytes: ", id, addr, data);
}

Outcome<controller::PidGains> read_pid_gains(CL& loop, std::uint8_t id) {
    const char* prefix = "Failed to read pid gains: ";
    auto registers =
        read_registers(loop, prefix, id, controller::kGainRegister, controller::kGainRegisterCount);
    if (!registers) {
        return std::unexpected(registers.error());
    }
    if (registers->size() != controller::kGainRegisterCount) {
        return std::unexpected(register_failure(prefix));
    }
    return controller::gains_from_registers(
        std::span<const std::uint8_t, controller::kGainRegisterCount>(registers->data(),
                                                                      registers->size()));
}

Outcome<void> write_pid_gains(CL& loop, std::uint8_t id, std::uint16_t p, std::uint16_t i,
                              std::uint16_t d) {
    // One byte a register: the low byte of each value.
    const auto low = [](std::uint16_t v) { return static_cast<std::uint8_t>(v & 0xFF); };
    const auto registers = controller::registers_from_gains({low(p), low(i), low(d)});
    return write_registers(loop, "Failed to write pid gains: ", id, controller::kGainRegister,
                           cl::Bytes(registers.begin(), registers.end()));
}

Outcome<cl::Bytes> write_raw_packet(CL& loop, const Bytes& data) {
    auto [sender, receiver] = cl::reply_channel<cl::Bytes>();
    return ask(
        loop, command::WriteRawPacket{data.data, std::move(sender)}, receiver, std::nullopt,
        Failure::runtime(kChannelClosed),
        Failure::runtime("Failed to receive raw packet response: receiving on a closed channel"));
}

// --- the method table --------------------------------------------------------------------------

using Ids = std::vector<std::uint8_t>;
using controller::kArmsGoals, controller::kLeftArmGoals, controller::kNeckGoals,
    controller::kNoseGoals, controller::kRightArmGoals;

const MethodSpec g_rows[] = {
    def<L, "close", close>("Close the control loop and release resources."),
    def<L, "get_motor_name_id", &CL::get_motor_name_id>(),
    def<L, "get_last_position", &CL::get_last_position>(
        "Get the last successfully read motor positions."),
    def<L, "set_all_goal_positions", set_all_goals, "positions">(
        "Set goal positions for all motors."),
    def<L, "set_left_arm_position", goals<command::SetLeftArmPosition, kLeftArmGoals>,
        "position">(),
    def<L, "set_right_arm_position", goals<command::SetRightArmPosition, kRightArmGoals>,
        "position">(),
    def<L, "set_arms_position", goals<command::SetArmsPosition, kArmsGoals>, "position">(
        "Set goal positions for both arms (4 values)."),
    def<L, "set_nose_position", goals<command::SetNosePosition, kNoseGoals>, "position">(),
    def<L, "set_neck_position", goals<command::SetNeckPosition, kNeckGoals>, "position">(
        "Set goal positions for the neck (3 values: yaw, pitch, roll)."),
    def<L, "set_neck_yaw_position", neck_goal<command::SetNeckYawPosition, 0>, "position">(""),
    def<L, "set_neck_pitch_position", neck_goal<command::SetNeckPitchPosition, 1>, "position">(""),
    def<L, "set_neck_roll_position", neck_goal<command::SetNeckRollPosition, 2>, "position">(""),
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
    def<L, "async_read_raw_bytes", read_raw_bytes, "id", "addr", "length">(
        "Perform an asynchronous raw read of motor bytes."),
    def<L, "async_write_raw_bytes", write_raw_bytes, "id", "addr", "data">(
        "Perform an asynchronous raw write of motor bytes."),
    def<L, "async_read_pid_gains", read_pid_gains, "id">(
        "Read PID gains for a given motor id. Returns (P, I, D)."),
    def<L, "async_write_pid_gains", write_pid_gains, "id", "p", "i", "d">(
        "Write PID gains for a given motor id."),
    def<L, "write_raw_packet", write_raw_packet, "data">(""),
    // Extensions.
    def<L, "get_last_health",
        [](CL& l) { return BodyHealth{l.get_last_health(), l.has_serial_port()}; }>(
        "The worker's latest view of every joint's health (an extension); never waits\nfor the "
        "worker. Returns a JointHealth per joint by name, in layout order.\nServo velocity, "
        "effort, "
        "temperature and voltage are filled only when the\nloop was built with a "
        "`telemetry_period`."),
    def<L, "drain_positions", &CL::drain_positions>(
        "Every snapshot the worker took since the last call (or the start), oldest\nfirst (an "
        "extension). A ring keeps the last 8192 (82 s at 100 Hz); when it\noverflowed, the oldest "
        "went and one warning record says how many."),
    def<L, "__enter__",
        [](L& self) { return Itself<L>{Ref::borrow(reinterpret_cast<PyObject*>(&self))}; }>(),
    def<L, "__exit__", [](CL& l, AnyObject, AnyObject, AnyObject) { close(l); }, "exc_type",
        "exc_value", "traceback">(),
};

// --- construction and lifetime -----------------------------------------------------------------

PyObject* make_loop(PyTypeObject* type, const std::optional<std::string>& serialport,
                    Duration period, const std::string& can_bus, std::uint64_t allowed_retries,
                    const std::optional<Duration>& stats_pub_period,
                    Duration voltage_rampup_timeout,
                    const std::optional<Duration>& telemetry_period,
                    std::optional<std::uint8_t> rt_priority,
                    const std::optional<std::vector<std::uint16_t>>& cpu_affinity) {
    cl::LoopConfig config{serialport,       period,
                          can_bus,          allowed_retries,
                          stats_pub_period, voltage_rampup_timeout,
                          telemetry_period, {}};
    if (rt_priority) {
        config.scheduling.rt_priority = *rt_priority;
    }
    if (cpu_affinity) {
        config.scheduling.cpu_affinity.emplace(cpu_affinity->begin(), cpu_affinity->end());
    }
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

const ConstructorSpec g_constructor = constructor<
    Loop, make_loop, "serialport", "read_position_loop_period", "can_bus='can0'",
    "allowed_retries=5", "stats_pub_period=None",
    "voltage_rampup_timeout=datetime.timedelta(seconds=30)", "*", "telemetry_period=None",
    "rt_priority=None", "cpu_affinity=None">(
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
    "CPUs\n  only; refused the same way.");

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

const stub::Registration g_class_entry{
    stub::Class{class_name<L>, "", Loop::kClassName, "", {}, {}}};
const stub::Registration g_method_entry{stub_methods<L>(g_constructor, g_rows)};

}  // namespace

void close_running_loops() {
    // Each object is held while its loop closes: another thread may drop its last reference
    // while this one has given the interpreter lock up.
    std::vector<Ref> live;
    for (PyObject* object : g_live) {
        live.push_back(Ref::borrow(object));
    }
    for (const Ref& object : live) {
        close(*reinterpret_cast<Loop*>(object.get())->loop);
    }
}

PyObject* control_loop_type() {
    return class_type<Loop>(g_constructor, loop_dealloc, g_rows);
}

}  // namespace wenlo::py
