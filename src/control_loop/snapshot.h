// The retry policy for serial reads and the position snapshot that every tick takes.
#pragma once

#include "common/log.h"
#include "control_loop/motor_error.h"
#include "control_loop/torso_position.h"
#include "controller/controller.h"

#include <chrono>
#include <cstdint>
#include <expected>
#include <string>
#include <thread>

namespace wenlo::control_loop {

inline constexpr auto kRetryPause = std::chrono::milliseconds(20);

// Up to `allowed_retries` attempts of op(); only a timed-out or interrupted I/O error is worth
// another one, after a 20 ms pause. Returns the value, or the last error.
template <typename Op>
auto with_retry(std::uint64_t allowed_retries, Op&& op) -> decltype(op()) {
    for (std::uint64_t attempt = 0;; ++attempt) {
        auto result = op();
        if (result) {
            if (attempt > 0) {
                WENLO_LOG(log::kControlLoopTarget, log::Level::Info,
                          "Serial I/O recovered after " + std::to_string(attempt) + " retries");
            }
            return result;
        }
        if (!result.error().is_transient() || attempt + 1 >= allowed_retries) {
            return result;
        }
        std::this_thread::sleep_for(kRetryPause);
    }
}

// All eleven joints: the servos under the retry policy (zeros without a serial port), then the
// neck once; any failure is a CommunicationError. With `feed_neck`, an enabled neck is asked
// with the control command it holds, which feeds its communication time-out.
std::expected<TorsoPosition, MotorError> read_pos(controller::MotorController& controller,
                                                  std::uint64_t allowed_retries,
                                                  bool feed_neck = false);

}  // namespace wenlo::control_loop
