// The Python classes the module registers; each is created once per process on first use.
#pragma once

#include "bindings/py_ref.h"

namespace wenlo::py {

// Borrowed references; null with an exception set if a class could not be created.
PyObject* motor_controller_type();
PyObject* control_loop_type();
PyObject* torso_position_type();
PyObject* loop_stats_type();
PyObject* joint_health_type();

// Called from the module's exit hook: closes every control loop that is still running, and
// leaves the motors of every controller still open as its on_exit says.
void close_running_loops();
void let_go_of_open_controllers();

}  // namespace wenlo::py
