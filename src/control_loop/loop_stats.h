// Timing samples of the loop. Each list keeps a fixed window of its most recent samples, so a
// robot that runs for hours keeps flat memory and a get_stats() whose cost does not grow.
#pragma once

#include "control_loop/ring.h"

#include <cstddef>
#include <string>
#include <vector>

namespace wenlo::control_loop {

// 10,000 samples: 100 s of periods at 100 Hz, 20 s at 500 Hz; a copy is 80 kB per list.
inline constexpr std::size_t kStatsWindow = 10'000;

struct LoopStats {
    Ring<double> period{kStatsWindow};
    Ring<double> read_dt{kStatsWindow};
    Ring<double> write_dt{kStatsWindow};
};

struct StatsSnapshot {
    std::vector<double> period;
    std::vector<double> read_dt;
    std::vector<double> write_dt;
};

// The means in ms, as the Python value's repr shows them:
// "ControlLoopStats(period=~10.00ms, read_dt=~1.25 ms, write_dt=~0.40 ms)".
std::string summary(const StatsSnapshot& stats);

}  // namespace wenlo::control_loop
