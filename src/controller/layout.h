// The motor layout of the robot's upper body.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <string>

namespace wenlo::controller {

struct ServoSlot {
    std::string_view name;
    std::uint8_t id;
};

// The seven bus servos in layout order (ids 1 to 4 SM40BL, 5 to 7 STS3025BL).
inline constexpr std::array<ServoSlot, 7> kServos = {{
    {"left_arm_pitch", 1},
    {"left_arm_yaw", 2},
    {"right_arm_pitch", 3},
    {"right_arm_yaw", 4},
    {"nose_top", 5},
    {"nose_left", 6},
    {"nose_right", 7},
}};
inline constexpr std::array<std::uint8_t, 7> kServoIds = {1, 2, 3, 4, 5, 6, 7};
inline constexpr std::array<std::uint8_t, 4> kArmIds = {1, 2, 3, 4};
inline constexpr std::array<std::uint8_t, 2> kLeftArmIds = {1, 2};
inline constexpr std::array<std::uint8_t, 2> kRightArmIds = {3, 4};
inline constexpr std::array<std::uint8_t, 3> kNoseIds = {5, 6, 7};

inline constexpr std::size_t kNeckJoints = 3;
inline constexpr std::array<std::string_view, kNeckJoints> kNeckNames = {"neck_yaw", "neck_pitch",
                                                                          "neck_roll"};
struct Bounds {
    double lower;
    double upper;
};
inline constexpr std::array<Bounds, kNeckJoints> kNeckSafeBounds = {{
    {-0.5, 0.5},
    {0.0, 0.45},
    {-0.4, 0.4},
}};

// Name to id for the seven serial servos only; the neck is not in it.
std::unordered_map<std::string, std::uint8_t> get_motor_name_id();

}  // namespace wenlo::controller
