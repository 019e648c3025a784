// Real-time scheduling of the worker, on request: a SCHED_FIFO priority and a set of CPUs. The
// system may refuse either; the worker then runs on as an ordinary thread and says what was
// refused and how to allow it. Nothing else of the process changes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace wenlo::control_loop {

struct Scheduling {
    std::optional<int> rt_priority;                  // SCHED_FIFO at this priority
    std::optional<std::vector<int>> cpu_affinity;    // on these CPUs only
};

// Why a request cannot be asked of the system at all (a priority out of SCHED_FIFO's range, no
// CPU named); checked before the loop starts.
std::optional<std::string> invalid_scheduling(const Scheduling& wanted);

// Applies what was asked to the calling thread, logging one info record of what took effect
// and one warning per refusal.
void apply_scheduling(const Scheduling& wanted);

}  // namespace wenlo::control_loop
