// The Python classes the module registers; each is created once per process on first use.
#pragma once

#include "bindings/py_ref.h"

namespace wenlo::py {

PyObject* motor_controller_type();  // borrowed
PyObject* control_loop_type();      // borrowed

// Closes every control loop that is still running; called from the module's exit hook.
void close_running_loops();

}  // namespace wenlo::py
