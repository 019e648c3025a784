#include "controller/layout.h"

#include <cmath>

namespace wenlo::controller {

std::optional<Joint> servo_by_id(std::uint8_t id) {
    for (const Joint& joint : kServoJoints.joints()) {
        if (joint.id == id) {
            return joint;
        }
    }
    return std::nullopt;
}

std::string servo_name(std::uint8_t id) {
    const auto joint = servo_by_id(id);
    return joint ? std::string(joint->name) : "Unknown(" + std::to_string(id) + ")";
}

MotorNames motor_names() {
    MotorNames names;
    for (const Joint& joint : kServoJoints.joints()) {
        names.emplace_back(joint.name, joint.id);
    }
    return names;
}

std::optional<std::string> nan_refusal(const GoalGroup& group, std::span<const double> goals) {
    const auto joints = group.range.joints();
    for (std::size_t i = 0; i < goals.size() && i < joints.size(); ++i) {
        if (std::isnan(goals[i])) {
            return std::string(group.operation) + "(" + std::string(joints[i].name) +
                   "): requested position is NaN";
        }
    }
    return std::nullopt;
}

std::optional<std::string> nan_refusal(std::size_t neck_index, double goal) {
    if (!std::isnan(goal)) {
        return std::nullopt;
    }
    return single_neck_operation(neck_index) + ": requested position is NaN";
}

std::string single_neck_operation(std::size_t neck_index) {
    return "set_" + std::string(neck_name(neck_index)) + "_position";
}

}  // namespace wenlo::controller
