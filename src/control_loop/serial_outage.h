// The worker's side of an unplugged serial adapter. The controller notices the device gone and
// closes the port (controller.h); the worker asks for the same path again at most every
// kSerialReopenInterval, and once the line is back reads the servos' torque again, so that
// is_torque_enabled() tells the truth. While every servo answers, none of this sends a byte.
#pragma once

#include "control_loop/handle_commands.h"
#include "controller/controller.h"

#include <chrono>
#include <cstdint>
#include <optional>

namespace wenlo::control_loop {

inline constexpr std::chrono::milliseconds kSerialReopenInterval{500};

class SerialOutage {
public:
    // Before a tick's read: while the line is away, one attempt to open it again, if due.
    void before_read(controller::MotorController& c, TorqueRecord& last_torque,
                     std::uint64_t allowed_retries);

private:
    std::optional<std::chrono::steady_clock::time_point> next_attempt_;
};

// After any exchange of the worker (a tick's read, a command): a line that went away is closed
// at once, and a servo that came back with its torque off makes last_torque false.
void after_serial_exchange(controller::MotorController& c, TorqueRecord& last_torque);

}  // namespace wenlo::control_loop
