// The robot's upper body, once: every joint's name, bus id and kind, in layout order. Lists of
// seven values follow the servos, lists of three the neck; everything else derives from here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace wenlo::controller {

enum class JointKind : std::uint8_t { Sm40bl, Sts3025bl, Damiao };

struct Joint {
    std::string_view name;
    std::uint8_t id;  // the servo's id on the serial bus, or the neck motor's CAN id
    JointKind kind;
};

// The seven bus servos in id order (arms SM40BL, nose STS3025BL), then the neck: yaw, pitch, roll.
inline constexpr std::array<Joint, 10> kJoints = {{
    {"left_arm_pitch", 1, JointKind::Sm40bl},
    {"left_arm_yaw", 2, JointKind::Sm40bl},
    {"right_arm_pitch", 3, JointKind::Sm40bl},
    {"right_arm_yaw", 4, JointKind::Sm40bl},
    {"nose_top", 5, JointKind::Sts3025bl},
    {"nose_left", 6, JointKind::Sts3025bl},
    {"nose_right", 7, JointKind::Sts3025bl},
    {"neck_yaw", 1, JointKind::Damiao},
    {"neck_pitch", 2, JointKind::Damiao},
    {"neck_roll", 3, JointKind::Damiao},
}};

// A run of consecutive joints of the table: the servos of one group write, the neck.
struct JointRange {
    std::size_t first;
    std::size_t count;
    constexpr std::span<const Joint> joints() const {
        return std::span<const Joint>(kJoints).subspan(first, count);
    }
};
inline constexpr JointRange kServoJoints{0, 7};
inline constexpr JointRange kArmJoints{0, 4};
inline constexpr JointRange kLeftArmJoints{0, 2};
inline constexpr JointRange kRightArmJoints{2, 2};
inline constexpr JointRange kNoseJoints{4, 3};
inline constexpr JointRange kNeckJointRange{7, 3};
inline constexpr std::size_t kNeckJoints = kNeckJointRange.count;

template <JointRange Range>
inline constexpr std::array<std::uint8_t, Range.count> ids_of = [] {
    std::array<std::uint8_t, Range.count> ids{};
    for (std::size_t i = 0; i < Range.count; ++i) {
        ids[i] = kJoints[Range.first + i].id;
    }
    return ids;
}();
inline constexpr auto kServoIds = ids_of<kServoJoints>;
inline constexpr auto kArmIds = ids_of<kArmJoints>;
inline constexpr auto kLeftArmIds = ids_of<kLeftArmJoints>;
inline constexpr auto kRightArmIds = ids_of<kRightArmJoints>;
inline constexpr auto kNoseIds = ids_of<kNoseJoints>;

// The neck joint's name by its index (0 yaw, 1 pitch, 2 roll).
constexpr std::string_view neck_name(std::size_t index) {
    return kJoints[kNeckJointRange.first + index].name;
}

// A servo by its bus id; none when there is no such servo.
std::optional<Joint> servo_by_id(std::uint8_t id);
// The servo's name, or "Unknown(<id>)" for an id outside the layout.
std::string servo_name(std::uint8_t id);

// Name to id of the seven serial servos, in id order; the neck is not in it.
using MotorNames = std::vector<std::pair<std::string, std::uint8_t>>;
MotorNames motor_names();

struct Bounds {
    double lower;
    double upper;
};
inline constexpr std::array<Bounds, kNeckJoints> kNeckSafeBounds = {{
    {-0.5, 0.5},
    {0.0, 0.45},
    {-0.4, 0.4},
}};

// A goal operation: its name (as callers know it) and the joints its values move, in order.
struct GoalGroup {
    std::string_view operation;
    JointRange range;
};
inline constexpr GoalGroup kAllGoals{"set_all_goal_positions", kServoJoints};
inline constexpr GoalGroup kArmsGoals{"set_arms_position", kArmJoints};
inline constexpr GoalGroup kLeftArmGoals{"set_left_arm_position", kLeftArmJoints};
inline constexpr GoalGroup kRightArmGoals{"set_right_arm_position", kRightArmJoints};
inline constexpr GoalGroup kNoseGoals{"set_nose_position", kNoseJoints};
inline constexpr GoalGroup kNeckGoals{"set_neck_position", kNeckJointRange};

// The one NaN check of every goal: a NaN is a bug upstream, never a target (it would convert to
// the bottom of a motor's range). The refusal's text, "operation(joint): requested position is
// NaN" for the first NaN, or none.
std::optional<std::string> nan_refusal(const GoalGroup& group, std::span<const double> goals);
// One neck joint: "set_neck_yaw_position: requested position is NaN", or none.
std::optional<std::string> nan_refusal(std::size_t neck_index, double goal);
// The operation that sets one neck joint: "set_neck_yaw_position".
std::string single_neck_operation(std::size_t neck_index);

}  // namespace wenlo::controller
