// Arm and nose servo operations: one or two group reads or writes, arms (SM40BL) first.
#include "controller/controller_impl.h"
#include "serialbus/servo/feetech/sm40bl.hpp"
#include "serialbus/servo/feetech/sts3025bl.hpp"

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

namespace wenlo::controller {
namespace {

namespace sm40bl = serialbus::servo::feetech::sm40bl;
namespace sts3025bl = serialbus::servo::feetech::sts3025bl;
using serialbus::feetech_protocol::FeetechProtocolHandler;
using Ids = std::span<const std::uint8_t>;

// Calls op(kind, ids, first) for each run of servos of one model within the range, in order,
// with the run's bus ids and the table index of its first joint: the bus takes a group read or
// write per model, arms (SM40BL) before nose (STS3025BL). Joints past the servos are not asked.
template <typename Op>
Result<void> per_model(JointRange range, Op&& op) {
    const std::size_t end = std::min(range.first + range.count, kServoJoints.count);
    for (std::size_t first = range.first, last = first; first < end; first = last) {
        while (last < end && kJoints[last].kind == kJoints[first].kind) {
            ++last;
        }
        WENLO_TRY(op(kJoints[first].kind, Ids(kServoIds).subspan(first, last - first), first));
    }
    return {};
}

// One group read of each model, joined into one list of the seven servos in id order.
template <typename Out, typename Read>
Result<std::array<Out, 7>> read_servos(const FeetechProtocolHandler& protocol,
                                       serialbus::SerialPort& port, Read arms, Read nose) {
    std::array<Out, 7> all{};
    WENLO_TRY(
        per_model(kServoJoints, [&](JointKind kind, Ids ids, std::size_t first) -> Result<void> {
            WENLO_TRY_ASSIGN(const auto values,
                             lift((kind == JointKind::Sm40bl ? arms : nose)(protocol, port, ids)));
            for (std::size_t i = 0; i < ids.size(); ++i) {
                all[first + i] = static_cast<Out>(values[i]);
            }
            return {};
        }));
    return all;
}

}  // namespace

Result<bool> MotorController::is_torque_enabled() {
    WENLO_TRY_ASSIGN(auto port, impl_->port());
    // Both groups are read before any value is looked at.
    WENLO_TRY_ASSIGN(const auto on,
                     read_servos<bool>(impl_->protocol, *port, sm40bl::sync_read_torque_enable,
                                       sts3025bl::sync_read_torque_enable));
    // What was commanded stays what a servo coming back is held to; a read fills in the rest.
    for (std::size_t i = 0; i < on.size(); ++i) {
        if (!impl_->servo_torque[i]) {
            impl_->servo_torque[i] = on[i];
        }
    }
    return std::ranges::all_of(on, std::identity());
}

Result<std::array<std::uint8_t, 7>> MotorController::read_all_voltages() {
    WENLO_TRY_ASSIGN(auto port, impl_->port());
    return read_servos<std::uint8_t>(impl_->protocol, *port, sm40bl::sync_read_present_voltage,
                                     sts3025bl::sync_read_present_voltage);
}

Result<std::array<double, 7>> MotorController::read_all_positions() {
    if (impl_->serial_lost) {
        // The line is away: no servo can answer, and each counts it, as a silent line's do.
        for (std::uint8_t id : kServoIds) {
            impl_->health.not_answered(id);
        }
    }
    WENLO_TRY_ASSIGN(auto port, impl_->port());
    WENLO_TRY_ASSIGN(const auto all,
                     read_servos<double>(impl_->protocol, *port, sm40bl::sync_read_present_position,
                                         sts3025bl::sync_read_present_position));
    impl_->health.servo_positions(all);
    return all;
}

Result<void> MotorController::set_torque_on_ids(std::span<const std::uint8_t> ids, bool enable) {
    if (enable) {
        WENLO_TRY(impl_->may_move());
    }
    std::vector<std::uint8_t> arms;
    std::vector<std::uint8_t> nose;
    for (std::uint8_t id : ids) {  // ids of no servo are dropped; duplicates stay
        if (const auto servo = servo_by_id(id)) {
            (servo->kind == JointKind::Sm40bl ? arms : nose).push_back(id);
        }
    }
    if (arms.empty() && nose.empty()) {
        return {};
    }
    WENLO_TRY_ASSIGN(auto port, impl_->port());
    // What each servo was told, for one that comes back from silence (serial_reopen.cpp).
    auto commanded = [&](std::span<const std::uint8_t> group) {
        for (std::uint8_t id : group) {
            impl_->servo_torque[id - kServoIds.front()] = enable;
        }
    };
    if (!arms.empty()) {
        WENLO_TRY(lift(sm40bl::sync_write_torque_enable(impl_->protocol, *port, arms,
                                                        std::vector<bool>(arms.size(), enable))));
        commanded(arms);
    }
    if (!nose.empty()) {
        WENLO_TRY(lift(sts3025bl::sync_write_torque_enable(
            impl_->protocol, *port, nose, std::vector<bool>(nose.size(), enable))));
        commanded(nose);
    }
    return {};
}

Result<void> MotorController::set_goals(const GoalGroup& group, std::span<const double> goals) {
    // A NaN goal would convert to raw 0, which drives the joint to -pi: it is refused, naming the
    // operation and the joint, before anything is sent. Infinities saturate as the conversion says.
    WENLO_TRY(impl_->may_move());
    if (auto refused = nan_refusal(group, goals)) {
        return std::unexpected(Error(std::move(*refused)));
    }
    WENLO_TRY_ASSIGN(auto port, impl_->port());
    std::array<double, kServoJoints.count> clamped{};
    for (std::size_t i = 0; i < goals.size(); ++i) {
        clamped[i] = impl_->limits.clamp(group.range.first + i, goals[i]);
    }
    return per_model(group.range, [&](JointKind kind, Ids ids, std::size_t first) {
        const auto write = kind == JointKind::Sm40bl ? sm40bl::sync_write_goal_position
                                                     : sts3025bl::sync_write_goal_position;
        return lift(write(impl_->protocol, *port, ids,
                          std::span<const double>(clamped).subspan(first - group.range.first,
                                                                   ids.size())));
    });
}

Result<std::vector<std::uint8_t>> MotorController::read_raw(std::uint8_t id, std::uint8_t address,
                                                            std::uint8_t length) {
    WENLO_TRY_ASSIGN(auto port, impl_->port());
    return lift(impl_->protocol.read(*port, id, address, length));
}

Result<void> MotorController::write_raw(std::uint8_t id, std::uint8_t address,
                                        std::span<const std::uint8_t> data) {
    // Beyond this the packet's length byte would wrap and a malformed packet reach the bus.
    if (data.size() > kMaxWriteBytes) {
        return std::unexpected(Error("write_raw: " + std::to_string(data.size()) +
                                     " data bytes do not fit one packet (at most " +
                                     std::to_string(kMaxWriteBytes) + ")"));
    }
    WENLO_TRY_ASSIGN(auto port, impl_->port());
    return lift(impl_->protocol.write(*port, id, address, data));
}

Result<std::vector<std::uint8_t>> MotorController::write_raw_packet(
    std::span<const std::uint8_t> data) {
    using namespace std::chrono_literals;
    WENLO_TRY_ASSIGN(auto port, impl_->port());
    serialbus::SerialPort& serial = *port;
    WENLO_TRY(lift(serial.write_all(data)));
    WENLO_TRY(lift(serial.flush()));
    // Unlike a protocol exchange, whatever is waiting is returned unparsed.
    auto waiting = serial.bytes_to_read();
    const auto start = std::chrono::steady_clock::now();
    while (waiting && *waiting == 0) {
        if (std::chrono::steady_clock::now() - start >= 10ms) {
            return std::vector<std::uint8_t>{};
        }
        std::this_thread::sleep_for(5ms);
        waiting = serial.bytes_to_read();
    }
    if (!waiting) {
        return std::unexpected(Error(waiting.error().message(), IoKind::Other));
    }
    std::vector<std::uint8_t> answer(*waiting);
    WENLO_TRY(lift(serial.read_exact(answer)));
    return answer;
}

const HealthReport& MotorController::health() const { return impl_->health.report(); }

Result<void> MotorController::read_servo_telemetry() {
    WENLO_TRY_ASSIGN(auto port, impl_->port());
    // Both groups are asked even when the first fails, so that each servo's record is fresh.
    Result<void> outcome;
    auto read_group = [&](auto read, std::span<const std::uint8_t> ids, std::size_t first) {
        auto group = lift(read(impl_->protocol, *port, ids));
        if (!group) {
            if (outcome) {
                outcome = std::unexpected(group.error());
            }
            return;
        }
        for (std::size_t i = 0; i < group->size(); ++i) {
            impl_->health.servo_telemetry(first + i, (*group)[i]);
        }
    };
    read_group(sm40bl::sync_read_telemetry, kArmIds, kArmJoints.first);
    read_group(sts3025bl::sync_read_telemetry, kNoseIds, kNoseJoints.first);
    return outcome;
}

HealthReport MotorController::read_health() {
    if (impl_->serial) {
        (void)read_servo_telemetry();  // what failed is in the record
    }
    for (std::size_t i = 0; i < kNeckJoints; ++i) {  // each one, whatever the others do
        (void)impl_->noted(i, impl_->neck[i].request_feedback(impl_->can));
    }
    return impl_->health.report();
}

Result<bool> MotorController::ping(std::uint8_t id) {
    WENLO_TRY_ASSIGN(auto port, impl_->port());
    return lift(impl_->protocol.ping(*port, id));
}

}  // namespace wenlo::controller
