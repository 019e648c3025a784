// Durations as the loop is configured with them: whole seconds plus nanoseconds, never
// negative, shared with the CAN layer's time-outs. Python's timedelta reaches beyond what
// std::chrono::nanoseconds holds, so the value is kept as given and saturated only for waits.
#pragma once

#include "candrive/transport/duration.hpp"

namespace wenlo::control_loop {

using Duration = candrive::transport::Duration;

}  // namespace wenlo::control_loop
