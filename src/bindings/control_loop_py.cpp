// WenloPyControlLoop: the Python face of the background control loop. Methods convert their
// arguments, then read a shared record or queue a command for the worker.
//
// The worker takes the interpreter lock to deliver a log record, so no thread may hold that
// lock while it waits for the worker: every wait here (room in the queue, a reply, the worker
// ending) gives the lock up and takes it back before touching Python again. Waits wake every
// 100 ms to run Python's signal handlers, so Ctrl-C is never stuck behind one.
#include "bindings/args.h"
#include "bindings/classes.h"
#include "bindings/gil.h"
#include "bindings/interrupt.h"
#include "bindings/method_def.h"
#include "bindings/panic.h"
#include "bindings/value_types.h"
#include "control_loop/control_loop.h"
#include "controller/controller.h"
#include "controller/layout.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace wenlo::py {
namespace {

namespace cl = control_loop;
namespace command = control_loop::command;
using Clock = std::chrono::steady_clock;

constexpr auto kSignalCheck = std::chrono::milliseconds(100);
constexpr auto kReadReplyTimeout = std::chrono::seconds(1);
constexpr const char* kChannelClosed = "channel closed";
constexpr const char* kOnWorkerThread =
    "re-entrant call: this thread is the worker of this WenloPyControlLoop (for example, a "
    "logging handler of one of its records called it); the call would wait for itself forever";
constexpr std::uint8_t kGainRegister = 21;  // P, then D, then I

PyObject* g_type = nullptr;
// Loops whose Python object is alive; touched only with the interpreter lock held.
std::vector<PyObject*> g_live;

struct Loop {
    PyObject_HEAD
    cl::ControlLoop* loop;  // owned; null only while construction fails

    static constexpr const char* kClassName = "WenloPyControlLoop";
    static Loop* from(PyObject* self) {
        if (g_type == nullptr ||
            !PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(g_type))) {
            PyErr_SetString(PyExc_TypeError, "expected a WenloPyControlLoop instance");
            return nullptr;
        }
        return reinterpret_cast<Loop*>(self);
    }
};

PyObject* none() { Py_RETURN_NONE; }

PyObject* runtime_error(const std::string& text) {
    Ref message = Ref::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (message) {
        PyErr_SetObject(PyExc_RuntimeError, message.get());
    }
    return nullptr;
}

const std::string& communication_text() {
    static const std::string text = cl::MotorError::communication().message();
    return text;
}

// --- waiting for the worker ------------------------------------------------------------------

// Raised: an exception is pending (a signal handler's, or the refusal to wait for oneself).
enum class Wait { Done, Closed, Raised };

// The worker cannot wait for itself: whatever would wait for it is refused on its thread.
bool refuse_on_worker_thread(const cl::ControlLoop& loop) {
    if (loop.on_worker_thread()) {
        PyErr_SetString(PyExc_RuntimeError, kOnWorkerThread);
        return true;
    }
    return false;
}

// Queues the command, giving up the interpreter lock while the queue is full. On Raised nothing
// was queued.
Wait queue_command(cl::ControlLoop& loop, cl::MotorCommand& command) {
    for (auto deadline = Clock::now();; deadline = Clock::now() + kSignalCheck) {
        cl::SendStatus status;
        if (deadline <= Clock::now()) {
            status = loop.send_until(command, deadline);  // room at once: no hand-off needed
        } else {
            AllowThreads released;
            status = loop.send_until(command, deadline);
        }
        if (status == cl::SendStatus::Sent) {
            return Wait::Done;
        }
        if (status == cl::SendStatus::Closed) {
            return Wait::Closed;
        }
        if (refuse_on_worker_thread(loop) || interruption_pending()) {
            return Wait::Raised;
        }
    }
}

// Waits for the worker's answer until the deadline (none: for as long as it takes).
std::expected<cl::Bytes, Wait> await_reply(cl::ReplyReceiver<cl::Bytes>& reply,
                                           std::optional<Clock::time_point> deadline) {
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
            return std::unexpected(Wait::Closed);
        }
        if (interruption_pending()) {
            return std::unexpected(Wait::Raised);
        }
    }
}

void close_loop(cl::ControlLoop& loop) {
    AllowThreads released;
    loop.close();
}

// --- the operations ----------------------------------------------------------------------------

// A command without an answer: None once it is queued.
PyObject* fire(Loop& self, cl::MotorCommand command) {
    switch (queue_command(*self.loop, command)) {
        case Wait::Done:
            return none();
        case Wait::Closed:
            return runtime_error(kChannelClosed);
        case Wait::Raised:
            break;
    }
    return nullptr;
}

// A NaN is a bug upstream, never a target, and a queued command can no longer report it: it is
// refused here, before anything is queued.
template <std::size_t N>
bool refuse_nan(const char* method, const std::array<std::string_view, N>& joints,
                const double* values) {
    for (std::size_t i = 0; i < N; ++i) {
        if (std::isnan(values[i])) {
            PyErr_Format(PyExc_ValueError, "%s(%s): requested position is NaN", method,
                         std::string(joints[i]).c_str());
            return false;
        }
    }
    return true;
}

template <std::size_t N>
std::array<std::string_view, N> servo_names(std::size_t first) {
    std::array<std::string_view, N> names{};
    for (std::size_t i = 0; i < N; ++i) {
        names[i] = controller::kServos[first + i].name;
    }
    return names;
}

template <typename Command, std::size_t N>
PyObject* set_servos(Loop& self, const char* method, std::size_t first,
                     const std::array<double, N>& position) {
    if (!refuse_nan(method, servo_names<N>(first), position.data())) {
        return nullptr;
    }
    return fire(self, Command{position});
}

template <typename Command>
PyObject* set_neck_joint(Loop& self, const char* method, double position) {
    if (std::isnan(position)) {
        PyErr_Format(PyExc_ValueError, "%s: requested position is NaN", method);
        return nullptr;
    }
    return fire(self, Command{position});
}

PyObject* close(Loop& self) {
    close_loop(*self.loop);
    return none();
}

PyObject* get_motor_name_id(Loop& self) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) {
        return nullptr;
    }
    for (const auto& [name, id] : self.loop->get_motor_name_id()) {
        Ref value = Ref::steal(PyLong_FromLong(id));
        if (!value || PyDict_SetItemString(dict.get(), name.c_str(), value.get()) < 0) {
            return nullptr;
        }
    }
    return dict.detach();
}

PyObject* get_last_position(Loop& self) {
    auto position = self.loop->get_last_position();
    if (!position) {
        return runtime_error(position.error().message());
    }
    return new_torso_position(*position);
}

PyObject* is_torque_enabled(Loop& self) {
    auto on = self.loop->is_torque_enabled();
    if (!on) {
        return runtime_error(on.error().message());
    }
    return to_python(*on);
}

PyObject* get_stats(Loop& self) {
    auto stats = self.loop->get_stats();
    if (!stats) {
        return none();
    }
    return new_loop_stats(std::move(stats->period), std::move(stats->read_dt),
                          std::move(stats->write_dt));
}

PyObject* set_all_goal_positions(Loop& self, const TorsoValues& positions) {
    const std::array<double, 7> servos = {positions.left_arm[0], positions.left_arm[1],
                                          positions.right_arm[0], positions.right_arm[1],
                                          positions.nose[0],     positions.nose[1],
                                          positions.nose[2]};
    if (!refuse_nan("set_all_goal_positions", servo_names<7>(0), servos.data())) {
        return nullptr;
    }
    return fire(self, command::SetAllGoalPositions{positions});
}

PyObject* set_neck_position(Loop& self, const std::array<double, 3>& position) {
    if (!refuse_nan("set_neck_position", controller::kNeckNames, position.data())) {
        return nullptr;
    }
    return fire(self, command::SetNeckPosition{position});
}

// Register access: a queue that is closed, a reply that does not come, or one of the wrong
// length all read as a communication error after the method's prefix.
PyObject* register_failure(const char* prefix) {
    return runtime_error(std::string(prefix) + communication_text());
}

std::expected<cl::Bytes, PyObject*> read_registers(Loop& self, const char* prefix,
                                                   std::uint8_t id, std::uint8_t address,
                                                   std::uint8_t length) {
    if (refuse_on_worker_thread(*self.loop)) {
        return std::unexpected(nullptr);
    }
    auto [sender, receiver] = cl::reply_channel<cl::Bytes>();
    cl::MotorCommand read = command::ReadRawBytes{id, address, length, std::move(sender)};
    switch (queue_command(*self.loop, read)) {
        case Wait::Done:
            break;
        case Wait::Closed:
            return std::unexpected(register_failure(prefix));
        case Wait::Raised:
            return std::unexpected(nullptr);
    }
    auto answer = await_reply(receiver, Clock::now() + kReadReplyTimeout);
    if (!answer) {
        return std::unexpected(answer.error() == Wait::Raised ? nullptr
                                                                   : register_failure(prefix));
    }
    return std::move(*answer);
}

PyObject* bytes_object(const cl::Bytes& data) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                     static_cast<Py_ssize_t>(data.size()));
}

PyObject* async_read_raw_bytes(Loop& self, std::uint8_t id, std::uint8_t addr,
                               std::uint8_t length) {
    auto data = read_registers(self, "Failed to read raw bytes: ", id, addr, length);
    return data ? bytes_object(*data) : data.error();
}

PyObject* write_registers(Loop& self, const char* prefix, std::uint8_t id, std::uint8_t address,
                          cl::Bytes data) {
    cl::MotorCommand write = command::WriteRawBytes{id, address, std::move(data)};
    switch (queue_command(*self.loop, write)) {
        case Wait::Done:
            return none();
        case Wait::Closed:
            return register_failure(prefix);
        case Wait::Raised:
            break;
    }
    return nullptr;
}

PyObject* async_write_raw_bytes(Loop& self, std::uint8_t id, std::uint8_t addr,
                                const std::vector<std::uint8_t>& data) {
    // A longer write would wrap the packet's length byte; the worker would refuse it, but a
    // queued command can no longer tell the caller.
    if (data.size() > controller::MotorController::kMaxWriteBytes) {
        PyErr_Format(PyExc_ValueError,
                     "async_write_raw_bytes: %zu data bytes do not fit one packet (at most %zu)",
                     data.size(), controller::MotorController::kMaxWriteBytes);
        return nullptr;
    }
    return write_registers(self, "Failed to write raw bytes: ", id, addr, data);
}

PyObject* async_read_pid_gains(Loop& self, std::uint8_t id) {
    const char* prefix = "Failed to read pid gains: ";
    auto gains = read_registers(self, prefix, id, kGainRegister, 3);
    if (!gains) {
        return gains.error();
    }
    if (gains->size() != 3) {
        return register_failure(prefix);
    }
    const cl::Bytes& g = *gains;  // registers P, D, I
    return Py_BuildValue("(iii)", g[0], g[2], g[1]);
}

PyObject* async_write_pid_gains(Loop& self, std::uint8_t id, std::uint16_t p, std::uint16_t i,
                                std::uint16_t d) {
    const auto low = [](std::uint16_t v) { return static_cast<std::uint8_t>(v & 0xFF); };
    return write_registers(self, "Failed to write pid gains: ", id, kGainRegister,
                           {low(p), low(d), low(i)});
}

PyObject* write_raw_packet(Loop& self, const Bytes& data) {
    if (refuse_on_worker_thread(*self.loop)) {
        return nullptr;
    }
    auto [sender, receiver] = cl::reply_channel<cl::Bytes>();
    cl::MotorCommand packet = command::WriteRawPacket{data.data, std::move(sender)};
    switch (queue_command(*self.loop, packet)) {
        case Wait::Done:
            break;
        case Wait::Closed:
            return runtime_error(kChannelClosed);
        case Wait::Raised:
            return nullptr;
    }
    auto answer = await_reply(receiver, std::nullopt);
    if (!answer) {
        if (answer.error() == Wait::Raised) {
            return nullptr;
        }
        return runtime_error(
            "Failed to receive raw packet response: receiving on a closed channel");
    }
    return bytes_object(*answer);
}

// --- the method table --------------------------------------------------------------------------

using L = Loop;
using A2 = std::array<double, 2>;
using A3 = std::array<double, 3>;
using A4 = std::array<double, 4>;
using Ids = std::vector<std::uint8_t>;

const MethodSpec g_specs[] = {
    def<L, "close", close>("None", "Close the control loop and release resources."),
    def<L, "get_motor_name_id", get_motor_name_id>("builtins.dict[builtins.str, builtins.int]", "Get the id/name motors used in this controller."),
    def<L, "get_last_position", get_last_position>("WenloTorsoPosition", "Get the last successfully read motor positions."),
    def<L, "set_all_goal_positions", set_all_goal_positions, "positions">("None", "Set goal positions for all motors."),
    def<L, "set_left_arm_position",
        [](L& s, A2 p) {
            return set_servos<command::SetLeftArmPosition>(s, "set_left_arm_position", 0, p);
        },
        "position">("None", "Set goal positions for the left arm (2 values: pitch, yaw)."),
    def<L, "set_right_arm_position",
        [](L& s, A2 p) {
            return set_servos<command::SetRightArmPosition>(s, "set_right_arm_position", 2, p);
        },
        "position">("None", "Set goal positions for the right arm (2 values: pitch, yaw)."),
    def<L, "set_arms_position",
        [](L& s, A4 p) {
            return set_servos<command::SetArmsPosition>(s, "set_arms_position", 0, p);
        },
        "position">("None", "Set goal positions for both arms (4 values)."),
    def<L, "set_nose_position",
        [](L& s, A3 p) {
            return set_servos<command::SetNosePosition>(s, "set_nose_position", 4, p);
        },
        "position">("None", "Set goal positions for the nose (3 values)."),
    def<L, "set_neck_position", set_neck_position, "position">("None", "Set goal positions for the neck (3 values: yaw, pitch, roll)."),
    def<L, "set_neck_yaw_position",
        [](L& s, double p) {
            return set_neck_joint<command::SetNeckYawPosition>(s, "set_neck_yaw_position", p);
        },
        "position">("None", ""),
    def<L, "set_neck_pitch_position",
        [](L& s, double p) {
            return set_neck_joint<command::SetNeckPitchPosition>(s, "set_neck_pitch_position",
                                                                 p);
        },
        "position">("None", ""),
    def<L, "set_neck_roll_position",
        [](L& s, double p) {
            return set_neck_joint<command::SetNeckRollPosition>(s, "set_neck_roll_position", p);
        },
        "position">("None", ""),
    def<L, "enable_neck", [](L& s, bool on) { return fire(s, command::EnableNeck{on}); },
        "enable">("None", "Enable or disable the neck motors."),
    def<L, "is_torque_enabled", is_torque_enabled>("builtins.bool", "Check torque enabled status."),
    def<L, "enable_torque", [](L& s) { return fire(s, command::EnableTorque{}); }>("None", "Enable torque on all motors."),
    def<L, "enable_torque_on_ids",
        [](L& s, Ids ids) { return fire(s, command::EnableTorqueOnIds{std::move(ids)}); },
        "ids">("None", "Enable torque on ids."),
    def<L, "disable_torque", [](L& s) { return fire(s, command::DisableTorque{}); }>("None", "Disable torque on all motors."),
    def<L, "disable_torque_on_ids",
        [](L& s, Ids ids) { return fire(s, command::DisableTorqueOnIds{std::move(ids)}); },
        "ids">("None", "Disable torque on ids."),
    def<L, "enable_arms", [](L& s, bool on) { return fire(s, command::EnableArms{on}); },
        "enable">("None", "Enable or disable the arm motors."),
    def<L, "enable_nose", [](L& s, bool on) { return fire(s, command::EnableNose{on}); },
        "enable">("None", "Enable or disable the nose motors."),
    def<L, "get_stats", get_stats>("typing.Optional[ControlLoopStats]", "Get the latest control loop statistics, if available."),
    def<L, "async_read_raw_bytes", async_read_raw_bytes, "id", "addr", "length">("bytes", "Perform an asynchronous raw read of motor bytes."),
    def<L, "async_write_raw_bytes", async_write_raw_bytes, "id", "addr", "data">("None", "Perform an asynchronous raw write of motor bytes."),
    def<L, "async_read_pid_gains", async_read_pid_gains, "id">("tuple[builtins.int, builtins.int, builtins.int]", "Read PID gains for a given motor id. Returns (P, I, D)."),
    def<L, "async_write_pid_gains", async_write_pid_gains, "id", "p", "i", "d">("None", "Write PID gains for a given motor id."),
    def<L, "write_raw_packet", write_raw_packet, "data">("bytes", ""),
};

// --- construction and lifetime -----------------------------------------------------------------

PyObject* raise_start_failure(const cl::StartFailure& failure) {
    switch (failure.kind()) {
        case cl::StartFailure::Kind::Motor:
            // A check that a signal broke (EINTR) must not read as missing hardware.
            if (interruption_pending()) {
                return nullptr;
            }
            return runtime_error(failure.message());
        case cl::StartFailure::Kind::InvalidArgument:
            PyErr_SetString(PyExc_ValueError, failure.message().c_str());
            return nullptr;
        case cl::StartFailure::Kind::Interrupted:
            if (!PyErr_Occurred()) {
                PyErr_SetNone(PyExc_KeyboardInterrupt);
            }
            return nullptr;
        case cl::StartFailure::Kind::SpawnFailed:
            break;
    }
    raise_panic(failure.message());
    return nullptr;
}

PyObject* make_loop(PyTypeObject* type, const std::optional<std::string>& serialport,
                    Duration period, const std::string& can_bus, std::uint64_t allowed_retries,
                    const std::optional<Duration>& stats_pub_period,
                    Duration voltage_rampup_timeout) {
    const cl::LoopConfig config{serialport,       period,          can_bus, allowed_retries,
                                stats_pub_period, voltage_rampup_timeout};
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;
    }
    // Runs on this thread with the interpreter lock held, as the start-up may log; Ctrl-C is
    // looked at between the voltage and the reboot polls.
    auto started = cl::ControlLoop::start(config, python_signal_check());
    if (!started) {
        return raise_start_failure(started.error());
    }
    reinterpret_cast<Loop*>(self.get())->loop = started->release();
    g_live.push_back(self.get());
    return self.detach();
}

const ConstructorSpec g_constructor = constructor<
    Loop, make_loop, "serialport", "read_position_loop_period", "can_bus='can0'",
    "allowed_retries=5", "stats_pub_period=None",
    "voltage_rampup_timeout=datetime.timedelta(seconds=30)">(
    "Create a new control loop for the motor controller.\n"
    "\n"
    "# Arguments\n"
    "* `serialport` - Path to (Unix) or COM ID (Windows) of the serial port.\n"
    "  Pass `None` to build a neck-only (CAN) loop \xe2\x80\x94 arm/nose commands then\n"
    "  raise on use.\n"
    "* `read_position_loop_period` - Period between control loop updates.\n"
    "* `can_bus` - SocketCAN interface name for the neck Damiao motors (default `\"can0\"`).\n"
    "* `allowed_retries` - Number of allowed retries for reading positions.\n"
    "* `stats_pub_period` - Optional period for publishing stats.\n"
    "* `voltage_rampup_timeout` - Maximum time to wait for the 12V rail to stabilize.");

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

std::string type_id() { return Loop::kClassName; }

const stub::Registration g_class_entry{stub::Class{type_id, "", Loop::kClassName, "", {}, {}}};
const stub::Registration g_method_entry{method_group(type_id, &g_constructor, g_specs)};

}  // namespace

void close_running_loops() {
    // Each object is held while its loop closes: another thread may drop its last reference
    // while this one has given the interpreter lock up.
    std::vector<Ref> live;
    for (PyObject* object : g_live) {
        live.push_back(Ref::borrow(object));
    }
    for (const Ref& object : live) {
        close_loop(*reinterpret_cast<Loop*>(object.get())->loop);
    }
}

PyObject* control_loop_type() {
    if (g_type == nullptr) {
        static PyType_Slot slots[] = {
            {Py_tp_doc, const_cast<char*>(g_constructor.tp_doc)},
            {Py_tp_new, reinterpret_cast<void*>(g_constructor.tp_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(loop_dealloc)},
            {Py_tp_methods, method_table(g_specs)},
            {0, nullptr},
        };
        static PyType_Spec spec = {"wenlo_motor_controller.WenloPyControlLoop", sizeof(Loop), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
        g_type = PyType_FromSpec(&spec);
    }
    return g_type;
}

}  // namespace wenlo::py
