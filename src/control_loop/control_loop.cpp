// The loop object after start-up: close, the reading operations and the sending end.
#include "control_loop/control_loop.h"

#include "common/log.h"
#include "control_loop/shared_state.h"

namespace wenlo::control_loop {
namespace {

void log_error(std::string_view message) {
    WENLO_LOG(log::kControlLoopTarget, log::Level::Error, std::string(message));
}

// The payload of a failed worker cannot be shown; this stands for it.
constexpr std::string_view kOpaquePayload = "Any { .. }";

}  // namespace

ControlLoop::ControlLoop(std::shared_ptr<Shared> shared, MotorNames names, bool has_serial,
                         controller::JointLimits limits)
    : shared_(std::move(shared)),
      names_(std::move(names)),
      limits_(limits),
      has_serial_(has_serial) {}

ControlLoop::~ControlLoop() { close(); }

void ControlLoop::close() {
    shared_->stop.with([](bool& flag, bool poisoned) {
        if (!poisoned) {
            flag = true;
        }
    });
    // What is queued now still runs; later sends fail. Otherwise a thread that keeps sending
    // could keep the worker draining, and close waiting, for ever.
    shared_->queue.refuse_new();
    shared_->queue.nudge();  // the worker may be asleep until its next tick
    bool slot_poisoned = false;
    std::optional<std::thread> worker = shared_->worker_slot.with(
        [&](std::optional<std::thread>& slot, bool poisoned) {
            slot_poisoned = poisoned;
            return std::exchange(slot, std::nullopt);
        });
    if (on_worker_thread()) {
        // Closed from the worker itself (a logging handler on the worker thread): it ends on
        // its own once it sees the flag; it owns everything it still needs.
        if (worker && worker->joinable()) {
            worker->detach();
        }
        return;
    }
    if (worker && worker->joinable()) {
        worker->join();
        if (shared_->worker_failed.load()) {
            log_error(std::string(slot_poisoned
                                      ? "Failed to join control loop thread (poisoned): "
                                      : "Failed to join control loop thread: ") +
                      std::string(kOpaquePayload));
        }
    }
    // Another close may hold the thread (or the worker detached it): wait for its end all the
    // same, so that whoever returns from close may open the ports again at once.
    shared_->worker_ended.wait(false);
}

bool ControlLoop::on_worker_thread() const {
    return shared_->worker_id.load() == std::this_thread::get_id();
}

std::expected<TorsoPosition, MotorError> ControlLoop::get_last_position() const {
    auto [value, poisoned] = shared_->last_position.read();
    if (poisoned) {
        log_error("last_position mutex was poisoned");
    }
    return value;
}

std::expected<bool, MotorError> ControlLoop::is_torque_enabled() const {
    auto [value, poisoned] = shared_->last_torque.read();
    if (poisoned) {
        log_error("last_torque mutex was poisoned");
    }
    return value;
}

std::optional<StatsSnapshot> ControlLoop::get_stats() const {
    if (!shared_->last_stats) {
        return std::nullopt;
    }
    bool was_poisoned = false;
    StatsSnapshot snapshot = shared_->last_stats->with([&](LoopStats& stats, bool poisoned) {
        was_poisoned = poisoned;
        return StatsSnapshot{stats.period.to_vector(), stats.read_dt.to_vector(),
                             stats.write_dt.to_vector()};
    });
    if (was_poisoned) {
        log_error("last_stats mutex was poisoned");
    }
    return snapshot;
}

controller::HealthReport ControlLoop::get_last_health() const {
    return shared_->last_health.read().first;  // the last good copy, poisoned or not
}

std::vector<TorsoPosition> ControlLoop::drain_positions() {
    auto drained = shared_->snapshots.with([](SnapshotRing& ring, bool) { return ring.drain(); });
    if (drained.lost > 0) {
        WENLO_LOG(log::kControlLoopTarget, log::Level::Warn,
                  "drain_positions: " + std::to_string(drained.lost) +
                      " snapshots were lost: the ring keeps the last " +
                      std::to_string(kSnapshotRing) + "; call it more often");
    }
    return std::move(drained.items);
}

SendStatus ControlLoop::send_until(MotorCommand& command, Clock::time_point deadline) {
    return shared_->queue.send_until(command, deadline);
}

SendStatus ControlLoop::preempt(MotorCommand& command) {
    std::deque<MotorCommand> dropped;  // their reply channels close here, outside the lock
    return shared_->queue.preempt(command, dropped);
}

bool ControlLoop::is_estopped() const { return shared_->estopped->load(); }

void ControlLoop::set_estop_latch(bool latched) { shared_->estopped->store(latched); }

}  // namespace wenlo::control_loop
