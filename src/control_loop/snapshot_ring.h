// Every snapshot the worker takes, kept for drain_positions() in a ring of fixed size: when the
// caller falls behind, the oldest go and are counted, and memory stays flat whatever happens.
#pragma once

#include "control_loop/torso_position.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace wenlo::control_loop {

// 8192 snapshots: 82 s at 100 Hz, 16 s at 500 Hz; 96 bytes each, 768 kB in all.
inline constexpr std::size_t kSnapshotRing = 8192;

class SnapshotRing {
public:
    explicit SnapshotRing(std::size_t capacity = kSnapshotRing) : slots_(capacity) {}

    void push(const TorsoPosition& snapshot) {
        slots_[(first_ + size_) % slots_.size()] = snapshot;
        if (size_ < slots_.size()) {
            ++size_;
        } else {
            first_ = (first_ + 1) % slots_.size();  // the oldest goes
            ++lost_;
        }
    }

    struct Drained {
        std::vector<TorsoPosition> snapshots;  // oldest first
        std::uint64_t lost;                    // overwritten since the last drain
    };

    // Everything kept, and how many were lost; empties the ring.
    Drained drain() {
        Drained out{{}, lost_};
        out.snapshots.reserve(size_);
        for (std::size_t i = 0; i < size_; ++i) {
            out.snapshots.push_back(slots_[(first_ + i) % slots_.size()]);
        }
        first_ = size_ = 0;
        lost_ = 0;
        return out;
    }

private:
    std::vector<TorsoPosition> slots_;
    std::size_t first_ = 0;
    std::size_t size_ = 0;
    std::uint64_t lost_ = 0;
};

}  // namespace wenlo::control_loop
