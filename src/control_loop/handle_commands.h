// Executes one queued command on the controller, on the worker thread.
#pragma once

#include "control_loop/motor_command.h"
#include "control_loop/motor_error.h"
#include "control_loop/step_limit.h"
#include "common/guarded.h"
#include "controller/controller.h"

#include <cstdint>
#include <expected>

namespace wenlo::control_loop {

// The torque state as last known, or the error of the reading that tried to learn it.
using TorqueRecord = Guarded<std::expected<bool, MotorError>>;

// Consumes the command, reply channel included: a command that fails closes its channel
// unanswered. Only the four torque commands change `last_torque`, and only on success. Goals
// go through `step` first, when there is one.
controller::Result<void> handle_commands(controller::MotorController& controller,
                                         TorqueRecord& last_torque, MotorCommand command,
                                         std::uint64_t allowed_retries,
                                         StepLimit* step = nullptr);

}  // namespace wenlo::control_loop
