#include "bindings/value_types.h"

#include "bindings/args.h"
#include "bindings/method_def.h"
#include "bindings/panic.h"
#include "common/float_format.h"

#include <chrono>
#include <new>
#include <string>

namespace wenlo::py {
namespace {

struct TorsoObject {
    PyObject_HEAD
    TorsoValues values;

    static constexpr const char* kClassName = "WenloTorsoPosition";
};

struct StatsObject {
    PyObject_HEAD
    std::vector<double> period;
    std::vector<double> read_dt;
    std::vector<double> write_dt;
};

template <std::size_t N>
std::string list_repr(const std::array<double, N>& values) {
    std::string text = "[";
    for (std::size_t i = 0; i < N; ++i) {
        if (i > 0) {
            text += ", ";
        }
        text += fmt::float_repr(values[i]);
    }
    return text + "]";
}

PyObject* make_torso(PyTypeObject* type, const std::vector<double>& left,
                     const std::vector<double>& right, const std::vector<double>& nose,
                     const std::vector<double>& neck) {
    if (left.size() != 2 || right.size() != 2 || nose.size() != 3 || neck.size() != 3) {
        panic("Each arm must have 2 positions, nose must have 3, neck must have 3.");
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    auto* obj = reinterpret_cast<TorsoObject*>(self);
    new (&obj->values) TorsoValues{};
    std::copy(left.begin(), left.end(), obj->values.left_arm.begin());
    std::copy(right.begin(), right.end(), obj->values.right_arm.begin());
    std::copy(nose.begin(), nose.end(), obj->values.nose.begin());
    std::copy(neck.begin(), neck.end(), obj->values.neck.begin());
    obj->values.timestamp = control_loop::unix_time_now();
    return self;
}

const ConstructorSpec torso_constructor =
    constructor<TorsoObject, make_torso, "left_arm", "right_arm", "nose", "neck">("");

void torso_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

const TorsoValues& torso(PyObject* self) {
    return reinterpret_cast<TorsoObject*>(self)->values;
}

PyObject* get_left_arm(PyObject* self, void*) {
    return float_list(torso(self).left_arm.data(), 2);
}
PyObject* get_right_arm(PyObject* self, void*) {
    return float_list(torso(self).right_arm.data(), 2);
}
PyObject* get_nose(PyObject* self, void*) {
    return float_list(torso(self).nose.data(), 3);
}
PyObject* get_neck(PyObject* self, void*) {
    return float_list(torso(self).neck.data(), 3);
}
PyObject* get_timestamp(PyObject* self, void*) {
    return PyFloat_FromDouble(torso(self).timestamp);
}

PyObject* torso_repr(PyObject* self) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        const TorsoValues& v = torso(self);
        const std::string text = "WenloTorsoPosition(left_arm=" + list_repr(v.left_arm) +
                                 ", right_arm=" + list_repr(v.right_arm) +
                                 ", nose=" + list_repr(v.nose) + ", neck=" + list_repr(v.neck) +
                                 ", timestamp=" + fmt::fixed(v.timestamp, 3) + ")";
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

constexpr const char* kFloats = "builtins.list[builtins.float]";

const GetterSpec torso_attributes[] = {
    attribute("left_arm", get_left_arm, kFloats),
    attribute("right_arm", get_right_arm, kFloats),
    attribute("nose", get_nose, kFloats),
    attribute("neck", get_neck, kFloats, "Neck joint positions in rad: [yaw, pitch, roll]."),
    attribute("timestamp", get_timestamp, "builtins.float"),
};
const MethodSpec torso_methods[] = {slot_method("__repr__", "builtins.str")};

PyType_Slot torso_slots[] = {
    {Py_tp_doc, const_cast<char*>(torso_constructor.tp_doc)},
    {Py_tp_new, reinterpret_cast<void*>(torso_constructor.tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(torso_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(torso_repr)},
    {Py_tp_getset, getset_table(torso_attributes)},
    {0, nullptr},
};

PyType_Spec torso_spec = {"wenlo_motor_controller.WenloTorsoPosition", sizeof(TorsoObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, torso_slots};

StatsObject* stats(PyObject* self) {
    return reinterpret_cast<StatsObject*>(self);
}

PyObject* vector_list(const std::vector<double>& values) {
    return float_list(values.data(), values.size());
}

PyObject* get_period(PyObject* self, void*) {
    return vector_list(stats(self)->period);
}
PyObject* get_read_dt(PyObject* self, void*) {
    return vector_list(stats(self)->read_dt);
}
PyObject* get_write_dt(PyObject* self, void*) {
    return vector_list(stats(self)->write_dt);
}

std::string mean_ms(const std::vector<double>& samples) {
    double sum = -0.0;
    for (double s : samples) {
        sum += s;
    }
    return fmt::fixed(sum / static_cast<double>(samples.size()) * 1000.0, 2);
}

PyObject* stats_repr(PyObject* self) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        const StatsObject* s = stats(self);
        const std::string text = "ControlLoopStats(period=~" + mean_ms(s->period) +
                                 "ms, read_dt=~" + mean_ms(s->read_dt) + " ms, write_dt=~" +
                                 mean_ms(s->write_dt) + " ms)";
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

void stats_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    StatsObject* s = stats(self);
    s->period.~vector();
    s->read_dt.~vector();
    s->write_dt.~vector();
    type->tp_free(self);
    Py_DECREF(type);
}

const GetterSpec stats_attributes[] = {
    attribute("period", get_period, kFloats),
    attribute("read_dt", get_read_dt, kFloats),
    attribute("write_dt", get_write_dt, kFloats),
};

PyType_Slot stats_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(stats_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(stats_repr)},
    {Py_tp_getset, getset_table(stats_attributes)},
    {0, nullptr},
};

PyType_Spec stats_spec = {
    "wenlo_motor_controller.ControlLoopStats", sizeof(StatsObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, stats_slots};

PyObject* create_once(PyObject*& slot, PyType_Spec& spec) {
    if (slot == nullptr) {
        slot = PyType_FromSpec(&spec);
    }
    return slot;
}

PyObject* g_torso_type = nullptr;
PyObject* g_stats_type = nullptr;

std::string torso_id() {
    return TorsoObject::kClassName;
}
std::string stats_id() {
    return "ControlLoopStats";
}

// ControlLoopStats has no method group: it cannot be built from Python, and its __repr__ is
// left out of the stub.
const stub::Registration torso_class{
    stub::Class{torso_id, "", TorsoObject::kClassName, "", members(torso_attributes), {}}};
const stub::Registration torso_group{method_group(torso_id, &torso_constructor, torso_methods)};
const stub::Registration stats_class{
    stub::Class{stats_id, "", "ControlLoopStats", "", members(stats_attributes), {}}};

}  // namespace

PyObject* torso_position_type() {
    return create_once(g_torso_type, torso_spec);
}
PyObject* loop_stats_type() {
    return create_once(g_stats_type, stats_spec);
}

PyObject* new_torso_position(const TorsoValues& values) {
    auto* type = reinterpret_cast<PyTypeObject*>(torso_position_type());
    if (type == nullptr) {
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        new (&reinterpret_cast<TorsoObject*>(self)->values) TorsoValues(values);
    }
    return self;
}

PyObject* new_loop_stats(std::vector<double> period, std::vector<double> read_dt,
                         std::vector<double> write_dt) {
    auto* type = reinterpret_cast<PyTypeObject*>(loop_stats_type());
    if (type == nullptr) {
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        StatsObject* s = stats(self);
        new (&s->period) std::vector<double>(std::move(period));
        new (&s->read_dt) std::vector<double>(std::move(read_dt));
        new (&s->write_dt) std::vector<double>(std::move(write_dt));
    }
    return self;
}

bool torso_values(PyObject* obj, TorsoValues& out) {
    PyObject* type = torso_position_type();
    if (type == nullptr) {
        return false;
    }
    if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type))) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'WenloTorsoPosition'",
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    out = torso(obj);
    return true;
}

bool convert(PyObject* obj, TorsoValues& out) {
    return torso_values(obj, out);
}

}  // namespace wenlo::py
