// A ring of fixed capacity for what the loop keeps for its callers: the newest items in order,
// the older ones overwritten and counted, so that memory stays flat however long the robot runs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace wenlo::control_loop {

template <typename T>
class Ring {
public:
    explicit Ring(std::size_t capacity) : capacity_(capacity) { items_.reserve(capacity); }

    void push(T item) {
        if (items_.size() < capacity_) {
            items_.push_back(std::move(item));
            return;
        }
        ++lost_;
        if (capacity_ > 0) {
            items_[oldest_] = std::move(item);
            oldest_ = (oldest_ + 1) % capacity_;
        }
    }
    void append(std::span<const T> items) {
        // Only the last `capacity` of a long batch can survive.
        const std::size_t kept = std::min(items.size(), capacity_);
        lost_ += items.size() - kept;
        for (const T& item : items.last(kept)) {
            push(item);
        }
    }

    std::size_t size() const { return items_.size(); }
    // The kept items, oldest first.
    std::vector<T> to_vector() const {
        const auto oldest = items_.begin() + static_cast<std::ptrdiff_t>(oldest_);
        std::vector<T> out(oldest, items_.end());
        out.insert(out.end(), items_.begin(), oldest);
        return out;
    }

    struct Drained {
        std::vector<T> items;  // oldest first
        std::uint64_t lost;    // overwritten since the last drain
    };
    // Everything kept, and how many were lost; empties the ring.
    Drained drain() {
        Drained out{to_vector(), lost_};
        items_.clear();
        oldest_ = 0;
        lost_ = 0;
        return out;
    }

private:
    std::size_t capacity_;
    std::vector<T> items_;  // in order until full, then a ring whose oldest is at oldest_
    std::size_t oldest_ = 0;
    std::uint64_t lost_ = 0;
};

}  // namespace wenlo::control_loop
