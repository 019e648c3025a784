#include "bindings/interrupt.h"

#include <utility>

namespace wenlo::py {
namespace {

// Per thread: how deep calls from Python are nested, and the signal exception kept for the
// outermost one (owned; never outlives that call, so no thread ends holding it).
thread_local int t_depth = 0;
thread_local PyObject* t_kept = nullptr;

void raise_again(Ref value) {
    PyObject* exception = value.detach();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
    Py_INCREF(type);
    PyErr_Restore(type, exception, PyException_GetTraceback(exception));
}

}  // namespace

CallScope::CallScope() {
    ++t_depth;
}

CallScope::~CallScope() {
    --t_depth;
}

PyObject* CallScope::finish(PyObject* result) {
    if (t_depth != 1 || t_kept == nullptr) {
        return result;  // a nested call leaves the kept exception to the outermost
    }
    Ref other = PyErr_Occurred() != nullptr ? take_pending_exception() : Ref();
    Py_XDECREF(result);
    Ref kept = Ref::steal(std::exchange(t_kept, nullptr));
    if (other) {
        PyException_SetContext(kept.get(), other.detach());  // "During handling of ..."
    }
    raise_again(std::move(kept));
    return nullptr;
}

bool keep_signal_exception() {
    PyObject* pending = PyErr_Occurred();
    if (t_depth == 0 || pending == nullptr ||
        PyErr_GivenExceptionMatches(pending, PyExc_Exception)) {
        return false;
    }
    Ref exception = take_pending_exception();
    if (t_kept == nullptr) {
        t_kept = exception.detach();  // the first one stops the operation; later ones add nothing
    }
    return true;
}

bool interruption_pending() {
    if (t_kept != nullptr) {
        raise_again(Ref::steal(std::exchange(t_kept, nullptr)));
        return true;
    }
    return PyErr_CheckSignals() != 0;
}

}  // namespace wenlo::py
