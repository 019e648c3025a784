// WenloMotorController: the synchronous Python face of the motor controller. Each method
// converts its arguments first, then runs one controller operation under the controller lock.
#include "bindings/classes.h"
#include "bindings/controller_lock.h"
#include "bindings/docs.h"
#include "bindings/method_def.h"
#include "common/float_format.h"
#include "controller/controller.h"

#include <cmath>

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
    // Empty once closed; the lock stays, so a caller waiting for it meanwhile finds it so.
    Guarded<std::optional<MotorController>>* guarded;

    static constexpr const char* kClassName = "WenloMotorController";
    static constexpr const char* kTypeName = "wenlo_motor_controller.WenloMotorController";
    static ControllerObject* from(PyObject* self) {
        return instance_of<ControllerObject>(self, g_class<ControllerObject>);
    }
    // One operation, under the controller's lock.
    template <typename Call>
    static PyObject* invoke(ControllerObject& self, Call&& call) {
        using R = std::decay_t<std::invoke_result_t<Call, MC&>>;
        auto outcome = run_locked(*self.guarded, [&](std::optional<MC>& c) -> std::optional<R> {
            return c ? std::optional<R>(call(*c)) : std::nullopt;
        });
        if (outcome && !*outcome) {
            PyErr_SetString(PyExc_RuntimeError, kClosed);
        }
        return outcome && *outcome ? to_result(std::move(**outcome)) : nullptr;
    }
};

using Ids = std::vector<std::uint8_t>;

// Releases both ports now, whoever else holds the object; a poisoned lock does not keep them.
Outcome<void> close(ControllerObject& self) {
    auto closed = self.guarded->with_or_reentered(
        [](std::optional<MC>& c, bool) { return (c.reset(), true); },
        [](std::unique_lock<std::mutex>& lock) {
            AllowThreads released;
            lock.lock();
        });
    return closed ? Outcome<void>() : std::unexpected(Failure::runtime(kReentered));
}

Outcome<Itself<C>> enter(ControllerObject& self) {
    Ref open = Ref::steal(C::invoke(self, [](MC&) { return true; }));  // raises once closed
    if (!open) {
        return std::unexpected(Failure::pending());
    }
    return Itself<C>{Ref::borrow(reinterpret_cast<PyObject*>(&self))};
}

control_loop::MotorNames servo_names() {
    control_loop::MotorNames names;
    for (const controller::Joint& servo : controller::kServoJoints.joints()) {
        names.emplace_back(servo.name, servo.id);
    }
    return names;
}

// Homing looks at Python's signal handlers once per cycle, so Ctrl-C stops it.
Result<std::array<double, 3>> home_neck(MC& c, double speed, double tolerance,
                                        std::optional<float> kp, std::optional<float> kd) {
    return c.neck_home(speed, tolerance, kp, kd, python_signal_check());
}

// --- extensions: registers by name ---------------------------------------------------------

namespace registers = candrive::damiao::registers;

// A neck joint by name, and a register of the table by name; ValueError for anything else.
Outcome<std::pair<std::size_t, registers::RegisterInfo>> neck_register(const std::string& joint,
                                                                       const std::string& name) {
    std::optional<std::size_t> index;
    for (std::size_t i = 0; i < controller::kNeckJoints; ++i) {
        if (controller::neck_name(i) == joint) {
            index = i;
        }
    }
    if (!index) {
        return std::unexpected(Failure::value("unknown neck joint '" + joint +
                                              "': one of neck_yaw, neck_pitch, neck_roll"));
    }
    for (const registers::RegisterInfo& info : registers::entries()) {
        if (info.name == name) {
            return std::pair{*index, info};
        }
    }
    return std::unexpected(Failure::value("unknown neck register '" + name + "'"));
}

Outcome<registers::RegisterValue> read_neck_register(MC& c, const std::string& joint,
                                                     const std::string& name) {
    auto found = neck_register(joint, name);
    if (!found) {
        return std::unexpected(found.error());
    }
    auto value = c.read_neck_register(found->first, found->second.id);
    if (!value) {
        return std::unexpected(failure_of(value.error()));
    }
    return *value;
}

Outcome<registers::RegisterValue> write_neck_register(MC& c, const std::string& joint,
                                                      const std::string& name, double value) {
    auto found = neck_register(joint, name);
    if (!found) {
        return std::unexpected(found.error());
    }
    const registers::RegisterInfo& info = found->second;
    if (!info.writable) {
        return std::unexpected(Failure::value("neck register '" + name + "' is read-only"));
    }
    registers::RegisterValue word = registers::RegisterValue::Float(static_cast<float>(value));
    if (info.value_type == registers::RegisterType::Uint32) {
        if (!(value >= 0.0 && value <= 4294967295.0) || value != std::floor(value)) {
            return std::unexpected(Failure::value(
                "neck register '" + name + "' holds a whole number from 0 to 4294967295, not " +
                fmt::float_repr(value)));
        }
        word = registers::RegisterValue::Uint32(static_cast<std::uint32_t>(value));
    }
    auto held = c.write_neck_register(found->first, info.id, word);
    if (!held) {
        return std::unexpected(failure_of(held.error()));
    }
    return *held;
}

const MethodSpec g_rows[] = {
    def<C, "is_torque_enabled", &MC::is_torque_enabled>(doc::kIsTorqueEnabled),
    def<C, "enable_torque", [](MC& c) { return c.set_all_torque(true); }>(doc::kEnableTorque),
    def<C, "enable_torque_on_ids",
        [](MC& c, const Ids& ids) { return c.set_torque_on_ids(ids, true); }, "ids">(
        doc::kEnableTorqueOnIds),
    def<C, "disable_torque", [](MC& c) { return c.set_all_torque(false); }>(doc::kDisableTorque),
    def<C, "disable_torque_on_ids",
        [](MC& c, const Ids& ids) { return c.set_torque_on_ids(ids, false); }, "ids">(
        doc::kDisableTorqueOnIds),
    def<C, "read_all_positions", &MC::read_all_positions>(doc::kReadAllPositions),
    def<C, "set_all_goal_positions", &MC::set_all_goal_positions, "positions">(doc::kSetAllGoals),
    def<C, "set_left_arm_position", &MC::set_left_arm_position, "position">(doc::kSetLeftArm),
    def<C, "set_right_arm_position", &MC::set_right_arm_position, "position">(doc::kSetRightArm),
    def<C, "set_arms_position", &MC::set_arms_position, "position">(doc::kSetArms),
    def<C, "set_nose_position", &MC::set_nose_position, "position">(doc::kSetNose),
    def<C, "set_neck_position", &MC::set_neck_position, "position">(doc::kSetNeck),
    def<C, "set_neck_yaw_position", [](MC& c, double v) { return c.set_single_neck_joint(0, v); },
        "position">(doc::kNone),
    def<C, "set_neck_pitch_position", [](MC& c, double v) { return c.set_single_neck_joint(1, v); },
        "position">(doc::kNone),
    def<C, "set_neck_roll_position", [](MC& c, double v) { return c.set_single_neck_joint(2, v); },
        "position">(doc::kNone),
    def<C, "neck_position_limits", [](MC&) { return std::span(controller::kNeckSafeBounds); }>(
        doc::kNeckLimits),
    def<C, "read_neck_positions", &MC::read_neck_positions>(doc::kReadNeck),
    def<C, "set_neck_gains", &MC::set_neck_gains, "index", "kp", "kd">(doc::kNeckGains),
    def<C, "neck_home", home_neck, "speed=0.4", "tolerance=0.15", "kp=None", "kd=None">(
        doc::kNeckHome),
    def<C, "enable_neck", &MC::enable_neck, "enable">(doc::kEnableNeck),
    def<C, "is_neck_torque_enabled", &MC::neck_torque_enabled>(doc::kNeckTorque),
    def<C, "enable_arms", &MC::enable_arms, "enable">(doc::kEnableArms),
    def<C, "enable_nose", &MC::enable_nose, "enable">(doc::kEnableNose),
    def<C, "write_raw_packet",
        [](MC& c, const Bytes& data) -> Result<void> {
            if (auto answer = c.write_raw_packet(data.data); !answer) {
                return std::unexpected(answer.error());
            }
            return {};  // the answer is dropped
        },
        "data">(doc::kWriteRawPacket),
    // Extensions.
    def<C, "read_health", [](MC& c) { return BodyHealth{c.read_health(), c.has_serial_port()}; }>(
        doc::kReadHealth),
    def<C, "reboot",
        [](MC& c, Duration timeout) {
            return c.reboot(timeout.to_chrono(), python_signal_check());
        },
        "timeout=datetime.timedelta(seconds=1)">(doc::kReboot),
    def<C, "ping", &MC::ping, "id">(doc::kPing),
    def<C, "read_registers", &MC::read_raw, "id", "address", "length">(doc::kReadRegisters),
    def<C, "write_registers",
        [](MC& c, std::uint8_t id, std::uint8_t address, const Bytes& data) {
            return c.write_raw(id, address, data.data);
        },
        "id", "address", "data">(doc::kWriteRegisters),
    def<C, "neck_register_table", [](MC&) { return registers::entries(); }>(
        doc::kNeckRegisterTable),
    def<C, "get_motor_name_id", [](MC&) { return servo_names(); }>(doc::kMotorNameId),
    def<C, "servo_register_table",
        [](MC&) { return std::span(serialbus::servo::feetech::common::kRegisterTable); }>(
        doc::kServoRegisterTable),
    def<C, "read_neck_register", read_neck_register, "joint", "name">(doc::kReadNeckRegister),
    def<C, "write_neck_register", write_neck_register, "joint", "name", "value">(
        doc::kWriteNeckRegister),
    def<C, "close", close>(doc::kControllerClose),
    def<C, "__enter__", enter>(doc::kEnter),
    def<C, "__exit__", [](C& self, AnyObject, AnyObject, AnyObject) { return close(self); },
        "exc_type", "exc_value", "traceback">(doc::kExit),
};

// --- the type ----------------------------------------------------------------------------

PyObject* make_controller(PyTypeObject* type, const std::optional<std::string>& serialport,
                          const std::string& can_bus) {
    auto created = MotorController::create(serialport, can_bus);
    if (!created) {
        return raise_failure(failure_of(created.error()));
    }
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;  // the controller closes its buses on the way out
    }
    reinterpret_cast<ControllerObject*>(self.get())->guarded =
        new Guarded<std::optional<MotorController>>(std::move(*created));
    return self.detach();
}

const ConstructorSpec g_constructor =
    constructor<C, make_controller, "serialport=None", "can_bus='can0'">(doc::kNewController);

void controller_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<ControllerObject*>(self)->guarded;
    type->tp_free(self);
    Py_DECREF(type);
}

const stub::Registration g_class_entry{
    stub::Class{class_name<C>, "", ControllerObject::kClassName, "", {}, {}}};
const stub::Registration g_method_entry{stub_methods<C>(g_constructor, g_rows)};

}  // namespace

PyObject* motor_controller_type() {
    return class_type<C>(g_constructor, controller_dealloc, g_rows);
}

}  // namespace wenlo::py
