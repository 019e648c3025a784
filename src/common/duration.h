// Durations as the loop is configured with them and as the CAN layer takes its time-outs:
// whole seconds plus nanoseconds, never negative. Python's timedelta reaches beyond what
// std::chrono::nanoseconds holds, so the value is kept as given and saturated only for waits.
#pragma once

#include "candrive/transport/duration.hpp"

namespace wenlo {

using Duration = candrive::transport::Duration;

}  // namespace wenlo
