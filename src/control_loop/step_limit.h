// The largest step a goal may ask of a joint: a goal further than that from where the joint
// stood in the worker's last good snapshot is moved to that position plus or minus the step.
// One warning per joint, until a goal within reach comes again.
#pragma once

#include "control_loop/torso_position.h"
#include "controller/layout.h"

#include <array>
#include <expected>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace wenlo::control_loop {

// As a program asks for it: one step for every joint, steps by joint name, or both (a name's own
// step wins); nothing asked is no limit.
struct MaxStep {
    std::optional<double> all;
    std::vector<std::pair<std::string, double>> by_joint;
};

class StepLimit {
public:
    // Refused, with a text naming the key or the value: an unknown name, a step that is not
    // above zero, NaN.
    static std::expected<StepLimit, std::string> make(const MaxStep& asked,
                                                      const TorsoPosition& start);
    void seen(const TorsoPosition& good) { at_ = joint_values(good); }
    double limit(std::size_t joint, double goal);

private:
    static std::array<double, controller::kJoints.size()> joint_values(const TorsoPosition& p);
    std::array<double, controller::kJoints.size()> steps_{};
    std::array<double, controller::kJoints.size()> at_{};
    std::array<bool, controller::kJoints.size()> warned_{};
};

}  // namespace wenlo::control_loop
