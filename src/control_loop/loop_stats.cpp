#include "control_loop/loop_stats.h"

namespace wenlo::control_loop {

void SampleWindow::push(double sample) {
    if (capacity_ == 0) {
        return;
    }
    if (samples_.size() < capacity_) {
        samples_.push_back(sample);
        return;
    }
    samples_[oldest_] = sample;
    oldest_ = (oldest_ + 1) % capacity_;
}

void SampleWindow::append(std::span<const double> samples) {
    // Only the last `capacity_` of a long batch can survive.
    if (samples.size() > capacity_) {
        samples = samples.last(capacity_);
    }
    for (double sample : samples) {
        push(sample);
    }
}

std::vector<double> SampleWindow::to_vector() const {
    std::vector<double> out;
    out.reserve(samples_.size());
    out.insert(out.end(), samples_.begin() + static_cast<std::ptrdiff_t>(oldest_), samples_.end());
    out.insert(out.end(), samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(oldest_));
    return out;
}

}  // namespace wenlo::control_loop
