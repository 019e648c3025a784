#include "controller/joint_limits.h"

#include "common/float_format.h"
#include "common/log.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace wenlo::controller {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

std::string shown(const Bounds& b) {
    return "(" + fmt::float_repr(b.lower) + ", " + fmt::float_repr(b.upper) + ")";
}

}  // namespace

JointLimits builtin_limits() {
    JointLimits limits;
    limits.bounds.fill({-kInf, kInf});
    std::copy(kNeckSafeBounds.begin(), kNeckSafeBounds.end(),
              limits.bounds.begin() + kNeckJointRange.first);
    return limits;
}

std::vector<std::pair<std::string, Bounds>> limits_by_name(const JointLimits& limits) {
    std::vector<std::pair<std::string, Bounds>> named;
    for (std::size_t i = 0; i < limits.bounds.size(); ++i) {
        named.emplace_back(kJoints[i].name, limits.bounds[i]);
    }
    return named;
}

Result<JointLimits> joint_limits(std::span<const std::pair<std::string, Bounds>> entries) {
    JointLimits limits = builtin_limits();
    for (const auto& [name, requested] : entries) {
        const auto joint = std::find_if(kJoints.begin(), kJoints.end(),
                                        [&](const Joint& j) { return j.name == name; });
        const std::string key = "joint_limits['" + name + "']: ";
        if (joint == kJoints.end()) {
            return std::unexpected(Error::refusal(
                "joint_limits: unknown joint '" + name + "'; the joints are those of "
                "JointHealth: left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, "
                "nose_top, nose_left, nose_right, neck_yaw, neck_pitch, neck_roll"));
        }
        if (std::isnan(requested.lower) || std::isnan(requested.upper)) {
            return std::unexpected(Error::refusal(key + shown(requested) + " holds NaN"));
        }
        if (!(requested.lower < requested.upper)) {
            return std::unexpected(
                Error::refusal(key + shown(requested) + ": min must be below max"));
        }
        Bounds& bounds = limits.bounds[static_cast<std::size_t>(joint - kJoints.begin())];
        const Bounds own = bounds;
        // An infinite bound keeps the robot's own on that side.
        bounds = {std::isinf(requested.lower) ? own.lower : requested.lower,
                  std::isinf(requested.upper) ? own.upper : requested.upper};
        if (bounds.lower < own.lower || bounds.upper > own.upper || !(bounds.lower < bounds.upper)) {
            return std::unexpected(Error::refusal(
                key + shown(requested) + " reaches outside the neck's safe bounds " + shown(own) +
                ", which a program may only narrow"));
        }
    }
    return limits;
}

double LimitClamp::clamp(std::size_t joint, double goal) {
    const Bounds& bounds = limits_.bounds[joint];
    const double clamped = std::clamp(goal, bounds.lower, bounds.upper);
    if (clamped == goal || std::isnan(goal)) {
        warned_[joint] = false;  // inside again: the next one out is reported
        return goal;
    }
    if (!warned_[joint]) {
        warned_[joint] = true;
        WENLO_LOG(log::kControllerTarget, log::Level::Warn,
                  std::string(kJoints[joint].name) + " requested position " +
                      fmt::fixed(goal, 4) + " rad out of joint limits [" +
                      fmt::fixed(bounds.lower, 4) + ", " + fmt::fixed(bounds.upper, 4) +
                      "]; clamped to " + fmt::fixed(clamped, 4));
    }
    return clamped;
}

}  // namespace wenlo::controller
