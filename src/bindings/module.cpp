// The entry point: one module object per process, the logging bridge, the four classes.
#include "bindings/classes.h"
#include "bindings/convert.h"
#include "bindings/log_bridge.h"
#include "bindings/panic.h"

#include <atomic>
#include <cstdint>

namespace wenlo::py {
namespace {

std::atomic<std::int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;  // kept for the life of the process

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "wenlo_motor_controller",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Runs before finalization: every control loop still running is closed here, so that no
// worker thread is left to log into an interpreter that is going away. The logging bridge
// itself stays on, for the exit handlers that run after this one.
PyObject* at_exit(PyObject*, PyObject*) {
    return guard<PyObject*>(nullptr, [] {
        close_running_loops();
        let_go_of_open_controllers();
        Py_RETURN_NONE;
    });
}

PyMethodDef g_at_exit_def = {"_wenlo_motor_controller_shutdown", at_exit, METH_NOARGS, nullptr};

bool register_at_exit() {
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    Ref hook = Ref::steal(PyCFunction_New(&g_at_exit_def, nullptr));
    if (!atexit || !hook) {
        return false;
    }
    Ref done = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
    return static_cast<bool>(done);
}

bool add_class(PyObject* module, PyObject* all, const char* name, PyObject* type) {
    if (type == nullptr || PyModule_AddObjectRef(module, name, type) < 0) {
        return false;
    }
    Ref text = Ref::steal(PyUnicode_FromString(name));
    return text && PyList_Append(all, text.get()) == 0;
}

bool module_body(PyObject* module) {
    if (!install_log_bridge() || !init_datetime() || !register_at_exit()) {
        return false;
    }
    Ref all = Ref::steal(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) {
        return false;
    }
    // JointHealth, an extension, is importable by name but not one of the four in __all__.
    PyObject* health = joint_health_type();
    return add_class(module, all.get(), "WenloMotorController", motor_controller_type()) &&
           add_class(module, all.get(), "WenloPyControlLoop", control_loop_type()) &&
           add_class(module, all.get(), "WenloTorsoPosition", torso_position_type()) &&
           add_class(module, all.get(), "ControlLoopStats", loop_stats_type()) &&
           health != nullptr && PyModule_AddObjectRef(module, "JointHealth", health) == 0 &&
           PyModule_AddStringConstant(module, "__version__", WENLO_VERSION) == 0;
}

PyObject* initialise() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "wenlo_motor_controller does not support subinterpreters: it can only be "
                        "imported once per process, in the main interpreter");
        return nullptr;
    }
    if (g_module != nullptr) {
        return Py_NewRef(g_module);
    }
    Ref module = Ref::steal(PyModule_Create(&g_module_def));
    if (!module || !module_body(module.get())) {
        return nullptr;
    }
    g_module = Py_NewRef(module.get());
    return module.detach();
}

}  // namespace
}  // namespace wenlo::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_wenlo_motor_controller() {
    return wenlo::py::guard<PyObject*>(nullptr, [] { return wenlo::py::initialise(); });
}
