// The background control loop: started on the caller's thread with the hardware checks and the
// voltage wait, then a worker thread that owns the controller, reads every joint at a fixed
// period and executes queued commands. Callers read the latest state through shared records and
// reach the motors only through the bounded command queue.
#pragma once

#include "control_loop/bounded_queue.h"
#include "common/duration.h"
#include "control_loop/motor_command.h"
#include "control_loop/motor_error.h"
#include "control_loop/scheduling.h"
#include "control_loop/step_limit.h"
#include "control_loop/loop_stats.h"
#include "control_loop/torso_position.h"
#include "controller/error.h"
#include "controller/controller.h"
#include "controller/health.h"
#include "controller/joint_limits.h"

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace wenlo::control_loop {

// Name to id of the seven serial servos, in id order.
using controller::MotorNames;

inline constexpr std::size_t kQueueCapacity = 100;

struct LoopConfig {
    std::optional<std::string> serialport;  // none: a neck-only loop
    Duration period;                        // read_position_loop_period, > 0
    std::string can_bus = "can0";
    std::uint64_t allowed_retries = 5;      // >= 1
    std::optional<Duration> stats_pub_period;
    Duration voltage_rampup_timeout{30, 0};
    // At most once per period, a tick also reads the servos' telemetry registers.
    std::optional<Duration> telemetry_period;
    Scheduling scheduling;  // of the worker, on request
    // Limits on the goals by joint name (controller/joint_limits.h), and the largest step.
    std::vector<std::pair<std::string, controller::Bounds>> joint_limits;
    MaxStep max_step;
    // What the worker leaves the motors with when it ends, after the queue has run.
    controller::ExitPolicy on_exit = controller::ExitPolicy::Hold;
    // The neck motors' communication time-out (register 9), set at start-up: a motor that hears
    // no control frame for that long leaves its enabled state. Ticks then feed it.
    std::optional<Duration> neck_timeout;
};

// Why a start-up ended without a loop.
class StartFailure {
public:
    enum class Kind {
        Motor,            // the hardware checks: a MotorError
        InvalidArgument,  // refused before anything was touched
        Interrupted,      // the interruption check asked to stop
        Device,           // a device did not take a setting
        SpawnFailed,      // the worker thread could not be created
    };
    StartFailure(MotorError error) : kind_(Kind::Motor), motor_(std::move(error)) {}  // NOLINT
    static StartFailure invalid(std::string text) { return {Kind::InvalidArgument, std::move(text)}; }
    static StartFailure interrupted() { return {Kind::Interrupted, "start-up interrupted"}; }
    // A device that did not take what the start-up set (a register that does not hold).
    static StartFailure device(std::string text) { return {Kind::Device, std::move(text)}; }
    static StartFailure spawn_failed(std::string text) {
        return {Kind::SpawnFailed, "failed to spawn thread: " + std::move(text)};
    }

    Kind kind() const { return kind_; }
    std::string message() const { return motor_ ? motor_->message() : text_; }

private:
    StartFailure(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
    Kind kind_;
    std::optional<MotorError> motor_;
    std::string text_;
};

class ControlLoop {
public:
    using Clock = std::chrono::steady_clock;

    // The whole start-up on the calling thread; `interrupted` is asked between voltage polls
    // and between reboot polls. On failure everything built so far is released.
    static std::expected<std::unique_ptr<ControlLoop>, StartFailure> start(
        const LoopConfig& config, const controller::InterruptCheck& interrupted = {});

    ~ControlLoop();  // closes first
    ControlLoop(const ControlLoop&) = delete;
    ControlLoop& operator=(const ControlLoop&) = delete;

    // Sets the stop flag and waits for the worker, which first executes what is queued; from
    // here on sends fail. Idempotent; never fails. Every call returns only once the worker has
    // ended and released the ports, except on the worker's own thread, which cannot wait for
    // itself: there it returns at once and the worker ends on its own.
    void close();

    // True on the worker's own thread (a logging handler of one of its records), where nothing
    // may wait for the worker.
    bool on_worker_thread() const;

    std::expected<TorsoPosition, MotorError> get_last_position() const;
    std::expected<bool, MotorError> is_torque_enabled() const;
    std::optional<StatsSnapshot> get_stats() const;  // none when statistics are off
    // The worker's latest view of every joint's health; never waits for the worker.
    controller::HealthReport get_last_health() const;
    // Every snapshot the worker took since the last call (or the start), oldest first. The ring
    // keeps kSnapshotRing; when it overflowed, one warning says how many were lost.
    std::vector<TorsoPosition> drain_positions();
    const MotorNames& get_motor_name_id() const { return names_; }
    const controller::JointLimits& joint_limits() const { return limits_; }
    bool has_serial_port() const { return has_serial_; }

    // Queues a command, waiting for room until the deadline; the command is moved only when Sent.
    // Closed once the worker has ended.
    SendStatus send_until(MotorCommand& command, Clock::time_point deadline);
    // Jumps the queue (an emergency stop): what was queued before is dropped, unrun.
    SendStatus preempt(MotorCommand& command);

    // The emergency-stop latch of the worker's controller, set and read without waiting.
    bool is_estopped() const;
    void set_estop_latch(bool latched);

    struct Shared;  // what the loop object and the worker share

private:
    ControlLoop(std::shared_ptr<Shared> shared, MotorNames names, bool has_serial,
                controller::JointLimits limits);

    std::shared_ptr<Shared> shared_;
    MotorNames names_;
    controller::JointLimits limits_;
    bool has_serial_;
};

}  // namespace wenlo::control_loop
