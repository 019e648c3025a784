#include "bindings/panic.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace wenlo::py {
namespace {

[[noreturn]] void abort_at_boundary() {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
}

}  // namespace

PyObject* panic_exception_type() {
    // Process-wide by design: one class for every interpreter that ever sees it.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("wenlo_motor_controller.PanicException",
                                         "An internal invariant of wenlo_motor_controller failed.",
                                         PyExc_BaseException, nullptr);
    }
    return type;
}

void raise_panic(const std::string& message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        abort_at_boundary();
    }
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) {
        abort_at_boundary();
    }
    PyErr_SetObject(type, text.get());
}

}  // namespace wenlo::py
