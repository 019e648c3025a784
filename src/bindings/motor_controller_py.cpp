// WenloMotorController: the synchronous Python face of the motor controller. Each method
// converts its arguments first, then runs one controller operation under the controller lock.
#include "bindings/args.h"
#include "bindings/classes.h"
#include "bindings/guarded.h"
#include "bindings/interrupt.h"
#include "bindings/panic.h"
#include "controller/controller.h"

#include <new>

namespace wenlo::py {
namespace {

using controller::MotorController;
using controller::Result;

struct ControllerObject {
    PyObject_HEAD
    Guarded<MotorController>* guarded;
};

PyObject* g_type = nullptr;

Guarded<MotorController>* guarded_of(PyObject* self) {
    if (g_type == nullptr || !PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(g_type))) {
        PyErr_SetString(PyExc_TypeError, "expected a WenloMotorController instance");
        return nullptr;
    }
    return reinterpret_cast<ControllerObject*>(self)->guarded;
}

PyObject* raise_error(const controller::Error& error) {
    if (interrupted_by_python(error)) {
        return nullptr;  // the signal handler's exception (KeyboardInterrupt) is the answer
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
PyObject* call(PyObject* self, Op&& op, ToPy&& to_py) {
    Guarded<MotorController>* guarded = guarded_of(self);
    if (guarded == nullptr) {
        return nullptr;
    }
    auto outcome = guarded->run(std::forward<Op>(op));
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

#define WENLO_ENTRY(...) return guard<PyObject*>(nullptr, [&]() -> PyObject* { __VA_ARGS__ })

// --- methods without arguments -----------------------------------------------------------

PyObject* is_torque_enabled(PyObject* self, PyObject*) {
    WENLO_ENTRY(return call(
        self, [](MotorController& c) { return c.is_torque_enabled(); },
        [](bool on) { return to_python(on); }););
}

PyObject* enable_torque(PyObject* self, PyObject*) {
    WENLO_ENTRY(return call(self, [](MotorController& c) { return c.set_all_torque(true); }, none););
}

PyObject* disable_torque(PyObject* self, PyObject*) {
    WENLO_ENTRY(
        return call(self, [](MotorController& c) { return c.set_all_torque(false); }, none););
}

PyObject* read_all_positions(PyObject* self, PyObject*) {
    WENLO_ENTRY(return call(
        self, [](MotorController& c) { return c.read_all_positions(); },
        [](const std::array<double, 7>& v) { return float_list(v.data(), v.size()); }););
}

PyObject* neck_position_limits(PyObject* self, PyObject*) {
    WENLO_ENTRY(return call(
        self,
        [](MotorController&) -> Result<std::array<controller::Bounds, 3>> {
            return controller::kNeckSafeBounds;
        },
        [](const std::array<controller::Bounds, 3>& bounds) -> PyObject* {
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
        }););
}

PyObject* read_neck_positions(PyObject* self, PyObject*) {
    WENLO_ENTRY(
        return call(self, [](MotorController& c) { return c.read_neck_positions(); }, list3););
}

PyObject* is_neck_torque_enabled(PyObject* self, PyObject*) {
    WENLO_ENTRY(return call(
        self, [](MotorController& c) -> Result<bool> { return c.neck_torque_enabled(); },
        [](bool on) { return to_python(on); }););
}

// --- methods with arguments --------------------------------------------------------------

#define WENLO_FASTCALL(name) \
    PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

template <std::size_t N>
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject* (&slots)[N]) {
    return bind_fastcall(sig, args, nargs, kwnames, slots);
}

template <bool Enable>
PyObject* torque_on_ids(const char* qualname, PyObject* self, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames) {
    const Signature sig{qualname, {"ids"}, 1, true};
    PyObject* slots[1] = {};
    std::vector<std::uint8_t> ids;
    if (!bind(sig, args, nargs, kwnames, slots) || !arg(slots[0], "ids", ids)) {
        return nullptr;
    }
    return call(self, [&](MotorController& c) { return c.set_torque_on_ids(ids, Enable); }, none);
}

WENLO_FASTCALL(enable_torque_on_ids) {
    WENLO_ENTRY(return torque_on_ids<true>("WenloMotorController.enable_torque_on_ids", self, args,
                                           nargs, kwnames););
}

WENLO_FASTCALL(disable_torque_on_ids) {
    WENLO_ENTRY(return torque_on_ids<false>("WenloMotorController.disable_torque_on_ids", self,
                                            args, nargs, kwnames););
}

// The goal-position setters share one shape: one fixed-length sequence of floats.
template <std::size_t N, typename Op>
PyObject* set_positions(const char* qualname, const char* name, PyObject* self,
                        PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Op op) {
    const Signature sig{qualname, {name}, 1, true};
    PyObject* slots[1] = {};
    std::array<double, N> values{};
    if (!bind(sig, args, nargs, kwnames, slots) || !arg(slots[0], name, values)) {
        return nullptr;
    }
    return call(self, [&](MotorController& c) { return op(c, values); }, none);
}

WENLO_FASTCALL(set_all_goal_positions) {
    WENLO_ENTRY(return set_positions<7>(
        "WenloMotorController.set_all_goal_positions", "positions", self, args, nargs, kwnames,
        [](MotorController& c, const std::array<double, 7>& v) {
            return c.set_all_goal_positions(v);
        }););
}

WENLO_FASTCALL(set_left_arm_position) {
    WENLO_ENTRY(return set_positions<2>(
        "WenloMotorController.set_left_arm_position", "position", self, args, nargs, kwnames,
        [](MotorController& c, const std::array<double, 2>& v) {
            return c.set_left_arm_position(v);
        }););
}

WENLO_FASTCALL(set_right_arm_position) {
    WENLO_ENTRY(return set_positions<2>(
        "WenloMotorController.set_right_arm_position", "position", self, args, nargs, kwnames,
        [](MotorController& c, const std::array<double, 2>& v) {
            return c.set_right_arm_position(v);
        }););
}

WENLO_FASTCALL(set_arms_position) {
    WENLO_ENTRY(return set_positions<4>(
        "WenloMotorController.set_arms_position", "position", self, args, nargs, kwnames,
        [](MotorController& c, const std::array<double, 4>& v) {
            return c.set_arms_position(v);
        }););
}

WENLO_FASTCALL(set_nose_position) {
    WENLO_ENTRY(return set_positions<3>(
        "WenloMotorController.set_nose_position", "position", self, args, nargs, kwnames,
        [](MotorController& c, const std::array<double, 3>& v) {
            return c.set_nose_position(v);
        }););
}

WENLO_FASTCALL(set_neck_position) {
    WENLO_ENTRY({
        const Signature sig{"WenloMotorController.set_neck_position", {"position"}, 1, true};
        PyObject* slots[1] = {};
        std::array<double, 3> values{};
        if (!bind(sig, args, nargs, kwnames, slots) || !arg(slots[0], "position", values)) {
            return nullptr;
        }
        return call(
            self, [&](MotorController& c) { return c.set_neck_position(values); }, list3);
    });
}

PyObject* single_joint(const char* qualname, std::size_t index, PyObject* self,
                       PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Signature sig{qualname, {"position"}, 1, true};
    PyObject* slots[1] = {};
    double position = 0.0;
    if (!bind(sig, args, nargs, kwnames, slots) || !arg(slots[0], "position", position)) {
        return nullptr;
    }
    return call(
        self, [&](MotorController& c) { return c.set_single_neck_joint(index, position); },
        [](double v) { return to_python(v); });
}

WENLO_FASTCALL(set_neck_yaw_position) {
    WENLO_ENTRY(return single_joint("WenloMotorController.set_neck_yaw_position", 0, self, args,
                                    nargs, kwnames););
}
WENLO_FASTCALL(set_neck_pitch_position) {
    WENLO_ENTRY(return single_joint("WenloMotorController.set_neck_pitch_position", 1, self, args,
                                    nargs, kwnames););
}
WENLO_FASTCALL(set_neck_roll_position) {
    WENLO_ENTRY(return single_joint("WenloMotorController.set_neck_roll_position", 2, self, args,
                                    nargs, kwnames););
}

WENLO_FASTCALL(set_neck_gains) {
    WENLO_ENTRY({
        const Signature sig{"WenloMotorController.set_neck_gains", {"index", "kp", "kd"}, 3, true};
        PyObject* slots[3] = {};
        std::uint32_t index = 0;
        float kp = 0.0f;
        float kd = 0.0f;
        if (!bind(sig, args, nargs, kwnames, slots) || !arg(slots[0], "index", index) ||
            !arg(slots[1], "kp", kp) || !arg(slots[2], "kd", kd)) {
            return nullptr;
        }
        return call(
            self, [&](MotorController& c) { return c.set_neck_gains(index, kp, kd); }, none);
    });
}

WENLO_FASTCALL(neck_home) {
    WENLO_ENTRY({
        const Signature sig{
            "WenloMotorController.neck_home", {"speed", "tolerance", "kp", "kd"}, 0, true};
        PyObject* slots[4] = {};
        double speed = 0.4;
        double tolerance = 0.15;
        std::optional<float> kp;
        std::optional<float> kd;
        if (!bind(sig, args, nargs, kwnames, slots) || !arg(slots[0], "speed", speed) ||
            !arg(slots[1], "tolerance", tolerance) || !arg(slots[2], "kp", kp) ||
            !arg(slots[3], "kd", kd)) {
            return nullptr;
        }
        return call(
            self,
            [&](MotorController& c) {
                return c.neck_home(speed, tolerance, kp, kd, python_signal_check());
            },
            list3);
    });
}

template <typename Op>
PyObject* enable_method(const char* qualname, PyObject* self, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames, Op op) {
    const Signature sig{qualname, {"enable"}, 1, true};
    PyObject* slots[1] = {};
    bool enable = false;
    if (!bind(sig, args, nargs, kwnames, slots) || !arg(slots[0], "enable", enable)) {
        return nullptr;
    }
    return call(self, [&](MotorController& c) { return op(c, enable); }, none);
}

WENLO_FASTCALL(enable_neck) {
    WENLO_ENTRY(return enable_method(
        "WenloMotorController.enable_neck", self, args, nargs, kwnames,
        [](MotorController& c, bool on) { return c.enable_neck(on); }););
}
WENLO_FASTCALL(enable_arms) {
    WENLO_ENTRY(return enable_method(
        "WenloMotorController.enable_arms", self, args, nargs, kwnames,
        [](MotorController& c, bool on) { return c.enable_arms(on); }););
}
WENLO_FASTCALL(enable_nose) {
    WENLO_ENTRY(return enable_method(
        "WenloMotorController.enable_nose", self, args, nargs, kwnames,
        [](MotorController& c, bool on) { return c.enable_nose(on); }););
}

WENLO_FASTCALL(write_raw_packet) {
    WENLO_ENTRY({
        const Signature sig{"WenloMotorController.write_raw_packet", {"data"}, 1, true};
        PyObject* slots[1] = {};
        Bytes data;
        if (!bind(sig, args, nargs, kwnames, slots) || !arg(slots[0], "data", data)) {
            return nullptr;
        }
        return call(
            self,
            [&](MotorController& c) -> Result<void> {
                auto answer = c.write_raw_packet(data.data);
                if (!answer) {
                    return std::unexpected(answer.error());
                }
                return {};  // the answer bytes are dropped
            },
            none);
    });
}

// --- the type ----------------------------------------------------------------------------

PyObject* controller_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    WENLO_ENTRY({
        static const Signature sig{"WenloMotorController", {"serialport", "can_bus"}, 0, false};
        PyObject* slots[2] = {};
        std::optional<std::string> serialport;
        std::string can_bus = "can0";
        if (!bind_tuple(sig, args, kwargs, slots) || !arg(slots[0], "serialport", serialport) ||
            !arg(slots[1], "can_bus", can_bus)) {
            return nullptr;
        }
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
    });
}

void controller_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<ControllerObject*>(self)->guarded;
    type->tp_free(self);
    Py_DECREF(type);
}

#define FAST(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))
constexpr int kArgs = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef g_methods[] = {
    {"is_torque_enabled", is_torque_enabled, METH_NOARGS,
     "is_torque_enabled($self)\n--\n\nIs torque enabled on all motors"},
    {"enable_torque", enable_torque, METH_NOARGS,
     "enable_torque($self)\n--\n\nEnable torque on all motors."},
    {"enable_torque_on_ids", FAST(enable_torque_on_ids), kArgs,
     "enable_torque_on_ids($self, ids)\n--\n\nEnable torque on ids"},
    {"disable_torque", disable_torque, METH_NOARGS,
     "disable_torque($self)\n--\n\nDisable torque on all motors."},
    {"disable_torque_on_ids", FAST(disable_torque_on_ids), kArgs,
     "disable_torque_on_ids($self, ids)\n--\n\nDisable torque on ids"},
    {"read_all_positions", read_all_positions, METH_NOARGS,
     "read_all_positions($self)\n--\n\nRead all motor positions as a 7-element array.\nOrder: "
     "[left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, nose_left, "
     "nose_right]"},
    {"set_all_goal_positions", FAST(set_all_goal_positions), kArgs,
     "set_all_goal_positions($self, positions)\n--\n\nSet goal positions for all motors (7 "
     "values).\n\n# Arguments\n* `positions` - Array of 7 goal positions\n  (left_arm_pitch, "
     "left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, nose_left, nose_right)."},
    {"set_left_arm_position", FAST(set_left_arm_position), kArgs,
     "set_left_arm_position($self, position)\n--\n\nSet goal positions for the left arm (2 "
     "values: pitch, yaw)."},
    {"set_right_arm_position", FAST(set_right_arm_position), kArgs,
     "set_right_arm_position($self, position)\n--\n\nSet goal positions for the right arm (2 "
     "values: pitch, yaw)."},
    {"set_arms_position", FAST(set_arms_position), kArgs,
     "set_arms_position($self, position)\n--\n\nSet goal positions for both arms (4 values: left "
     "pitch, left yaw, right pitch, right yaw)."},
    {"set_nose_position", FAST(set_nose_position), kArgs,
     "set_nose_position($self, position)\n--\n\nSet goal positions for the nose (3 values)."},
    {"set_neck_position", FAST(set_neck_position), kArgs,
     "set_neck_position($self, position)\n--\n\nSet goal positions for the neck (3 values: yaw, "
     "pitch, roll). Returns\nthe observed positions reported by the motor replies."},
    {"set_neck_yaw_position", FAST(set_neck_yaw_position), kArgs,
     "set_neck_yaw_position($self, position)\n--\n\n"},
    {"set_neck_pitch_position", FAST(set_neck_pitch_position), kArgs,
     "set_neck_pitch_position($self, position)\n--\n\n"},
    {"set_neck_roll_position", FAST(set_neck_roll_position), kArgs,
     "set_neck_roll_position($self, position)\n--\n\n"},
    {"neck_position_limits", neck_position_limits, METH_NOARGS,
     "neck_position_limits($self)\n--\n\nHard safety bounds (lower, upper) in rad for each neck "
     "joint.\nOrder: [yaw, pitch, roll]. Every neck setter clamps to these bounds\nbefore "
     "commanding the motor."},
    {"read_neck_positions", read_neck_positions, METH_NOARGS,
     "read_neck_positions($self)\n--\n\nRead the current neck positions (yaw, pitch, roll) via a "
     "Damiao\nfeedback request."},
    {"set_neck_gains", FAST(set_neck_gains), kArgs,
     "set_neck_gains($self, index, kp, kd)\n--\n\nOverride the MIT impedance gains (kp, kd) for "
     "a single neck joint.\n`index`: 0=yaw, 1=pitch, 2=roll."},
    {"neck_home", FAST(neck_home), kArgs,
     "neck_home($self, speed=0.4, tolerance=0.15, kp=None, kd=None)\n--\n\nHome the 3 neck "
     "joints to the nearest physical zero.\n\nSnaps each goal to the nearest multiple of 2\xcf\x80 "
     "of the joint's current\nreported position \xe2\x80\x94 after a power cycle the Damiao "
     "multi-turn counter\nresets, so commanding \"go to 0\" naively could spin the head a "
     "full\nturn. Rounding keeps travel within \xc2\xb1\xcf\x80 and lands at a physically\n"
     "equivalent zero.\n\nEnables neck torque if it isn't already (does **not** disable "
     "on\nexit \xe2\x80\x94 caller owns torque lifecycle). Ramps at `speed` rad/s on a\n10 ms "
     "cycle and returns the observed positions once every joint is\nwithin `tolerance` rad of "
     "its goal. Raises on timeout.\n\n`kp` / `kd`: optional overrides applied to all three "
     "joints for the\nduration of homing (and left in place afterwards). `None` keeps the\n"
     "per-joint defaults baked into the controller."},
    {"enable_neck", FAST(enable_neck), kArgs,
     "enable_neck($self, enable)\n--\n\nEnable or disable the neck motors. On enable, also "
     "forces each motor\ninto MIT control mode."},
    {"is_neck_torque_enabled", is_neck_torque_enabled, METH_NOARGS,
     "is_neck_torque_enabled($self)\n--\n\nLast commanded torque-enable state for the neck "
     "(in-memory; the\nDamiao firmware does not expose a readable enable register)."},
    {"enable_arms", FAST(enable_arms), kArgs,
     "enable_arms($self, enable)\n--\n\nEnable or disable the arm motors."},
    {"enable_nose", FAST(enable_nose), kArgs,
     "enable_nose($self, enable)\n--\n\nEnable or disable the nose motors."},
    {"write_raw_packet", FAST(write_raw_packet), kArgs,
     "write_raw_packet($self, data)\n--\n\nWrite raw packet data to the serial port.\n\n# "
     "Arguments\n* `data` - Byte array of raw packet data to send."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>("WenloMotorController(serialport=None, can_bus=...)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(controller_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(controller_dealloc)},
    {Py_tp_methods, g_methods},
    {0, nullptr},
};

PyType_Spec g_spec = {"wenlo_motor_controller.WenloMotorController", sizeof(ControllerObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, g_slots};

}  // namespace

PyObject* motor_controller_type() {
    if (g_type == nullptr) {
        g_type = PyType_FromSpec(&g_spec);
    }
    return g_type;
}

}  // namespace wenlo::py
