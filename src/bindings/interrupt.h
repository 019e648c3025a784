// The interruption check that long operations below the boundary ask between their steps: it
// runs Python's signal handlers, so that Ctrl-C stops a homing neck or a start-up wait. Call
// the operation with the interpreter lock held; an exception raised by a handler stays pending
// and is what the caller raises.
#pragma once

#include "bindings/py_ref.h"
#include "controller/error.h"

namespace wenlo::py {

inline controller::InterruptCheck python_signal_check() {
    return [] { return PyErr_CheckSignals() != 0; };
}

// True when an operation stopped because a signal handler raised; that exception is pending.
inline bool interrupted_by_python(const controller::Error& error) {
    return error.is_interruption() && PyErr_Occurred() != nullptr;
}

}  // namespace wenlo::py
