// Carries the system's log records into Python's logging package.
#pragma once

#include "bindings/py_ref.h"

namespace wenlo::py {

// Imports logging and registers the bridge as the process-wide log sink. Returns false with
// PanicException set if logging cannot be imported or a sink is already registered.
bool install_log_bridge();

}  // namespace wenlo::py
