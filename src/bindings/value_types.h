// The two immutable value classes that carry data to Python.
#pragma once

#include "bindings/py_ref.h"
#include "control_loop/torso_position.h"

#include <array>
#include <vector>

namespace wenlo::py {

// Eleven values: left arm 2, right arm 2, nose 3, neck 3, then the timestamp; the same form
// the control loop keeps its readings in.
using TorsoValues = control_loop::TorsoPosition;

PyObject* torso_position_type();  // borrowed; created on first use
PyObject* loop_stats_type();      // borrowed; created on first use

PyObject* new_torso_position(const TorsoValues& values);
PyObject* new_loop_stats(std::vector<double> period, std::vector<double> read_dt,
                         std::vector<double> write_dt);
// Reads the values back out of a WenloTorsoPosition; false with TypeError for anything else.
bool torso_values(PyObject* obj, TorsoValues& out);

}  // namespace wenlo::py
