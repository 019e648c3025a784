// Durations as the loop is configured with them: whole seconds plus nanoseconds, never negative.
// Python's timedelta reaches beyond what std::chrono::nanoseconds holds, so the value is kept as
// given and saturated only where it becomes a wait. The CAN layer keeps a time type of its own.
#pragma once

#include <chrono>
#include <cstdint>

namespace wenlo {

struct Duration {
    std::uint64_t secs = 0;
    std::uint32_t nanos = 0;  // below one second

    // A negative span is zero.
    static constexpr Duration from(std::chrono::nanoseconds span) {
        if (span <= std::chrono::nanoseconds::zero()) {
            return {};
        }
        const auto whole = std::chrono::floor<std::chrono::seconds>(span);
        return {static_cast<std::uint64_t>(whole.count()),
                static_cast<std::uint32_t>((span - whole).count())};
    }

    // Saturates where std::chrono::nanoseconds ends.
    constexpr std::chrono::nanoseconds to_chrono() const {
        using std::chrono::nanoseconds;
        constexpr auto kLastWholeSecond =
            std::chrono::floor<std::chrono::seconds>(nanoseconds::max()).count() - 1;
        if (secs > static_cast<std::uint64_t>(kLastWholeSecond)) {
            return nanoseconds::max();
        }
        return std::chrono::seconds(static_cast<std::int64_t>(secs)) + nanoseconds(nanos);
    }
};

}  // namespace wenlo
