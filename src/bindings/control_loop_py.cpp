// WenloPyControlLoop: registered with its signature and argument conversion. The background
// loop behind it is not built yet, so construction reports that after checking the arguments.
#include "bindings/args.h"
#include "bindings/classes.h"
#include "bindings/panic.h"

namespace wenlo::py {
namespace {

struct LoopObject {
    PyObject_HEAD
};

PyObject* loop_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Signature sig{"WenloPyControlLoop",
                                   {"serialport", "read_position_loop_period", "can_bus",
                                    "allowed_retries", "stats_pub_period",
                                    "voltage_rampup_timeout"},
                                   2,
                                   false};
        PyObject* slots[6] = {};
        std::optional<std::string> serialport;
        Duration period;
        std::string can_bus = "can0";
        std::uint64_t allowed_retries = 5;
        std::optional<Duration> stats_pub_period;
        Duration voltage_rampup_timeout{30, 0};
        if (!bind_tuple(sig, args, kwargs, slots) || !arg(slots[0], "serialport", serialport) ||
            !arg(slots[1], "read_position_loop_period", period) ||
            !arg(slots[2], "can_bus", can_bus) ||
            !arg(slots[3], "allowed_retries", allowed_retries) ||
            !arg(slots[4], "stats_pub_period", stats_pub_period) ||
            !arg(slots[5], "voltage_rampup_timeout", voltage_rampup_timeout)) {
            return nullptr;
        }
        PyErr_SetString(PyExc_NotImplementedError,
                        "the background control loop is not available in this build");
        return nullptr;
    });
}

void loop_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot g_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("WenloPyControlLoop(serialport, read_position_loop_period, can_bus=..., "
                       "allowed_retries=5, stats_pub_period=None, voltage_rampup_timeout=...)\n"
                       "--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(loop_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(loop_dealloc)},
    {0, nullptr},
};

PyType_Spec g_spec = {"wenlo_motor_controller.WenloPyControlLoop", sizeof(LoopObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, g_slots};

PyObject* g_type = nullptr;

}  // namespace

void close_running_loops() {
    // No loop can be built yet, so none can be running.
}

PyObject* control_loop_type() {
    if (g_type == nullptr) {
        g_type = PyType_FromSpec(&g_spec);
    }
    return g_type;
}

}  // namespace wenlo::py
