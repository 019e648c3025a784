// The worker: a schedule of ticks at start + k * period on the steady clock, and the command
// queue, waited on together with one condition variable. Overdue ticks fire back to back; when
// a tick and a command are both ready a coin decides, so neither side starves the other.
#include "common/forced_unwind.h"
#include "common/log.h"
#include "control_loop/serial_outage.h"
#include "control_loop/shared_state.h"
#include "control_loop/snapshot.h"

#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>

namespace wenlo::control_loop {
namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration span) { return std::chrono::duration<double>(span).count(); }

// Tick k is due at start + k * period; far futures saturate instead of overflowing.
class Schedule {
public:
    Schedule(Clock::time_point start, Duration period)
        : start_(start), period_(period.to_chrono()) {}
    Clock::time_point due() const { return due_; }
    void advance() {
        ++ticks_;
        Clock::rep offset = 0;
        if (__builtin_mul_overflow(static_cast<Clock::rep>(ticks_), period_.count(), &offset) ||
            offset > (Clock::time_point::max() - start_).count()) {
            due_ = Clock::time_point::max();
        } else {
            due_ = start_ + Clock::duration(offset);
        }
    }

private:
    Clock::time_point start_;
    std::chrono::nanoseconds period_;
    std::uint64_t ticks_ = 0;
    Clock::time_point due_ = start_;  // the first tick is due at once
};

// A coin with equal chances, cheap enough to toss on every contested wake-up.
class Coin {
public:
    Coin() : state_(std::random_device{}() | 1u) {}
    bool toss() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return (state_ & 1u) != 0;
    }

private:
    std::uint32_t state_;
};

[[noreturn]] void poisoned(const char* what) {
    throw std::runtime_error(std::string(what) + " mutex was poisoned");
}

bool stop_requested(Guarded<bool>& stop) {
    return stop.with([](bool& flag, bool is_poisoned) {
        if (is_poisoned) {
            poisoned("stop flag");
        }
        return flag;
    });
}

// What the ticks keep between them: their schedule, the timing samples not yet published
// (none with statistics off) and when telemetry is next due.
class Ticks {
public:
    Ticks(Worker& w, Clock::time_point start)
        : w_(w),
          schedule_(start, w.period),
          last_tick_(start),
          last_publication_(start),
          next_telemetry_(start) {}

    Clock::time_point due() const { return schedule_.due(); }

    void tick() {
        const auto now = Clock::now();
        sample_period(now);
        serial_outage_.before_read(w_.controller, shared_.last_torque, w_.allowed_retries);
        auto snapshot = read_pos(w_.controller, w_.allowed_retries, w_.feed_neck);
        after_serial_exchange(w_.controller, shared_.last_torque);
        if (snapshot) {
            shared_.snapshots.with([&](SnapshotRing& ring, bool) { ring.push(*snapshot); });
            if (w_.step) {
                w_.step->seen(*snapshot);
            }
        }
        shared_.last_position.store(std::move(snapshot));
        read_telemetry_if_due();
        shared_.last_health.store(w_.controller.health());
        sample(read_, now);
        publish_if_due();
        schedule_.advance();
    }

    // The write time of a command that succeeded.
    void command_done(Clock::time_point started) { sample(write_, started); }

private:
    // A poisoned statistics record ends the worker.
    template <typename F>
    void update_stats(F&& f) {
        shared_.last_stats->with([&](LoopStats& stats, bool is_poisoned) {
            if (is_poisoned) {
                poisoned("last_stats");
            }
            f(stats);
        });
    }

    // The period sample is published at once; read and write samples are batched.
    void sample_period(Clock::time_point now) {
        if (shared_.last_stats) {
            update_stats([&](LoopStats& stats) { stats.period.push(seconds(now - last_tick_)); });
            last_tick_ = now;
        }
    }
    void sample(std::vector<double>& batch, Clock::time_point started) {
        if (shared_.last_stats) {
            batch.push_back(seconds(Clock::now() - started));
        }
    }
    void publish_if_due() {
        const auto now = Clock::now();
        if (!shared_.last_stats || now - last_publication_ <= w_.stats_pub_period->to_chrono()) {
            return;
        }
        update_stats([&](LoopStats& stats) {
            stats.read_dt.append(read_);
            stats.write_dt.append(write_);
        });
        read_.clear();
        write_.clear();
        last_publication_ = now;
    }

    // A telemetry read rides on a tick at most once per telemetry period. It does not make the
    // snapshot fail and is not retried: what failed is counted in health.
    void read_telemetry_if_due() {
        if (!w_.telemetry_period || !w_.controller.has_serial_port()) {
            return;
        }
        const auto now = Clock::now();
        if (now < next_telemetry_) {
            return;
        }
        (void)w_.controller.read_servo_telemetry();
        next_telemetry_ = now + w_.telemetry_period->to_chrono();
    }

    Worker& w_;
    ControlLoop::Shared& shared_ = *w_.shared;
    Schedule schedule_;
    Clock::time_point last_tick_;
    Clock::time_point last_publication_;
    Clock::time_point next_telemetry_;
    std::vector<double> read_;
    std::vector<double> write_;
    SerialOutage serial_outage_;  // an unplugged adapter, reopened
};

// Runs one command; false when it failed. A failed command is dropped: its caller learns of it
// only through a reply channel.
bool execute(Worker& w, MotorCommand command) {
    auto done = handle_commands(w.controller, w.shared->last_torque, std::move(command),
                                w.allowed_retries, w.step ? &*w.step : nullptr);
    after_serial_exchange(w.controller, w.shared->last_torque);
    w.shared->last_health.store(w.controller.health());  // replies to commands count too
    return done.has_value();
}

// Closes the queue on every way out of the worker, releasing the commands still inside (their
// reply channels close), so that no caller waits for a worker that is gone.
struct QueueCloser {
    CommandQueue& queue;
    ~QueueCloser() { queue.close(); }
};

}  // namespace

void run(Worker& w) {
    ControlLoop::Shared& shared = *w.shared;
    Ticks ticks(w, Clock::now());
    Coin coin;
    for (;;) {
        // An emergency stop goes before anything queued and before the next tick.
        if (auto urgent = shared.queue.take_urgent()) {
            (void)execute(w, std::move(*urgent));
            continue;
        }
        auto now = Clock::now();
        bool tick_ready = now >= ticks.due();
        bool command_ready = shared.queue.has_item();
        if (!tick_ready && !command_ready) {
            // Waits never reach further than an hour, so a huge period cannot overflow the wait.
            shared.queue.wait_until(std::min(ticks.due(), now + std::chrono::hours(1)));
            tick_ready = Clock::now() >= ticks.due();
            command_ready = shared.queue.has_item();
        }
        if (tick_ready && command_ready) {
            (coin.toss() ? tick_ready : command_ready) = false;
        }
        if (tick_ready) {
            ticks.tick();
        } else if (command_ready) {
            if (auto command = shared.queue.try_pop()) {
                const auto started = Clock::now();
                if (execute(w, std::move(*command))) {
                    ticks.command_done(started);
                }
            }
        }
        if (stop_requested(shared.stop)) {
            break;
        }
    }
    // Draining: what is queued still runs, with no more ticks and no more samples; pending
    // samples are dropped. The queue closes in the same step that finds it empty.
    do {
        while (auto command = shared.queue.try_pop()) {
            (void)execute(w, std::move(*command));
        }
    } while (!shared.queue.close_if_empty());
}

std::thread spawn_worker(Worker worker) {
    std::shared_ptr<ControlLoop::Shared> shared = worker.shared;
    // The worker starts with every asynchronous signal blocked: they are for the program's main
    // thread (Python runs its handlers there), and one taken here would break an exchange on
    // the wire with EINTR. Only faults of the thread itself stay deliverable.
    sigset_t blocked;
    sigset_t previous;
    sigfillset(&blocked);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) {
        sigdelset(&blocked, fault);
    }
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    struct Restore {
        sigset_t& mask;
        ~Restore() { pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
    } restore{previous};
    return std::thread([worker = std::move(worker), shared = std::move(shared)]() mutable {
        shared->worker_id.store(std::this_thread::get_id());
        // Runs after worker_main's frame, and so the controller, is gone: on a return and on
        // a forced unwind alike. Every close() waits for this, not only the one that joins.
        struct Ended {
            ControlLoop::Shared& shared;
            ~Ended() {
                shared.worker_ended.store(true);
                shared.worker_ended.notify_all();
            }
        } ended{*shared};
        worker_main(std::move(worker));
    });
}

void worker_main(Worker worker) {
    // Ticks should wake on time, not up to 50 us late.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    apply_scheduling(worker.scheduling);
    QueueCloser closer{worker.shared->queue};
    try {
        run(worker);
    } catch (...) {
        if (is_forced_unwind()) {
            throw;  // the thread is being ended; the closer and the controller still run
        }
        worker.shared->worker_failed.store(true);
        std::string what = "unknown failure";
        try {
            throw;
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
        WENLO_LOG(log::kControlLoopTarget, log::Level::Error,
                  "control loop worker failed: " + what);
    }
    // However it ended, the motors get what the program asked for at exit.
    if (auto released = worker.controller.let_go(); !released) {
        WENLO_LOG(log::kControlLoopTarget, log::Level::Warn,
                  "on_exit: " + released.error().message());
    }
}

}  // namespace wenlo::control_loop
