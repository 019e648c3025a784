// Interruptions: Python's signal handlers run at the interruption checks that long operations
// below the boundary ask between their steps, so that Ctrl-C stops a homing neck or a start-up
// wait. A handler may also run inside a logging call that an operation makes on the caller's
// thread; its exception (KeyboardInterrupt) cannot pass through the layers, so it is kept
// and raised at the operation's next interruption check, or when the call returns to Python.
#pragma once

#include "bindings/py_ref.h"
#include "controller/error.h"

namespace wenlo::py {

// Marks a call from Python into the module on this thread, for its whole length; the outermost
// one ends with finish(), which raises a kept signal exception in place of the result.
class CallScope {
  public:
    CallScope();
    ~CallScope();
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
    PyObject* finish(PyObject* result);
};

// With an exception pending that logging raised: keeps it and returns true when it is a
// signal's (not an Exception: KeyboardInterrupt, SystemExit) and a call from Python is running
// on this thread; otherwise leaves it pending and returns false.
bool keep_signal_exception();

// True, with the exception pending, when a kept signal exception or a signal handler asks the
// operation to stop.
bool interruption_pending();

inline controller::InterruptCheck python_signal_check() {
    return [] { return interruption_pending(); };
}

// True when an operation stopped because a signal handler raised; that exception is pending.
inline bool interrupted_by_python(const controller::Error& error) {
    return error.is_interruption() && PyErr_Occurred() != nullptr;
}

}  // namespace wenlo::py
