// What the loop object and its worker share, and what the worker owns. Each record has its own
// mutex; no code holds two of them at once.
#pragma once

#include "control_loop/control_loop.h"
#include "control_loop/handle_commands.h"
#include "control_loop/step_limit.h"
#include "control_loop/ring.h"
#include "common/guarded.h"

#include <atomic>
#include <thread>

namespace wenlo::control_loop {

using CommandQueue = BoundedQueue<MotorCommand>;
using PositionRecord = Guarded<std::expected<TorsoPosition, MotorError>>;
using StatsRecord = Guarded<LoopStats>;
// Every snapshot the worker takes, kept for drain_positions(): when the caller falls behind, the
// oldest go and are counted. 8192 snapshots: 82 s at 100 Hz, 16 s at 500 Hz; 768 kB in all.
inline constexpr std::size_t kSnapshotRing = 8192;
using SnapshotRing = Ring<TorsoPosition>;

struct ControlLoop::Shared {
    Guarded<bool> stop{false};
    Guarded<std::optional<std::thread>> worker_slot{std::nullopt};
    CommandQueue queue{kQueueCapacity};
    PositionRecord last_position;
    TorqueRecord last_torque;
    std::unique_ptr<StatsRecord> last_stats;  // only with statistics on
    Guarded<controller::HealthReport> last_health;  // the worker's view, after every exchange
    Guarded<SnapshotRing> snapshots{kSnapshotRing};  // every good snapshot, for drain_positions
    // The worker's controller's emergency-stop latch, which callers set and read at once.
    std::shared_ptr<std::atomic<bool>> estopped;
    std::atomic<bool> worker_failed{false};   // the worker ended by an internal failure
    std::atomic<std::thread::id> worker_id{};  // set by the worker itself, first thing
    // Set once the worker has released the controller (and so the ports), however it ended.
    std::atomic<bool> worker_ended{false};

    Shared(std::expected<TorsoPosition, MotorError> position, bool torque, bool with_stats,
           const controller::HealthReport& health = {})
        : last_position(std::move(position)),
          last_torque(torque),
          last_stats(with_stats ? std::make_unique<StatsRecord>(LoopStats{}) : nullptr),
          last_health(health) {}
};

// Everything the worker owns for its life.
struct Worker {
    controller::MotorController controller;
    Duration period;
    std::optional<Duration> stats_pub_period;
    std::uint64_t allowed_retries;
    std::shared_ptr<ControlLoop::Shared> shared;
    std::optional<Duration> telemetry_period;  // none: no telemetry reads
    Scheduling scheduling;
    std::optional<StepLimit> step;  // none: goals go as they are
    bool feed_neck = false;          // the neck has a communication time-out to feed
};

// The periodic cycle, then the draining of the queue; returns once the queue is closed.
// Throws on an internal failure (a poisoned stop flag or statistics record).
void run(Worker& worker);

// The thread's entry: runs the cycle, lets nothing but a forced unwind escape, and on every way
// out closes the queue (releasing what is left in it) and releases the controller.
void worker_main(Worker worker);

// Starts the worker thread: the worker records its own id, runs worker_main, and marks its end
// once the controller is gone. Throws std::system_error when no thread can be made.
std::thread spawn_worker(Worker worker);

}  // namespace wenlo::control_loop
