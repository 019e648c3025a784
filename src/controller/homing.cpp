// Neck homing: each joint ramps to the multiple of 2 pi nearest to where it stands.
#include "common/float_format.h"
#include "controller/controller_impl.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

namespace wenlo::controller {
namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kStepFactor = 0.01;  // seconds per cycle the step assumes
constexpr std::uint64_t kExtraCycles = 2000;
constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
constexpr auto kCyclePause = std::chrono::milliseconds(10);

}  // namespace

std::uint64_t homing_cycle_budget(double max_err, double step) {
    const double cycles = std::floor(max_err / step);
    constexpr double kLimit = 18446744073709549568.0;  // largest double below 2^64
    if (!(cycles < kLimit - static_cast<double>(kExtraCycles))) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return static_cast<std::uint64_t>(cycles) + kExtraCycles;
}

namespace {

std::string list_text(const std::array<double, 3>& values) {
    std::string text = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        text += (i > 0 ? ", " : "") + fmt::float_repr(values[i]);
    }
    return text + "]";
}

std::string list_text(const std::array<bool, 3>& values) {
    std::string text = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        text += std::string(i > 0 ? ", " : "") + (values[i] ? "true" : "false");
    }
    return text + "]";
}

}  // namespace

Result<std::array<double, 3>> MotorController::neck_home(double speed, double tolerance,
                                                         std::optional<float> kp,
                                                         std::optional<float> kd,
                                                         const InterruptCheck& interrupted) {
    WENLO_TRY(impl_->may_move());
    if (!(speed > 0.0)) {
        return std::unexpected(
            Error("neck_home: speed must be positive, got " + fmt::float_display(speed)));
    }
    if (!(tolerance > 0.0)) {
        return std::unexpected(
            Error("neck_home: tolerance must be positive, got " + fmt::float_display(tolerance)));
    }
    for (auto& command : impl_->templates) {
        if (kp) {
            command.kp = *kp;
        }
        if (kd) {
            command.kd = *kd;
        }
    }
    WENLO_TRY_ASSIGN(const auto p, read_neck_positions());
    std::array<double, 3> goal{};
    for (std::size_t i = 0; i < 3; ++i) {
        goal[i] = std::round(p[i] / kTwoPi) * kTwoPi;  // halves away from zero
    }
    if (!impl_->neck_torque) {
        WENLO_TRY(enable_neck(true));
    }
    double max_err = 0.0;
    for (std::size_t i = 0; i < 3; ++i) {
        max_err = std::max(max_err, std::fabs(p[i] - goal[i]));
    }
    const double step = speed * kStepFactor;
    const std::uint64_t budget = homing_cycle_budget(max_err, step);

    std::array<double, 3> setpoint = p;
    std::array<bool, 3> settled{false, false, false};
    std::array<double, 3> observed = p;
    for (std::uint64_t cycle = 0; cycle < budget; ++cycle) {
        for (std::size_t i = 0; i < 3; ++i) {
            if (settled[i]) {
                continue;
            }
            if (setpoint[i] - goal[i] > step) {
                setpoint[i] -= step;
            } else if (setpoint[i] - goal[i] < -step) {
                setpoint[i] += step;
            } else {
                setpoint[i] = goal[i];
            }
        }
        WENLO_TRY_ASSIGN(observed, command_neck_mit(setpoint, "neck_home"));
        bool all = true;
        for (std::size_t i = 0; i < 3; ++i) {
            if (!settled[i] && std::fabs(setpoint[i] - goal[i]) < kEpsilon &&
                std::fabs(observed[i] - goal[i]) < tolerance) {
                settled[i] = true;
            }
            all = all && settled[i];
        }
        if (all) {
            return observed;
        }
        if (interrupted && interrupted()) {
            return std::unexpected(Error::interruption("neck_home: interrupted"));
        }
        std::this_thread::sleep_for(kCyclePause);
    }
    return std::unexpected(Error("neck_home: timed out before settling. observed=" +
                                 list_text(observed) + ", goals=" + list_text(goal) +
                                 ", settled=" + list_text(settled)));
}

}  // namespace wenlo::controller
