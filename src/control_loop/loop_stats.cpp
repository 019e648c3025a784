#include "control_loop/loop_stats.h"

#include "common/float_format.h"

namespace wenlo::control_loop {
namespace {

std::string mean_ms(const std::vector<double>& samples) {
    double sum = -0.0;
    for (double s : samples) {
        sum += s;
    }
    return fmt::fixed(sum / static_cast<double>(samples.size()) * 1000.0, 2);
}

}  // namespace

std::string summary(const StatsSnapshot& stats) {
    return "ControlLoopStats(period=~" + mean_ms(stats.period) + "ms, read_dt=~" +
           mean_ms(stats.read_dt) + " ms, write_dt=~" + mean_ms(stats.write_dt) + " ms)";
}

}  // namespace wenlo::control_loop
