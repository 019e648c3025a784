// The docstrings of the operations that both classes offer, said once: a row without a
// docstring of its own takes its method's from here. Looked up at compile time, so a row that
// names none and has none here does not build.
#pragma once

#include <string_view>

namespace wenlo::py::doc {

struct Shared {
    std::string_view method;
    const char* text;
};

inline constexpr Shared kShared[] = {
    {"enable_torque", "Enable torque on all motors."},
    {"disable_torque", "Disable torque on all motors."},
    {"set_left_arm_position", "Set goal positions for the left arm (2 values: pitch, yaw)."},
    {"set_right_arm_position", "Set goal positions for the right arm (2 values: pitch, yaw)."},
    {"set_nose_position", "Set goal positions for the nose (3 values)."},
    {"enable_arms", "Enable or disable the arm motors."},
    {"enable_nose", "Enable or disable the nose motors."},
    {"get_motor_name_id", "Get the id/name motors used in this controller."},
    {"joint_limits",
     "The limits in force on every joint's goals, in rad by joint name, in layout\n"
     "order (an extension): (-inf, inf) for a servo without limits; the neck's safe\n"
     "bounds, or the narrower ones given. Raw register and packet writes are not\n"
     "checked against them."},
    {"estop",
     "The emergency stop (an extension): each neck motor gets a damping command\n"
     "(kp 0, its kd), so that the head sinks slowly, then the seven servos' torque\n"
     "goes off. Every step is tried; the first failure is raised afterwards. The\n"
     "stop is latched: until reset_estop(), whatever could move a motor raises\n"
     "RuntimeError; reads, torque off and enable_neck(False) still work."},
    {"reset_estop", "Clear the emergency stop's latch (an extension); re-enables nothing."},
    {"is_estopped", "Whether the emergency stop is latched (an extension)."},
    {"__enter__", "Return self: `with` closes it on the way out (an extension)."},
    {"__exit__",
     "Close, as close() does, also when the body raised; the exception goes on (an\n"
     "extension)."},
};

consteval const char* shared(std::string_view method) {
    for (const Shared& entry : kShared) {
        if (entry.method == method) {
            return entry.text;
        }
    }
    throw "no shared docstring for this method";  // a compile-time error
}

}  // namespace wenlo::py::doc
