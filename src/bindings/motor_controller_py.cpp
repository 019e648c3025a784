// WenloMotorController: the synchronous Python face of the motor controller. Each method
// converts its arguments first, then runs one controller operation under the controller lock.
#include "bindings/args.h"
#include "bindings/classes.h"
#include "bindings/guarded.h"
#include "bindings/interrupt.h"
#include "bindings/method_def.h"
#include "bindings/panic.h"
#include "controller/controller.h"

#include <new>

namespace wenlo::py {
namespace {

using controller::MotorController;
using controller::Result;

PyObject* g_type = nullptr;

struct ControllerObject {
    PyObject_HEAD
    Guarded<MotorController>* guarded;

    static constexpr const char* kClassName = "WenloMotorController";
    static ControllerObject* from(PyObject* self) {
        if (g_type == nullptr ||
            !PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(g_type))) {
            PyErr_SetString(PyExc_TypeError, "expected a WenloMotorController instance");
            return nullptr;
        }
        return reinterpret_cast<ControllerObject*>(self);
    }
};

PyObject* raise_error(const controller::Error& error) {
    if (interrupted_by_python(error)) {
        return nullptr;  // the signal handler's exception (KeyboardInterrupt) is the answer
    }
    // A signal during the call may itself have broken an exchange (EINTR); as for a system
    // call that a signal interrupts, its handler's exception is then the answer.
    if (interruption_pending()) {
        return nullptr;
    }
    const std::string& text = error.message();
    Ref message = Ref::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (message) {
        PyErr_SetObject(PyExc_RuntimeError, message.get());
    }
    return nullptr;
}

// Runs op under the lock and turns its result into a Python object with to_py.
template <typename Op, typename ToPy>
PyObject* call(ControllerObject& self, Op&& op, ToPy&& to_py) {
    auto outcome = self.guarded->run(std::forward<Op>(op));
    if (!outcome) {
        return nullptr;
    }
    if (!outcome->has_value()) {
        return raise_error(outcome->error());
    }
    if constexpr (std::is_void_v<typename std::decay_t<decltype(*outcome)>::value_type>) {
        return to_py();
    } else {
        return to_py(**outcome);
    }
}

PyObject* none() { Py_RETURN_NONE; }

PyObject* list3(const std::array<double, 3>& values) { return float_list(values.data(), 3); }

PyObject* limits_list(const std::array<controller::Bounds, 3>& bounds) {
    Ref list = Ref::steal(PyList_New(3));
    if (!list) {
        return nullptr;
    }
    for (std::size_t i = 0; i < 3; ++i) {
        PyObject* pair = Py_BuildValue("(dd)", bounds[i].lower, bounds[i].upper);
        if (pair == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.detach();
}

PyObject* bool_result(bool on) { return to_python(on); }
PyObject* float_result(double v) { return to_python(v); }
PyObject* list7(const std::array<double, 7>& v) { return float_list(v.data(), v.size()); }

using C = ControllerObject;
using MC = MotorController;
using A2 = std::array<double, 2>;
using A3 = std::array<double, 3>;
using A4 = std::array<double, 4>;
using A7 = std::array<double, 7>;
using Ids = std::vector<std::uint8_t>;

const MethodSpec g_specs[] = {
    def<C, "is_torque_enabled",
        [](C& s) { return call(s, [](MC& c) { return c.is_torque_enabled(); }, bool_result); }>(
        "builtins.bool", "Is torque enabled on all motors"),
    def<C, "enable_torque",
        [](C& s) { return call(s, [](MC& c) { return c.set_all_torque(true); }, none); }>(
        "None", "Enable torque on all motors."),
    def<C, "enable_torque_on_ids",
        [](C& s, const Ids& ids) {
            return call(s, [&](MC& c) { return c.set_torque_on_ids(ids, true); }, none);
        },
        "ids">("None", "Enable torque on ids"),
    def<C, "disable_torque",
        [](C& s) { return call(s, [](MC& c) { return c.set_all_torque(false); }, none); }>(
        "None", "Disable torque on all motors."),
    def<C, "disable_torque_on_ids",
        [](C& s, const Ids& ids) {
            return call(s, [&](MC& c) { return c.set_torque_on_ids(ids, false); }, none);
        },
        "ids">("None", "Disable torque on ids"),
    def<C, "read_all_positions",
        [](C& s) { return call(s, [](MC& c) { return c.read_all_positions(); }, list7); }>(
        "builtins.list[builtins.float]",
        "Read all motor positions as a 7-element array.\nOrder: [left_arm_pitch, left_arm_yaw, "
        "right_arm_pitch, right_arm_yaw, nose_top, nose_left, nose_right]"),
    def<C, "set_all_goal_positions",
        [](C& s, const A7& v) {
            return call(s, [&](MC& c) { return c.set_all_goal_positions(v); }, none);
        },
        "positions">("None",
                     "Set goal positions for all motors (7 values).\n\n# Arguments\n* "
                     "`positions` - Array of 7 goal positions\n  (left_arm_pitch, left_arm_yaw, "
                     "right_arm_pitch, right_arm_yaw, nose_top, nose_left, nose_right)."),
    def<C, "set_left_arm_position",
        [](C& s, const A2& v) {
            return call(s, [&](MC& c) { return c.set_left_arm_position(v); }, none);
        },
        "position">("None", "Set goal positions for the left arm (2 values: pitch, yaw)."),
    def<C, "set_right_arm_position",
        [](C& s, const A2& v) {
            return call(s, [&](MC& c) { return c.set_right_arm_position(v); }, none);
        },
        "position">("None", "Set goal positions for the right arm (2 values: pitch, yaw)."),
    def<C, "set_arms_position",
        [](C& s, const A4& v) {
            return call(s, [&](MC& c) { return c.set_arms_position(v); }, none);
        },
        "position">("None",
                    "Set goal positions for both arms (4 values: left pitch, left yaw, right "
                    "pitch, right yaw)."),
    def<C, "set_nose_position",
        [](C& s, const A3& v) {
            return call(s, [&](MC& c) { return c.set_nose_position(v); }, none);
        },
        "position">("None", "Set goal positions for the nose (3 values)."),
    def<C, "set_neck_position",
        [](C& s, const A3& v) {
            return call(s, [&](MC& c) { return c.set_neck_position(v); }, list3);
        },
        "position">("builtins.list[builtins.float]",
                    "Set goal positions for the neck (3 values: yaw, pitch, roll). Returns\nthe "
                    "observed positions reported by the motor replies."),
    def<C, "set_neck_yaw_position",
        [](C& s, double v) {
            return call(s, [&](MC& c) { return c.set_single_neck_joint(0, v); }, float_result);
        },
        "position">("builtins.float", ""),
    def<C, "set_neck_pitch_position",
        [](C& s, double v) {
            return call(s, [&](MC& c) { return c.set_single_neck_joint(1, v); }, float_result);
        },
        "position">("builtins.float", ""),
    def<C, "set_neck_roll_position",
        [](C& s, double v) {
            return call(s, [&](MC& c) { return c.set_single_neck_joint(2, v); }, float_result);
        },
        "position">("builtins.float", ""),
    def<C, "neck_position_limits",
        [](C& s) {
            return call(
                s,
                [](MC&) -> Result<std::array<controller::Bounds, 3>> {
                    return controller::kNeckSafeBounds;
                },
                limits_list);
        }>("builtins.list[tuple[builtins.float, builtins.float]]",
           "Hard safety bounds (lower, upper) in rad for each neck joint.\nOrder: [yaw, pitch, "
           "roll]. Every neck setter clamps to these bounds\nbefore commanding the motor."),
    def<C, "read_neck_positions",
        [](C& s) { return call(s, [](MC& c) { return c.read_neck_positions(); }, list3); }>(
        "builtins.list[builtins.float]",
        "Read the current neck positions (yaw, pitch, roll) via a Damiao\nfeedback request."),
    def<C, "set_neck_gains",
        [](C& s, std::uint32_t index, float kp, float kd) {
            return call(s, [&](MC& c) { return c.set_neck_gains(index, kp, kd); }, none);
        },
        "index", "kp", "kd">("None",
                             "Override the MIT impedance gains (kp, kd) for a single neck "
                             "joint.\n`index`: 0=yaw, 1=pitch, 2=roll."),
    def<C, "neck_home",
        [](C& s, double speed, double tolerance, std::optional<float> kp,
           std::optional<float> kd) {
            return call(
                s,
                [&](MC& c) {
                    return c.neck_home(speed, tolerance, kp, kd, python_signal_check());
                },
                list3);
        },
        "speed=0.4", "tolerance=0.15", "kp=None", "kd=None">(
        "builtins.list[builtins.float]",
        "Home the 3 neck joints to the nearest physical zero.\n\nSnaps each goal to the nearest "
        "multiple of 2\xcf\x80 of the joint's current\nreported position \xe2\x80\x94 after a "
        "power cycle the Damiao multi-turn counter\nresets, so commanding \"go to 0\" naively "
        "could spin the head a full\nturn. Rounding keeps travel within \xc2\xb1\xcf\x80 and "
        "lands at a physically\nequivalent zero.\n\nEnables neck torque if it isn't already "
        "(does **not** disable on\nexit \xe2\x80\x94 caller owns torque lifecycle). Ramps at "
        "`speed` rad/s on a\n10 ms cycle and returns the observed positions once every joint "
        "is\nwithin `tolerance` rad of its goal. Raises on timeout.\n\n`kp` / `kd`: optional "
        "overrides applied to all three joints for the\nduration of homing (and left in place "
        "afterwards). `None` keeps the\nper-joint defaults baked into the controller."),
    def<C, "enable_neck",
        [](C& s, bool on) { return call(s, [&](MC& c) { return c.enable_neck(on); }, none); },
        "enable">("None",
                  "Enable or disable the neck motors. On enable, also forces each motor\ninto "
                  "MIT control mode."),
    def<C, "is_neck_torque_enabled",
        [](C& s) {
            return call(
                s, [](MC& c) -> Result<bool> { return c.neck_torque_enabled(); }, bool_result);
        }>("builtins.bool",
           "Last commanded torque-enable state for the neck (in-memory; the\nDamiao firmware "
           "does not expose a readable enable register)."),
    def<C, "enable_arms",
        [](C& s, bool on) { return call(s, [&](MC& c) { return c.enable_arms(on); }, none); },
        "enable">("None", "Enable or disable the arm motors."),
    def<C, "enable_nose",
        [](C& s, bool on) { return call(s, [&](MC& c) { return c.enable_nose(on); }, none); },
        "enable">("None", "Enable or disable the nose motors."),
    def<C, "write_raw_packet",
        [](C& s, const Bytes& data) {
            return call(
                s,
                [&](MC& c) -> Result<void> {
                    auto answer = c.write_raw_packet(data.data);
                    if (!answer) {
                        return std::unexpected(answer.error());
                    }
                    return {};  // the answer bytes are dropped
                },
                none);
        },
        "data">("None",
                "Write raw packet data to the serial port.\n\n# Arguments\n* `data` - Byte "
                "array of raw packet data to send."),
};

// --- the type ----------------------------------------------------------------------------

PyObject* make_controller(PyTypeObject* type, const std::optional<std::string>& serialport,
                          const std::string& can_bus) {
    auto created = MotorController::create(serialport, can_bus);
    if (!created) {
        return raise_error(created.error());
    }
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;  // the controller closes its buses on the way out
    }
    reinterpret_cast<ControllerObject*>(self.get())->guarded =
        new Guarded<MotorController>(std::move(*created));
    return self.detach();
}

const ConstructorSpec g_constructor =
    constructor<ControllerObject, make_controller, "serialport=None", "can_bus='can0'">(
        "Create a new motor controller for the given serial port and CAN bus.\n"
        "\n"
        "# Arguments\n"
        "* `serialport` - Path to (Unix) or COM ID (Windows) of the serial port.\n"
        "  Pass `None` to build a neck-only (CAN) controller; arm/nose methods\n"
        "  will then raise an exception.\n"
        "* `can_bus` - SocketCAN interface name for the neck Damiao motors (default "
        "`\"can0\"`).");

void controller_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<ControllerObject*>(self)->guarded;
    type->tp_free(self);
    Py_DECREF(type);
}

std::string type_id() { return ControllerObject::kClassName; }

const stub::Registration g_class_entry{
    stub::Class{type_id, "", ControllerObject::kClassName, "", {}, {}}};
const stub::Registration g_method_entry{method_group(type_id, &g_constructor, g_specs)};

}  // namespace

PyObject* motor_controller_type() {
    if (g_type == nullptr) {
        static PyType_Slot slots[] = {
            {Py_tp_doc, const_cast<char*>(g_constructor.tp_doc)},
            {Py_tp_new, reinterpret_cast<void*>(g_constructor.tp_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(controller_dealloc)},
            {Py_tp_methods, method_table(g_specs)},
            {0, nullptr},
        };
        static PyType_Spec spec = {"wenlo_motor_controller.WenloMotorController",
                                   sizeof(ControllerObject), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
        g_type = PyType_FromSpec(&spec);
    }
    return g_type;
}

}  // namespace wenlo::py
