// JointHealth: what one joint last reported and whether it answers, as an immutable value. Built
// only by the module, from a controller's health record.
#include "bindings/joint_health.h"

#include "bindings/args.h"
#include "bindings/method_def.h"
#include "common/float_format.h"

#include <cmath>
#include <limits>
#include <new>
#include <string>

namespace wenlo::py {
namespace {

struct HealthObject {
    PyObject_HEAD
    std::string name;
    controller::JointReport report;
    double age;  // seconds since it last answered, when the value was made; inf if never
};

HealthObject* health(PyObject* self) {
    return reinterpret_cast<HealthObject*>(self);
}

PyObject* optional_float(const std::optional<double>& value) {
    if (!value) {
        Py_RETURN_NONE;
    }
    return to_python(*value);
}

PyObject* get_name(PyObject* self, void*) {
    const std::string& name = health(self)->name;
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}
PyObject* get_position(PyObject* self, void*) {
    return optional_float(health(self)->report.position);
}
PyObject* get_velocity(PyObject* self, void*) {
    return optional_float(health(self)->report.velocity);
}
PyObject* get_effort(PyObject* self, void*) {
    return optional_float(health(self)->report.effort);
}
PyObject* get_temperature(PyObject* self, void*) {
    return optional_float(health(self)->report.temperature);
}
PyObject* get_voltage(PyObject* self, void*) {
    return optional_float(health(self)->report.voltage);
}
PyObject* get_faults(PyObject* self, void*) {
    const auto names = controller::fault_names(health(self)->report.faults);
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
    for (std::size_t i = 0; list && i < names.size(); ++i) {
        PyObject* text =
            PyUnicode_FromStringAndSize(names[i].data(), static_cast<Py_ssize_t>(names[i].size()));
        if (text == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
    }
    return list.detach();
}
PyObject* get_age(PyObject* self, void*) {
    return to_python(health(self)->age);
}
PyObject* get_failures(PyObject* self, void*) {
    return PyLong_FromUnsignedLong(health(self)->report.failures);
}

std::string optional_repr(const std::optional<double>& value) {
    return value ? fmt::float_repr(*value) : "None";
}

PyObject* health_repr(PyObject* self) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        const HealthObject* h = health(self);
        const controller::JointReport& r = h->report;
        std::string faults = "[";
        for (std::string_view name : controller::fault_names(r.faults)) {
            faults += (faults.size() > 1 ? ", '" : "'") + std::string(name) + "'";
        }
        const std::string age = std::isinf(h->age) ? "inf" : fmt::fixed(h->age, 3);
        const std::string text =
            "JointHealth(name='" + h->name + "', position=" + optional_repr(r.position) +
            ", velocity=" + optional_repr(r.velocity) + ", effort=" + optional_repr(r.effort) +
            ", temperature=" + optional_repr(r.temperature) +
            ", voltage=" + optional_repr(r.voltage) + ", faults=" + faults + "], age=" + age +
            ", failures=" + std::to_string(r.failures) + ")";
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

void health_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    health(self)->name.~basic_string();
    health(self)->report.~JointReport();
    type->tp_free(self);
    Py_DECREF(type);
}

constexpr const char* kOptionalFloat = "typing.Optional[builtins.float]";

const GetterSpec health_attributes[] = {
    attribute("name", get_name, "builtins.str", "The joint's name in the motor layout."),
    attribute("position", get_position, kOptionalFloat, "rad"),
    attribute("velocity", get_velocity, kOptionalFloat, "rad/s"),
    attribute("effort", get_effort, kOptionalFloat,
              "Servos: load as a fraction of full load, -1 to 1.\nNeck: torque in the motor's "
              "unit."),
    attribute("temperature", get_temperature, kOptionalFloat,
              "Degrees Celsius; for the neck, the hotter of MOS and rotor."),
    attribute("voltage", get_voltage, kOptionalFloat, "V, servos only."),
    attribute("faults", get_faults, "builtins.list[builtins.str]",
              "Active faults by name. Servos: \"voltage\", \"angle\", \"overheat\",\n"
              "\"overcurrent\", \"overload\". Neck: \"overvoltage\", \"undervoltage\",\n"
              "\"overcurrent\", \"mos_overheat\", \"rotor_overheat\", \"comm_lost\",\n"
              "\"overload\"."),
    attribute("age", get_age, "builtins.float",
              "Seconds since this joint last answered; math.inf if it never has."),
    attribute("failures", get_failures, "builtins.int",
              "Consecutive reads in which this joint did not answer; 0 while it answers."),
};

const char* const kDoc =
    "What one joint last reported, and whether it answers (an extension). Values\n"
    "the joint has not reported are None: a servo's velocity, effort, temperature\n"
    "and voltage come from telemetry reads only.";

PyType_Slot health_slots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(health_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(health_repr)},
    {Py_tp_getset, getset_table(health_attributes)},
    {0, nullptr},
};

PyType_Spec health_spec = {
    "wenlo_motor_controller.JointHealth", sizeof(HealthObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    health_slots};

PyObject* g_health_type = nullptr;

std::string health_id() {
    return "JointHealth";
}

const stub::Registration health_class{
    stub::Class{health_id, "", "JointHealth", kDoc, members(health_attributes), {}}};

PyObject* new_joint_health(std::string_view name, const controller::JointReport& report,
                           std::chrono::steady_clock::time_point now) {
    auto* type = reinterpret_cast<PyTypeObject*>(joint_health_type());
    if (type == nullptr) {
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        HealthObject* h = health(self);
        new (&h->name) std::string(name);
        new (&h->report) controller::JointReport(report);
        h->age = report.last_answer
                     ? std::chrono::duration<double>(now - *report.last_answer).count()
                     : std::numeric_limits<double>::infinity();
    }
    return self;
}

}  // namespace

PyObject* joint_health_type() {
    if (g_health_type == nullptr) {
        g_health_type = PyType_FromSpec(&health_spec);
    }
    return g_health_type;
}

PyObject* ToPython<BodyHealth>::convert(const BodyHealth& body) {
    const auto now = std::chrono::steady_clock::now();
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) {
        return nullptr;
    }
    for (std::size_t i = body.servos ? 0 : controller::kNeckJointRange.first;
         i < controller::kJoints.size(); ++i) {
        const std::string_view name = controller::kJoints[i].name;
        Ref value = Ref::steal(new_joint_health(name, body.report[i], now));
        if (!value ||
            PyDict_SetItemString(dict.get(), std::string(name).c_str(), value.get()) < 0) {
            return nullptr;
        }
    }
    return dict.detach();
}

}  // namespace wenlo::py
