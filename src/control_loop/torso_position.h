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

// The seven servo values in id order (left arm, right arm, nose), and back; the neck is apart.
constexpr std::array<double, 7> servo_values(const TorsoPosition& p) {
    return {p.left_arm[0], p.left_arm[1], p.right_arm[0], p.right_arm[1],
            p.nose[0],     p.nose[1],     p.nose[2]};
}
constexpr void set_servo_values(TorsoPosition& p, const std::array<double, 7>& v) {
    p.left_arm = {v[0], v[1]};
    p.right_arm = {v[2], v[3]};
    p.nose = {v[4], v[5], v[6]};
}

// Seconds since the Unix epoch from the wall clock; 0.0 before the epoch.
double unix_time_now();

}  // namespace wenlo::control_loop
