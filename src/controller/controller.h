// The motor controller: the one object that owns both buses of the upper body.
#pragma once

#include "candrive/damiao/registers.hpp"
#include "controller/error.h"
#include "controller/health.h"
#include "controller/joint_limits.h"
#include "controller/layout.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace wenlo::controller {

inline constexpr std::string_view kNoSerialPort =
    "serial port not configured (neck-only controller)";
inline constexpr std::string_view kEstopLatched =
    "emergency stop latched: nothing may move the motors until reset_estop() is called";

// Homing cycles for the largest distance and the step per cycle: whole part of max_err / step
// plus 2000, saturating instead of wrapping for a tiny step.
std::uint64_t homing_cycle_budget(double max_err, double step);

// What the motors are left with when a program lets go of them: as they are, limp (servos'
// torque off, neck disabled), or damped (servos' torque off, the neck in damping as the
// emergency stop leaves it).
enum class ExitPolicy { Hold, Limp, Damp };
// By the name a program gives: "hold", "limp" or "damp"; none for anything else.
std::optional<ExitPolicy> exit_policy_named(std::string_view name);

class MotorController {
public:
    // Opens the serial port (if a path is given) and then the CAN interface; sends nothing.
    // Goals are clamped to `limits` from then on; let_go() does what `on_exit` says.
    static Result<MotorController> create(const std::optional<std::string>& serial_path,
                                          const std::string& can_bus,
                                          const JointLimits& limits = builtin_limits(),
                                          ExitPolicy on_exit = ExitPolicy::Hold);

    MotorController(MotorController&&) noexcept;
    MotorController& operator=(MotorController&&) noexcept;
    ~MotorController();  // closes the serial port, then the CAN socket

    bool has_serial_port() const;
    const JointLimits& joint_limits() const;

    // Serial servos of the arms and nose; seven-value lists are in id order 1 to 7.
    [[nodiscard]] std::vector<std::uint8_t> check_missing_ids();
    [[nodiscard]] Result<std::vector<std::uint8_t>> write_raw_packet(
        std::span<const std::uint8_t> data);
    [[nodiscard]] Result<bool> is_torque_enabled();
    [[nodiscard]] Result<std::array<std::uint8_t, 7>> read_all_voltages();
    [[nodiscard]] Result<void> set_torque_on_ids(std::span<const std::uint8_t> ids, bool enable);
    [[nodiscard]] Result<std::array<double, 7>> read_all_positions();
    [[nodiscard]] Result<void> enable_arms(bool enable) {
        return set_torque_on_ids(kArmIds, enable);
    }
    [[nodiscard]] Result<void> enable_nose(bool enable) {
        return set_torque_on_ids(kNoseIds, enable);
    }
    [[nodiscard]] Result<void> set_all_torque(bool enable) {  // arms first, then nose
        return set_torque_on_ids(kServoIds, enable);
    }
    // The goals of a group of servos (layout.h), in its joints' order; one NaN refuses them all
    // before anything is sent.
    [[nodiscard]] Result<void> set_goals(const GoalGroup& group, std::span<const double> goals);
    [[nodiscard]] Result<void> set_all_goal_positions(const std::array<double, 7>& positions) {
        return set_goals(kAllGoals, positions);
    }
    [[nodiscard]] Result<void> set_arms_position(const std::array<double, 4>& position) {
        return set_goals(kArmsGoals, position);
    }
    [[nodiscard]] Result<void> set_left_arm_position(const std::array<double, 2>& position) {
        return set_goals(kLeftArmGoals, position);
    }
    [[nodiscard]] Result<void> set_right_arm_position(const std::array<double, 2>& position) {
        return set_goals(kRightArmGoals, position);
    }
    [[nodiscard]] Result<void> set_nose_position(const std::array<double, 3>& position) {
        return set_goals(kNoseGoals, position);
    }
    // Single-servo register access. One packet carries at most 253 parameter bytes, the
    // address included; a longer write is refused before anything is sent.
    static constexpr std::size_t kMaxWriteBytes = 252;
    [[nodiscard]] Result<std::vector<std::uint8_t>> read_raw(std::uint8_t id, std::uint8_t address,
                                                             std::uint8_t length);
    [[nodiscard]] Result<void> write_raw(std::uint8_t id, std::uint8_t address,
                                         std::span<const std::uint8_t> data);

    // Neck joints (index 0 yaw, 1 pitch, 2 roll).
    static double clamp_neck_position(std::size_t index, double requested);
    [[nodiscard]] Result<void> enable_neck(bool enable);
    [[nodiscard]] Result<void> set_neck_gains(std::uint32_t index, float kp, float kd);
    [[nodiscard]] Result<std::array<double, 3>> command_neck_mit(const std::array<double, 3>& goals,
                                                                 std::string_view label);
    [[nodiscard]] Result<std::array<double, 3>> set_neck_position(
        const std::array<double, 3>& requested);  // clamps, then commands
    [[nodiscard]] Result<double> set_single_neck_joint(std::size_t index, double requested);
    [[nodiscard]] Result<std::array<double, 3>> read_neck_positions();
    // read_neck_positions in two halves, so that the three exchanges overlap each other and
    // whatever the caller does meanwhile (the servos' group reads): the requests go out at
    // once, then the replies are taken by their ids, each waited for at most its time-out from
    // its request, with the same care for late replies as one exchange. Same result and texts.
    struct NeckFeedback {
        std::array<std::optional<std::string>, 3> failed;  // a request that could not be sent
        std::array<bool, 3> motion{};  // the socket took a control command, not a request
        std::chrono::steady_clock::time_point deadline;
    };
    // With `feed_watchdog`, an enabled neck is asked with its current control command instead
    // (the one it holds: the last goal, or the stop's damping), whose reply is the same; a
    // motor whose communication time-out counts only control frames is fed by it.
    [[nodiscard]] NeckFeedback send_neck_feedback_requests(bool feed_watchdog = false);
    [[nodiscard]] Result<std::array<double, 3>> collect_neck_feedback(NeckFeedback pending);
    [[nodiscard]] std::vector<std::string> check_missing_neck_motors();
    bool neck_torque_enabled() const;

    // Asks `interrupted` once per cycle; when it answers true, stops commanding at once (torque
    // stays on, so the neck holds its last set-point) and fails with an interruption.
    [[nodiscard]] Result<std::array<double, 3>> neck_home(double speed, double tolerance,
                                                          std::optional<float> kp,
                                                          std::optional<float> kd,
                                                          const InterruptCheck& interrupted = {});

    // Health: what the answers of every exchange so far said of each joint (controller/health.h).
    [[nodiscard]] const HealthReport& health() const;
    // One read of every servo's telemetry registers (a group read per model), noted in the
    // health record. A servo that does not answer is counted there and fails the read.
    [[nodiscard]] Result<void> read_servo_telemetry();
    // A telemetry read of the servos and a feedback exchange with each neck motor, then the
    // health record. Joints that do not answer are counted in it; it never fails.
    [[nodiscard]] HealthReport read_health();

    // Whether a servo answers a ping at `id` (any id of the bus, 0 to 253).
    [[nodiscard]] Result<bool> ping(std::uint8_t id);
    // One register of a neck motor by the names a person uses: the joint ("neck_yaw", ...) and
    // the register's name in the table. An unknown name, a read-only register, or a value the
    // register cannot hold is refused (Error::refusal) before anything is sent; a write is read
    // back.
    [[nodiscard]] Result<candrive::damiao::registers::RegisterValue> read_neck_register(
        std::string_view joint, std::string_view name);
    [[nodiscard]] Result<candrive::damiao::registers::RegisterValue> write_neck_register(
        std::string_view joint, std::string_view name, double value);

    // The emergency stop: each neck motor gets a damping command (MIT with kp 0, its kd, no
    // velocity and no torque), so that the head sinks slowly, then the seven servos' torque goes
    // off. Every step is tried whatever the others did; the first failure is returned. From
    // then on, until reset_estop(), whatever could move a motor (goals, torque on, enabling the
    // neck, homing, gains) fails with kEstopLatched; reads and switching off still work.
    [[nodiscard]] Result<void> estop();
    // The exit policy, applied where a program lets go (a close, the loop's worker ending);
    // every step is tried, the first failure returned. Hold sends nothing.
    [[nodiscard]] Result<void> let_go();
    void reset_estop();  // re-enables nothing
    bool is_estopped() const;
    // The latch itself, for a caller that must set it without waiting for this controller.
    std::shared_ptr<std::atomic<bool>> estop_latch() const;

    // Reboots the seven servos and waits until each answers again, asking `interrupted`
    // between polls. The servos are silent on purpose meanwhile: health does not count it.
    [[nodiscard]] Result<void> reboot(std::chrono::nanoseconds timeout,
                                      const InterruptCheck& interrupted = {});

    // An unplugged serial adapter (serial_reopen.cpp). Once the device has shown that it went
    // away (EIO, ENXIO, ENODEV, a hang-up), serial_line_lost() closes the dead descriptor at
    // once, so that the kernel can give the adapter its old name back, and logs one ERROR
    // naming the device and the OS cause; serial operations then fail until reopen_serial()
    // opens the same path again, exclusively as at first, and logs one INFO. While the device
    // answers, neither sends or logs anything.
    bool serial_line_lost();  // true while the line is away
    [[nodiscard]] Result<void> reopen_serial();
    // Runs `op` (a call on this controller) so that a serial device that went away is opened
    // again once: before `op` if it was found gone earlier, or after `op` failed by finding
    // it gone, and then, if it is back, `op` runs again. Then recheck_recovered_servos().
    template <typename Op>
    auto reopening_serial(Op&& op) {
        auto outcome = [&] {
            if (serial_line_lost()) {
                (void)reopen_serial();  // if it is still away, `op` fails as the line does
                return op(*this);
            }
            auto result = op(*this);
            if constexpr (requires { result.has_value(); }) {
                if (!result && serial_line_lost() && reopen_serial()) {
                    return op(*this);
                }
            }
            return result;
        }();
        (void)recheck_recovered_servos();
        return outcome;
    }
    // Servos that answered again after failing (a brown-out reboots a servo with its torque
    // off): each one's torque-enable register is read once, if its torque was on as last
    // commanded or read. Each found off gets one WARNING naming the joint; their joints are
    // returned. Sends nothing unless a servo failed and answered again.
    std::vector<std::size_t> recheck_recovered_servos();

private:
    struct Impl;
    explicit MotorController(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace wenlo::controller
