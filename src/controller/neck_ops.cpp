// The neck: three Damiao motors in MIT mode, safe bounds, command templates and torque flag.
#include "common/float_format.h"
#include "common/log.h"
#include "common/try.h"
#include "controller/controller_impl.h"

#include <cerrno>
#include <cmath>
#include <limits>

namespace wenlo::controller {
namespace {

using candrive::damiao::driver::ControlCommand;
using candrive::damiao::driver::ControlMode;

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

std::string joint(std::size_t index) { return std::string(neck_name(index)); }

}  // namespace

double MotorController::clamp_neck_position(std::size_t index, double requested) {
    const Bounds bounds = kNeckSafeBounds[index];
    double clamped = requested;
    if (clamped < bounds.lower) {
        clamped = bounds.lower;
    }
    if (clamped > bounds.upper) {
        clamped = bounds.upper;
    }
    if (std::fabs(clamped - requested) > kEpsilon) {
        WENLO_LOG(log::kControllerTarget, log::Level::Warn,
                  joint(index) + " requested position " + fmt::fixed(requested, 4) +
                      " rad out of safe range [" + fmt::fixed(bounds.lower, 4) + ", " +
                      fmt::fixed(bounds.upper, 4) + "]; clamped to " + fmt::fixed(clamped, 4));
    }
    return clamped;
}

Result<void> MotorController::enable_neck(bool enable) {
    Impl& s = *impl_;
    if (enable) {
        WENLO_TRY(s.may_move());
    }
    if (!enable) {
        s.intent.fill(Impl::Intent::Off);
    }
    for (std::size_t i = 0; i < kNeckJoints; ++i) {
        if (enable) {
            if (auto mode = s.neck[i].ensure_control_mode(s.can, ControlMode::MIT); !mode) {
                return std::unexpected(
                    Error(joint(i) + ": ensure MIT mode failed: " + mode.error().message()));
            }
            auto on = s.neck[i].enable(s.can);
            // After a failed enable the motor counts as enabled only if it was before.
            if (on) {
                s.intent[i] = Impl::Intent::On;
            } else if (s.intent[i] != Impl::Intent::On) {
                s.intent[i] = Impl::Intent::Off;
            }
            if (on = s.moved(i, Impl::Motion::Enable, s.templates[i], std::move(on)); !on) {
                return std::unexpected(
                    Error(joint(i) + ": enable failed: " + on.error().message()));
            }
        } else if (auto off = s.moved(i, Impl::Motion::Disable, s.templates[i],
                                      s.neck[i].disable(s.can));
                   !off) {
            return std::unexpected(Error(joint(i) + ": disable failed: " + off.error().message()));
        }
    }
    s.neck_torque = enable;
    return {};
}

Result<void> MotorController::set_neck_gains(std::uint32_t index, float kp, float kd) {
    WENLO_TRY(impl_->may_move());
    if (index >= kNeckJoints) {
        return std::unexpected(Error("neck index out of range: " + std::to_string(index)));
    }
    impl_->templates[index].kp = kp;
    impl_->templates[index].kd = kd;
    return {};
}

Result<std::array<double, 3>> MotorController::command_neck_mit(const std::array<double, 3>& goals,
                                                                std::string_view label) {
    Impl& s = *impl_;
    WENLO_TRY(s.may_move());
    std::array<double, 3> observed{};
    for (std::size_t i = 0; i < kNeckJoints; ++i) {
        s.templates[i].position = static_cast<float>(goals[i]);
        auto state = s.moved(i, Impl::Motion::Mit, s.templates[i],
                             s.neck[i].control(s.can, ControlCommand::Mit{s.templates[i]}));
        if (!state) {
            return std::unexpected(Error(std::string(label) + "(" + joint(i) +
                                         "): " + state.error().message()));
        }
        observed[i] = static_cast<double>(state->position);
    }
    return observed;
}

Result<std::array<double, 3>> MotorController::set_neck_position(
    const std::array<double, 3>& requested) {
    WENLO_TRY(impl_->may_move());
    // A NaN would pass the clamp and encode as the bottom of the motor's range (-12.5 rad), so
    // it is refused before anything is sent.
    if (auto refused = nan_refusal(kNeckGoals, requested)) {
        return std::unexpected(Error(std::move(*refused)));
    }
    std::array<double, 3> goals{};
    for (std::size_t i = 0; i < kNeckJoints; ++i) {
        goals[i] = impl_->limits.clamp(kNeckJointRange.first + i,
                                       clamp_neck_position(i, requested[i]));
    }
    return command_neck_mit(goals, "set_neck_position");
}

Result<double> MotorController::set_single_neck_joint(std::size_t index, double requested) {
    Impl& s = *impl_;
    WENLO_TRY(s.may_move());
    if (auto refused = nan_refusal(index, requested)) {
        return std::unexpected(Error(std::move(*refused)));
    }
    const double position =
        s.limits.clamp(kNeckJointRange.first + index, clamp_neck_position(index, requested));
    s.templates[index].position = static_cast<float>(position);
    auto state =
        s.moved(index, Impl::Motion::Mit, s.templates[index],
                s.neck[index].control(s.can, ControlCommand::Mit{s.templates[index]}));
    if (!state) {
        return std::unexpected(
            Error(single_neck_operation(index) + ": " + state.error().message()));
    }
    return static_cast<double>(state->position);
}

Result<std::array<double, 3>> MotorController::read_neck_positions() {
    Impl& s = *impl_;
    std::array<double, 3> positions{};
    for (std::size_t i = 0; i < kNeckJoints; ++i) {
        auto state = s.noted(i, s.neck[i].request_feedback(s.can));
        if (!state) {
            return std::unexpected(
                Error("read_neck_positions(" + joint(i) + "): " + state.error().message()));
        }
        positions[i] = static_cast<double>(state->position);
    }
    return positions;
}

std::vector<std::string> MotorController::check_missing_neck_motors() {
    Impl& s = *impl_;
    std::vector<std::string> missing;
    for (std::size_t i = 0; i < kNeckJoints; ++i) {
        if (!s.noted(i, s.neck[i].request_feedback(s.can))) {
            missing.push_back(joint(i));
        }
    }
    return missing;
}

bool MotorController::neck_torque_enabled() const { return impl_->neck_torque; }

namespace {

namespace registers = candrive::damiao::registers;

struct NamedRegister {
    std::size_t index;  // of the neck joint
    registers::RegisterInfo info;
};

Result<NamedRegister> named_register(std::string_view joint, std::string_view name) {
    std::optional<std::size_t> index;
    for (std::size_t i = 0; i < kNeckJoints; ++i) {
        index = neck_name(i) == joint ? std::optional(i) : index;
    }
    if (!index) {
        return std::unexpected(Error::refusal("unknown neck joint '" + std::string(joint) +
                                              "': one of neck_yaw, neck_pitch, neck_roll"));
    }
    for (const registers::RegisterInfo& info : registers::entries()) {
        if (info.name == name) {
            return NamedRegister{*index, info};
        }
    }
    return std::unexpected(Error::refusal("unknown neck register '" + std::string(name) + "'"));
}

// The word a register of this type holds for `value`; none when it cannot hold it.
std::optional<registers::RegisterValue> register_word(const registers::RegisterInfo& info,
                                                      double value) {
    if (info.value_type != registers::RegisterType::Uint32) {
        return registers::RegisterValue::Float(static_cast<float>(value));
    }
    if (!(value >= 0.0 && value <= 4294967295.0) || value != std::floor(value)) {
        return std::nullopt;
    }
    return registers::RegisterValue::Uint32(static_cast<std::uint32_t>(value));
}

}  // namespace

Result<registers::RegisterValue> MotorController::read_neck_register(std::string_view joint_name,
                                                                     std::string_view name) {
    WENLO_TRY_ASSIGN(const NamedRegister reg, named_register(joint_name, name));
    Impl& s = *impl_;
    auto value = s.neck[reg.index].read_register(s.can, reg.info.id);
    if (!value) {
        return std::unexpected(Error(joint(reg.index) + ": read register failed: " +
                                     value.error().message()));
    }
    return *value;
}

Result<registers::RegisterValue> MotorController::write_neck_register(std::string_view joint_name,
                                                                      std::string_view name,
                                                                      double value) {
    WENLO_TRY_ASSIGN(const NamedRegister reg, named_register(joint_name, name));
    if (!reg.info.writable) {
        return std::unexpected(
            Error::refusal("neck register '" + std::string(name) + "' is read-only"));
    }
    const auto word = register_word(reg.info, value);
    if (!word) {
        return std::unexpected(Error::refusal(
            "neck register '" + std::string(name) +
            "' holds a whole number from 0 to 4294967295, not " + fmt::float_repr(value)));
    }
    Impl& s = *impl_;
    if (auto written = s.neck[reg.index].write_register(s.can, reg.info.id, *word); !written) {
        return std::unexpected(Error(joint(reg.index) + ": write register failed: " +
                                     written.error().message()));
    }
    return read_neck_register(joint_name, name);  // what the motor holds now
}

MotorController::NeckFeedback MotorController::send_neck_feedback_requests(bool feed_watchdog) {
    Impl& s = *impl_;
    NeckFeedback pending;
    // Stragglers of an abandoned reply are dropped before the first request goes out: dropped
    // between two requests, they would take the first motors' fresh replies with them.
    for (std::size_t i = 0; i < kNeckJoints; ++i) {
        if (auto dropped = s.can.drop_stragglers(s.neck[i].reply_id()); !dropped) {
            pending.failed[i] = "transport error: " + dropped.error().message();
        }
    }
    for (std::size_t i = 0; i < kNeckJoints; ++i) {
        if (pending.failed[i]) {
            continue;
        }
        const bool motion = feed_watchdog && s.neck_torque;
        auto sent = motion ? s.neck[i].send_control(s.can, ControlCommand::Mit{s.holding(i)})
                           : s.neck[i].send_feedback_request(s.can);
        if (!sent) {
            pending.failed[i] = sent.error().message();
        } else {
            pending.motion[i] = motion;
        }
    }
    pending.deadline = candrive::transport::deadline_after(s.neck[0].timeout);
    return pending;
}

Result<std::array<double, 3>> MotorController::collect_neck_feedback(NeckFeedback pending) {
    Impl& s = *impl_;
    using Clock = std::chrono::steady_clock;
    std::array<std::optional<candrive::damiao::mit::MotorState>, 3> got;
    auto waiting = [&] {
        for (std::size_t i = 0; i < kNeckJoints; ++i) {
            if (!pending.failed[i] && !got[i]) {
                return true;
            }
        }
        return false;
    };
    // Replies that came while the caller worked are taken at once, even past the deadline;
    // a receive time-out of zero would block for ever, hence the microsecond.
    constexpr auto kPeek = std::chrono::microseconds(1);
    bool interrupted = false;  // a signal broke the wait: the answers may still come
    while (waiting()) {
        const auto now = Clock::now();
        const auto left = now < pending.deadline ? pending.deadline - now : Clock::duration{};
        auto frame = s.can.recv(candrive::transport::Duration::from(
            std::max<Clock::duration>(left, kPeek)));
        if (!frame) {
            interrupted = frame.error().is_interrupted();
            if (!frame.error().leaves_reply_pending()) {
                const std::string text = "transport error: " + frame.error().message();
                for (std::size_t i = 0; i < kNeckJoints; ++i) {
                    if (!pending.failed[i] && !got[i]) {
                        pending.failed[i] = text;
                    }
                }
            }
            break;
        }
        for (std::size_t i = 0; i < kNeckJoints; ++i) {
            if (!pending.failed[i] && !got[i] && frame->id == s.neck[i].reply_id()) {
                if (auto state = s.neck[i].decode_feedback(*frame)) {
                    got[i] = *state;
                } else {
                    pending.failed[i] = state.error().message();
                }
                break;  // one frame answers one request
            }
        }
    }
    std::array<double, 3> positions{};
    std::optional<Error> first;
    for (std::size_t i = 0; i < kNeckJoints; ++i) {
        if (got[i]) {
            if (pending.motion[i]) {
                s.motion_outcome(i, Impl::Motion::Mit, s.holding(i), true, true);
            }
            s.neck_answered(i, *got[i]);
            s.settle(i);
            positions[i] = static_cast<double>(got[i]->position);
            continue;
        }
        if (!pending.failed[i]) {
            s.can.reply_abandoned(s.neck[i].reply_id(), s.neck[i].timeout);
        }
        if (interrupted && !pending.failed[i]) {  // nothing learnt about this motor
            pending.failed[i] = "transport error: " +
                                candrive::transport::CanError::io_errno(EINTR).message();
        } else {
            if (pending.motion[i]) {  // taken by the socket, never answered
                s.motion_outcome(i, Impl::Motion::Mit, s.holding(i), false, true);
            }
            if (!pending.failed[i]) {
                pending.failed[i] = "transport error: " +
                                    candrive::transport::CanError::timeout().message();
            }
            s.health.neck_failed(i);
        }
        if (!first) {
            first = Error("read_neck_positions(" + joint(i) + "): " + *pending.failed[i]);
        }
    }
    if (first) {
        return std::unexpected(*first);
    }
    return positions;
}

}  // namespace wenlo::controller
