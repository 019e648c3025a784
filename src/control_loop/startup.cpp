// The start-up, on the caller's thread, in its fixed order: every check that can fail runs
// before anything that is costly to undo, and the first failure releases all that was built.
#include "common/log.h"
#include "common/float_format.h"
#include "common/try.h"
#include "control_loop/shared_state.h"
#include "control_loop/snapshot.h"
#include "controller/device_errors.h"
#include "controller/layout.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <system_error>
#include <thread>

namespace wenlo::control_loop {
namespace {

using controller::MotorController;
using Steady = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kVoltagePoll = 100ms;
constexpr auto kRebootTimeout = std::chrono::seconds(1);
constexpr std::uint8_t kRampedUp = 110;  // 11.0 V

std::string readings_text(const std::array<std::uint8_t, 7>& readings) {
    std::string text = "[";
    for (std::size_t i = 0; i < readings.size(); ++i) {
        text += (i > 0 ? ", " : "") + std::to_string(readings[i]);
    }
    return text + "]";
}

Duration elapsed_since(Steady::time_point start) {
    return Duration::from(Steady::now() - start);
}

// Waits until every servo reads at least 11.0 V, or the time-out has passed. Elapsed time is
// measured on the steady clock, so a clock set back cannot stretch or cut the wait.
std::expected<void, StartFailure> wait_for_voltage(MotorController& c, const LoopConfig& config,
                                                   const controller::InterruptCheck& interrupted) {
    WENLO_LOG(log::kControlLoopTarget, log::Level::Info,
              "Waiting for voltage to be stable at 12V...");
    const auto start = Steady::now();
    const auto timeout = config.voltage_rampup_timeout.to_chrono();
    auto read = [&] { return with_retry(config.allowed_retries, [&] { return c.read_all_voltages(); }); };
    auto readings = read();
    for (;;) {
        if (!readings) {
            return std::unexpected(MotorError::communication());
        }
        const bool wait = std::any_of(readings->begin(), readings->end(), [&](std::uint8_t v) {
            return v < kRampedUp && Steady::now() - start < timeout;
        });
        if (!wait) {
            break;
        }
        std::this_thread::sleep_for(kVoltagePoll);
        if (interrupted && interrupted()) {
            return std::unexpected(StartFailure::interrupted());
        }
        readings = read();
    }
    const std::uint8_t lowest = *std::min_element(readings->begin(), readings->end());
    if (lowest < kRampedUp) {
        return std::unexpected(MotorError(
            MotorError::VoltageRampUpTimeout{lowest, config.voltage_rampup_timeout}));
    }
    if (log::enabled(log::kControlLoopTarget, log::Level::Info)) {
        log::write(log::kControlLoopTarget, log::Level::Info,
                   "Voltage is stable at ~12V: " + readings_text(*readings) + " (took " +
                       format_duration(elapsed_since(start)) + ")",
                   __FILE__, __LINE__);
    }
    return {};
}

// Steps 2 to 9: the checks, in their order, on a controller that this function builds.
struct Started {
    MotorController controller;
    TorsoPosition position;
    bool torque;
};

// The time-out in the register's unit, 50 us; RAM only (never the save command), so that a
// power cycle forgets it. Each motor is read back: a value that does not hold fails the start.
constexpr std::uint64_t kTimeoutUnitNs = 50'000;

std::expected<void, StartFailure> set_neck_timeout(MotorController& c, Duration timeout) {
    const std::uint64_t ns = static_cast<std::uint64_t>(timeout.to_chrono().count());
    const double units = static_cast<double>((ns + kTimeoutUnitNs / 2) / kTimeoutUnitNs);
    for (std::size_t i = 0; i < controller::kNeckJoints; ++i) {
        const std::string joint(controller::neck_name(i));
        auto held = c.write_neck_register(joint, "TIMEOUT", units);
        if (!held) {
            return std::unexpected(StartFailure::device("neck_timeout: " + held.error().message()));
        }
        if (held->type() != candrive::damiao::registers::RegisterType::Uint32 ||
            held->as_uint32() != static_cast<std::uint32_t>(units)) {
            return std::unexpected(StartFailure::device(
                "neck_timeout: " + joint + " does not hold its communication time-out (wrote " +
                std::to_string(static_cast<std::uint32_t>(units)) + " to register 9, read back " +
                (held->type() == candrive::damiao::registers::RegisterType::Uint32
                     ? std::to_string(held->as_uint32())
                     : std::string("a float")) +
                ")"));
        }
    }
    return {};
}

std::expected<Started, StartFailure> bring_up(const LoopConfig& config,
                                              const controller::JointLimits& limits,
                                              const controller::InterruptCheck& interrupted) {
    if (config.serialport) {
        struct stat info{};
        if (::stat(config.serialport->c_str(), &info) != 0) {
            const int code = errno;
            controller::log_open_failure(controller::serial_port_failure(
                *config.serialport, code, strerrordesc_np(code)));
            return std::unexpected(MotorError(MotorError::PortNotFound{*config.serialport}));
        }
    }
    auto created = MotorController::create(config.serialport, config.can_bus, limits, config.on_exit);
    if (!created) {
        return std::unexpected(
            MotorError(MotorError::PortOpenFailed{config.serialport.value_or("")}));
    }
    MotorController& c = *created;
    if (c.has_serial_port()) {
        const std::vector<std::uint8_t> missing = c.check_missing_ids();
        if (missing.size() == controller::kServoIds.size()) {
            return std::unexpected(MotorError(MotorError::NoMotorsDetected{}));
        }
        if (!missing.empty()) {
            std::vector<std::string> missing_names;
            for (std::uint8_t id : missing) {
                missing_names.push_back(controller::servo_name(id));
            }
            return std::unexpected(MotorError(MotorError::MissingMotors{missing_names}));
        }
    }
    if (auto neck = c.check_missing_neck_motors(); !neck.empty()) {
        return std::unexpected(MotorError(MotorError::MissingMotors{std::move(neck)}));
    }
    if (config.neck_timeout) {
        WENLO_TRY(set_neck_timeout(c, *config.neck_timeout));
    }
    if (c.has_serial_port()) {
        WENLO_TRY(wait_for_voltage(c, config, interrupted));
        if (auto rebooted = c.reboot(kRebootTimeout, interrupted); !rebooted) {
            if (rebooted.error().is_interruption()) {
                return std::unexpected(StartFailure::interrupted());
            }
            return std::unexpected(MotorError::communication());
        }
    }
    WENLO_TRY_ASSIGN(const TorsoPosition position, read_pos(c, config.allowed_retries));
    bool torque = false;
    if (c.has_serial_port()) {
        auto on = with_retry(config.allowed_retries, [&] { return c.is_torque_enabled(); });
        if (!on) {
            return std::unexpected(MotorError::communication());
        }
        torque = *on;
    }
    return Started{std::move(c), position, torque};
}

}  // namespace

std::expected<std::unique_ptr<ControlLoop>, StartFailure> ControlLoop::start(
    const LoopConfig& config, const controller::InterruptCheck& interrupted) {
    // Values with no meaning are refused before any hardware is touched.
    if (config.period.secs == 0 && config.period.nanos == 0) {
        return std::unexpected(
            StartFailure::invalid("read_position_loop_period must be greater than zero"));
    }
    if (config.allowed_retries == 0) {
        return std::unexpected(StartFailure::invalid("allowed_retries must be at least 1"));
    }
    if (auto invalid = invalid_scheduling(config.scheduling)) {
        return std::unexpected(StartFailure::invalid(std::move(*invalid)));
    }
    // A time-out the ticks cannot keep fed would trip the neck while the program runs.
    const auto shortest = 2 * config.period.to_chrono() + std::chrono::milliseconds(20);
    if (config.neck_timeout && config.neck_timeout->to_chrono() < shortest) {
        return std::unexpected(StartFailure::invalid(
            "neck_timeout must be at least twice the period plus 20 ms (" +
            fmt::float_display(std::chrono::duration<double, std::milli>(shortest).count()) +
            " ms), not " +
            fmt::float_display(
                std::chrono::duration<double, std::milli>(config.neck_timeout->to_chrono())
                    .count()) +
            " ms"));
    }
    const auto limits = controller::joint_limits(config.joint_limits);
    if (!limits) {
        return std::unexpected(StartFailure::invalid(limits.error().message()));
    }
    std::optional<StepLimit> step;
    if (config.max_step.all || !config.max_step.by_joint.empty()) {
        auto made = StepLimit::make(config.max_step, {});
        if (!made) {
            return std::unexpected(StartFailure::invalid(std::move(made.error())));
        }
        step = std::move(*made);
    }
    MotorNames names = controller::motor_names();
    WENLO_TRY_ASSIGN(Started started, bring_up(config, *limits, interrupted));
    if (step) {
        step->seen(started.position);
    }
    const bool has_serial = started.controller.has_serial_port();
    auto shared =
        std::make_shared<Shared>(started.position, started.torque,
                                 config.stats_pub_period.has_value(), started.controller.health());
    shared->estopped = started.controller.estop_latch();
    Worker worker{std::move(started.controller), config.period, config.stats_pub_period,
                  config.allowed_retries, shared, config.telemetry_period, config.scheduling,
                  std::move(step), config.neck_timeout.has_value()};
    try {
        shared->worker_slot.store(spawn_worker(std::move(worker)));
    } catch (const std::system_error& e) {
        return std::unexpected(StartFailure::spawn_failed(e.what()));
    }
    return std::unique_ptr<ControlLoop>(
        new ControlLoop(std::move(shared), std::move(names), has_serial, *limits));
}

}  // namespace wenlo::control_loop
