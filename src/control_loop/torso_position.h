// One snapshot of every joint of the upper body, as the loop keeps it and Python receives it.
#pragma once

#include <array>

namespace wenlo::control_loop {

struct TorsoPosition {
    std::array<double, 2> left_arm{};   // pitch, yaw
    std::array<double, 2> right_arm{};  // pitch, yaw
    std::array<double, 3> nose{};       // top, left, right
    std::array<double, 3> neck{};       // yaw, pitch, roll
    double timestamp = 0.0;             // seconds since the Unix epoch
};

// Seconds since the Unix epoch from the wall clock; 0.0 before the epoch.
double unix_time_now();

}  // namespace wenlo::control_loop
