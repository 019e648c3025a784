// Limits a program puts on its joints' goals, on top of the robot's own: the servos have none of
// their own (only their angle-limit registers, where someone set them), the neck its safe bounds.
// A goal outside its joint's limits is clamped, never refused.
#pragma once

#include "controller/error.h"
#include "controller/layout.h"

#include <array>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace wenlo::controller {

// One joint's limits, in layout order; an infinite bound is no bound on that side.
struct JointLimits {
    std::array<Bounds, kJoints.size()> bounds;
};

// The robot's own: (-inf, inf) for each servo, the neck's safe bounds.
JointLimits builtin_limits();

// The limits by joint name, in layout order.
std::vector<std::pair<std::string, Bounds>> limits_by_name(const JointLimits& limits);

// A program's limits by joint name, any subset, over the robot's own. Refused (Error::refusal,
// naming the key or the value): an unknown name, NaN, a lower bound not below the upper, and a
// neck bound outside the neck's safe bounds, which a program may only narrow.
Result<JointLimits> joint_limits(std::span<const std::pair<std::string, Bounds>> entries);

// Clamps goals to the limits. A joint's first goal outside them is reported by a warning; the
// next ones only once a goal inside has come again.
class LimitClamp {
  public:
    explicit LimitClamp(JointLimits limits) : limits_(limits) {}
    double clamp(std::size_t joint, double goal);
    const JointLimits& limits() const { return limits_; }

  private:
    JointLimits limits_;
    std::array<bool, kJoints.size()> warned_{};
};

}  // namespace wenlo::controller
