#include "control_loop/step_limit.h"

#include "common/float_format.h"
#include "common/log.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace wenlo::control_loop {

std::expected<StepLimit, std::string> StepLimit::make(const MaxStep& asked,
                                                      const TorsoPosition& start) {
    StepLimit limit;
    const auto refused = [](double step) { return !(step > 0.0); };  // NaN included
    if (asked.all && refused(*asked.all)) {
        return std::unexpected("max_step must be above 0, not " + fmt::float_repr(*asked.all));
    }
    limit.steps_.fill(asked.all.value_or(std::numeric_limits<double>::infinity()));
    for (const auto& [name, step] : asked.by_joint) {
        const auto joint = std::find_if(controller::kJoints.begin(), controller::kJoints.end(),
                                        [&](const controller::Joint& j) { return j.name == name; });
        if (joint == controller::kJoints.end()) {
            return std::unexpected("max_step: unknown joint '" + name +
                                   "'; the joints are those of JointHealth");
        }
        if (refused(step)) {
            return std::unexpected("max_step['" + name + "'] must be above 0, not " +
                                   fmt::float_repr(step));
        }
        limit.steps_[static_cast<std::size_t>(joint - controller::kJoints.begin())] = step;
    }
    limit.seen(start);
    return limit;
}

double StepLimit::limit(std::size_t joint, double goal) {
    const double at = at_[joint];
    const double step = steps_[joint];
    const double moved = std::clamp(goal, at - step, at + step);
    if (moved == goal || std::isnan(goal)) {
        warned_[joint] = false;  // within reach again: the next one out is reported
        return goal;
    }
    if (!warned_[joint]) {
        warned_[joint] = true;
        WENLO_LOG(log::kControlLoopTarget, log::Level::Warn,
                  std::string(controller::kJoints[joint].name) + " requested position " +
                      fmt::fixed(goal, 4) + " rad is more than max_step " + fmt::fixed(step, 4) +
                      " rad from where it stands (" + fmt::fixed(at, 4) + "); moved to " +
                      fmt::fixed(moved, 4));
    }
    return moved;
}

std::array<double, controller::kJoints.size()> StepLimit::joint_values(const TorsoPosition& p) {
    const auto servos = servo_values(p);
    std::array<double, controller::kJoints.size()> all{};
    std::copy(servos.begin(), servos.end(), all.begin());
    std::copy(p.neck.begin(), p.neck.end(), all.begin() + controller::kNeckJointRange.first);
    return all;
}

}  // namespace wenlo::control_loop
