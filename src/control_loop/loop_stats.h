// Timing samples of the loop. Each list keeps a fixed window of its most recent samples, so a
// robot that runs for hours keeps flat memory and a get_stats() whose cost does not grow.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace wenlo::control_loop {

// 10,000 samples: 100 s of periods at 100 Hz, 20 s at 500 Hz; a copy is 80 kB per list.
inline constexpr std::size_t kStatsWindow = 10'000;

class SampleWindow {
public:
    SampleWindow() = default;
    explicit SampleWindow(std::size_t capacity) : capacity_(capacity) {}
    void push(double sample);
    void append(std::span<const double> samples);
    std::size_t size() const { return samples_.size(); }
    // The kept samples, oldest first.
    std::vector<double> to_vector() const;

private:
    std::size_t capacity_ = kStatsWindow;
    std::vector<double> samples_;  // a ring once full; oldest_ marks its start
    std::size_t oldest_ = 0;
};

struct LoopStats {
    SampleWindow period;
    SampleWindow read_dt;
    SampleWindow write_dt;
};

struct StatsSnapshot {
    std::vector<double> period;
    std::vector<double> read_dt;
    std::vector<double> write_dt;
};

}  // namespace wenlo::control_loop
