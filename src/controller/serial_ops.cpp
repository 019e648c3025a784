// Arm and nose servo operations: one or two group reads or writes, arms (SM40BL) first.
#include "controller/controller_impl.h"
#include "serialbus/servo/feetech/sm40bl.hpp"
#include "serialbus/servo/feetech/sts3025bl.hpp"

#include <chrono>
#include <cmath>
#include <thread>

namespace wenlo::controller {
namespace {

namespace sm40bl = serialbus::servo::feetech::sm40bl;
namespace sts3025bl = serialbus::servo::feetech::sts3025bl;

// Joins the arm and nose answers of a group read into one id-ordered list of seven.
template <typename T, typename Out = T>
std::array<Out, 7> join(const std::vector<T>& arms, const std::vector<T>& nose) {
    std::array<Out, 7> all{};
    for (std::size_t i = 0; i < 4; ++i) {
        all[i] = static_cast<Out>(arms[i]);
    }
    for (std::size_t i = 0; i < 3; ++i) {
        all[4 + i] = static_cast<Out>(nose[i]);
    }
    return all;
}

// A NaN goal would convert to raw 0, which drives the joint to -pi: it is refused, naming the
// operation and the joint, before anything is sent. Infinities saturate as the conversion says.
Result<void> refuse_nan(const GoalGroup& group, std::span<const double> goals) {
    if (auto refused = nan_refusal(group, goals)) {
        return std::unexpected(Error(std::move(*refused)));
    }
    return {};
}

}  // namespace

Result<bool> MotorController::is_torque_enabled() {
    WENLO_TRY_ASSIGN(auto port, impl_->port());
    WENLO_TRY_ASSIGN(const auto arms,
                     lift(sm40bl::sync_read_torque_enable(impl_->protocol, *port, kArmIds)));
    // Both groups are read before any value is looked at.
    WENLO_TRY_ASSIGN(const auto nose,
                     lift(sts3025bl::sync_read_torque_enable(impl_->protocol, *port, kNoseIds)));
    bool all_on = true;
    for (bool on : arms) {
        all_on = all_on && on;
    }
    for (bool on : nose) {
        all_on = all_on && on;
    }
    return all_on;
}

Result<std::array<std::uint8_t, 7>> MotorController::read_all_voltages() {
    WENLO_TRY_ASSIGN(auto port, impl_->port());
    WENLO_TRY_ASSIGN(const auto arms,
                     lift(sm40bl::sync_read_present_voltage(impl_->protocol, *port, kArmIds)));
    WENLO_TRY_ASSIGN(const auto nose,
                     lift(sts3025bl::sync_read_present_voltage(impl_->protocol, *port, kNoseIds)));
    return join(arms, nose);
}

Result<std::array<double, 7>> MotorController::read_all_positions() {
    WENLO_TRY_ASSIGN(auto port, impl_->port());
    WENLO_TRY_ASSIGN(const auto arms,
                     lift(sm40bl::sync_read_present_position(impl_->protocol, *port, kArmIds)));
    WENLO_TRY_ASSIGN(const auto nose,
                     lift(sts3025bl::sync_read_present_position(impl_->protocol, *port, kNoseIds)));
    const auto all = join(arms, nose);
    impl_->health.servo_positions(all);
    return all;
}

Result<void> MotorController::set_torque_on_ids(std::span<const std::uint8_t> ids, bool enable) {
    std::vector<std::uint8_t> arms;
    std::vector<std::uint8_t> nose;
    for (std::uint8_t id : ids) {  // other ids are dropped; duplicates stay
        if (id >= 1 && id <= 4) {
            arms.push_back(id);
        } else if (id >= 5 && id <= 7) {
            nose.push_back(id);
        }
    }
    if (arms.empty() && nose.empty()) {
        return {};
    }
    WENLO_TRY_ASSIGN(auto port, impl_->port());
    if (!arms.empty()) {
        WENLO_TRY(lift(sm40bl::sync_write_torque_enable(impl_->protocol, *port, arms,
                                                        std::vector<bool>(arms.size(), enable))));
    }
    if (!nose.empty()) {
        return lift(sts3025bl::sync_write_torque_enable(impl_->protocol, *port, nose,
                                                        std::vector<bool>(nose.size(), enable)));
    }
    return {};
}

Result<void> MotorController::enable_arms(bool enable) {
    WENLO_TRY_ASSIGN(auto port, impl_->port());
    return lift(sm40bl::sync_write_torque_enable(impl_->protocol, *port, kArmIds,
                                                 std::vector<bool>(kArmIds.size(), enable)));
}

Result<void> MotorController::enable_nose(bool enable) {
    WENLO_TRY_ASSIGN(auto port, impl_->port());
    return lift(sts3025bl::sync_write_torque_enable(impl_->protocol, *port, kNoseIds,
                                                    std::vector<bool>(kNoseIds.size(), enable)));
}

Result<void> MotorController::set_all_torque(bool enable) {
    WENLO_TRY(enable_arms(enable));
    return enable_nose(enable);
}

Result<void> MotorController::set_all_goal_positions(const std::array<double, 7>& positions) {
    WENLO_TRY(refuse_nan(kAllGoals, positions));
    WENLO_TRY_ASSIGN(auto port, impl_->port());
    WENLO_TRY(lift(sm40bl::sync_write_goal_position(impl_->protocol, *port, kArmIds,
                                                    std::span<const double>(positions.data(), 4))));
    return lift(sts3025bl::sync_write_goal_position(
        impl_->protocol, *port, kNoseIds, std::span<const double>(positions.data() + 4, 3)));
}

Result<void> MotorController::set_arms_position(const std::array<double, 4>& position) {
    WENLO_TRY(refuse_nan(kArmsGoals, position));
    WENLO_TRY_ASSIGN(auto port, impl_->port());
    return lift(sm40bl::sync_write_goal_position(impl_->protocol, *port, kArmIds, position));
}

Result<void> MotorController::set_left_arm_position(const std::array<double, 2>& position) {
    WENLO_TRY(refuse_nan(kLeftArmGoals, position));
    WENLO_TRY_ASSIGN(auto port, impl_->port());
    return lift(sm40bl::sync_write_goal_position(impl_->protocol, *port, kLeftArmIds, position));
}

Result<void> MotorController::set_right_arm_position(const std::array<double, 2>& position) {
    WENLO_TRY(refuse_nan(kRightArmGoals, position));
    WENLO_TRY_ASSIGN(auto port, impl_->port());
    return lift(sm40bl::sync_write_goal_position(impl_->protocol, *port, kRightArmIds, position));
}

Result<void> MotorController::set_nose_position(const std::array<double, 3>& position) {
    WENLO_TRY(refuse_nan(kNoseGoals, position));
    WENLO_TRY_ASSIGN(auto port, impl_->port());
    return lift(sts3025bl::sync_write_goal_position(impl_->protocol, *port, kNoseIds, position));
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
