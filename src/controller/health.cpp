#include "controller/health.h"

#include "common/log.h"

#include <algorithm>
#include <limits>
#include <string>

namespace wenlo::controller {
namespace {

using Clock = std::chrono::steady_clock;

// The servo's error codes 0 to 4 (its bits 0, 1, 2, 3 and 5) are the first five names.
FaultSet servo_faults(std::span<const std::uint8_t> codes) {
    FaultSet faults = 0;
    for (std::uint8_t code : codes) {
        if (code < 5) {
            faults |= static_cast<FaultSet>(1u << code);
        }
    }
    return faults;
}

// A Damiao motor's fault code, the high nibble of its replies' first byte: 0x8 to 0xE name a
// fault, in this order (0 and 1 are the disabled and enabled states, not faults).
constexpr std::array<std::string_view, 7> kNeckFaultCodes = {
    "overvoltage",    "undervoltage", "overcurrent", "mos_overheat",
    "rotor_overheat", "comm_lost",    "overload"};

FaultSet neck_fault(std::uint8_t code) {
    if (code < 0x8 || code > 0xE) {
        return 0;
    }
    const auto name =
        std::find(kFaultNames.begin(), kFaultNames.end(), kNeckFaultCodes[code - 0x8]);
    return static_cast<FaultSet>(1u << (name - kFaultNames.begin()));
}

// The state nibble 0 is a disabled motor: a fault only where it should be enabled.
FaultSet believed_disabled(const candrive::damiao::mit::MotorState& state, bool believed_enabled) {
    constexpr auto kDisabled = static_cast<FaultSet>(1u << (kFaultNames.size() - 1));
    return believed_enabled && state.high_nibble == 0 ? kDisabled : 0;
}

std::string who(std::size_t joint) {
    return std::string(kJoints[joint].name) + " (id=" + std::to_string(kJoints[joint].id) + ")";
}

std::string listed(FaultSet faults) {
    std::string text;
    for (std::string_view name : fault_names(faults)) {
        text += (text.empty() ? "" : ", ") + std::string(name);
    }
    return text;
}

std::optional<std::size_t> servo_joint(std::uint8_t id) {
    for (std::size_t i = kServoJoints.first; i < kServoJoints.first + kServoJoints.count; ++i) {
        if (kJoints[i].id == id) {
            return i;
        }
    }
    return std::nullopt;
}

}  // namespace

std::vector<std::string_view> fault_names(FaultSet faults) {
    std::vector<std::string_view> names;
    for (std::size_t i = 0; i < kFaultNames.size(); ++i) {
        if ((faults & (1u << i)) != 0) {
            names.push_back(kFaultNames[i]);
        }
    }
    return names;
}

std::vector<std::pair<std::string, JointHealth>> health_by_name(const HealthReport& report,
                                                                bool servos) {
    const auto now = Clock::now();
    std::vector<std::pair<std::string, JointHealth>> named;
    for (std::size_t i = servos ? 0 : kNeckJointRange.first; i < kJoints.size(); ++i) {
        const JointReport& r = report[i];
        JointHealth health{std::string(kJoints[i].name),
                           r.position,
                           r.velocity,
                           r.effort,
                           r.temperature,
                           r.voltage,
                           {},
                           std::numeric_limits<double>::infinity(),
                           r.failures};
        for (std::string_view fault : fault_names(r.faults)) {
            health.faults.emplace_back(fault);
        }
        if (r.last_answer) {
            health.age = std::chrono::duration<double>(now - *r.last_answer).count();
        }
        named.emplace_back(health.name, std::move(health));
    }
    return named;
}

void HealthTracker::answer(std::size_t joint, FaultSet faults) {
    JointReport& r = report_[joint];
    if (r.failures > 0) {
        WENLO_LOG(log::kControllerTarget, log::Level::Info, who(joint) + " answers again");
        note_recovery(joint);
    }
    if (faults != r.faults) {
        if (faults != 0) {
            WENLO_LOG(log::kControllerTarget, log::Level::Warn,
                      who(joint) + " reports: " + listed(faults));
        } else {
            WENLO_LOG(log::kControllerTarget, log::Level::Info,
                      who(joint) + " reports no fault any more");
        }
    }
    r.faults = faults;
    r.failures = 0;
    r.last_answer = Clock::now();
}

// A servo back from silence may have rebooted (a brown-out) with its torque off: the
// controller asks it once (MotorController::recheck_recovered_servos).
void HealthTracker::note_recovery(std::size_t joint) {
    if (joint >= kServoJoints.first && joint < kServoJoints.first + kServoJoints.count) {
        recovered_servos_.set(joint - kServoJoints.first);
    }
}

void HealthTracker::failure(std::size_t joint) {
    JointReport& r = report_[joint];
    if (r.failures == 0) {
        WENLO_LOG(log::kControllerTarget, log::Level::Warn, who(joint) + " does not answer");
    }
    if (r.failures < UINT32_MAX) {
        ++r.failures;
    }
}

void HealthTracker::answered(std::uint8_t id, std::span<const std::uint8_t> error_codes) {
    if (auto joint = servo_joint(id)) {
        answer(*joint, servo_faults(error_codes));
    }
}

void HealthTracker::not_answered(std::uint8_t id) {
    if (auto joint = servo_joint(id)) {
        failure(*joint);
    }
}

void HealthTracker::servo_positions(std::span<const double, 7> positions) {
    for (std::size_t i = 0; i < positions.size(); ++i) {
        report_[kServoJoints.first + i].position = positions[i];
    }
}

void HealthTracker::servo_telemetry(std::size_t joint,
                                    const serialbus::servo::feetech::common::Telemetry& t) {
    JointReport& r = report_[joint];
    r.position = t.position;
    r.velocity = t.velocity;
    r.effort = t.load;
    r.voltage = t.voltage;
    r.temperature = t.temperature;
}

void HealthTracker::neck_answered(std::size_t neck_index,
                                  const candrive::damiao::mit::MotorState& state,
                                  bool believed_enabled) {
    const std::size_t joint = kNeckJointRange.first + neck_index;
    JointReport& r = report_[joint];
    r.position = state.position;
    r.velocity = state.velocity;
    r.effort = state.torque;
    // Bytes 6 and 7 of a reply: the MOS and the rotor temperature, in degrees Celsius.
    const auto mos = static_cast<double>(state.tail & 0xFF);
    const auto rotor = static_cast<double>(state.tail >> 8);
    r.temperature = std::max(mos, rotor);
    answer(joint, neck_fault(state.high_nibble) | believed_disabled(state, believed_enabled));
}

void HealthTracker::neck_failed(std::size_t neck_index) {
    failure(kNeckJointRange.first + neck_index);
}

}  // namespace wenlo::controller
