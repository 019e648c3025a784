// JointHealth, the value that reports one joint's health to Python.
#pragma once

#include "bindings/results.h"
#include "controller/health.h"

namespace wenlo::py {

PyObject* joint_health_type();  // borrowed; created on first use

// Every joint's health as a controller or loop keeps it: seven servos, unless it has no serial
// port, then the neck.
struct BodyHealth {
    controller::HealthReport report;
    bool servos;
};

// A dict of JointHealth by joint name, in layout order; ages are taken now.
template <>
struct ToPython<BodyHealth> {
    static PyObject* convert(const BodyHealth& body);
    static std::string annotation() { return "builtins.dict[builtins.str, JointHealth]"; }
};

}  // namespace wenlo::py
