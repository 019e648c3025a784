#pragma once

#include <chrono>
#include <cstdint>
#include <limits>

namespace candrive::transport {

// A non-negative span of time as whole seconds plus nanoseconds (0 to 999,999,999).
struct Duration {
    std::uint64_t secs = 0;
    std::uint32_t nanos = 0;

    static constexpr std::uint32_t kNanosPerSecond = 1'000'000'000;

    // Negative spans become zero: a wait cannot go backwards.
    template <class Rep, class Period>
    static constexpr Duration from(std::chrono::duration<Rep, Period> span) noexcept {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(span).count();
        if (ns <= 0) {
            return Duration{};
        }
        const auto whole = static_cast<std::uint64_t>(ns);
        return Duration{whole / kNanosPerSecond,
                        static_cast<std::uint32_t>(whole % kNanosPerSecond)};
    }

    static constexpr Duration from_millis(std::uint64_t ms) noexcept {
        return Duration{ms / 1000, static_cast<std::uint32_t>((ms % 1000) * 1'000'000)};
    }

    // Saturates at the largest representable count instead of overflowing.
    [[nodiscard]] constexpr std::chrono::nanoseconds to_chrono() const noexcept {
        using Count = std::chrono::nanoseconds::rep;
        constexpr auto kMax = std::numeric_limits<Count>::max();
        constexpr auto kMaxSecs = static_cast<std::uint64_t>(kMax / kNanosPerSecond) - 1;
        if (secs > kMaxSecs) {
            return std::chrono::nanoseconds{kMax};
        }
        return std::chrono::nanoseconds{static_cast<Count>(secs) * kNanosPerSecond +
                                        static_cast<Count>(nanos)};
    }

    friend constexpr bool operator==(const Duration&, const Duration&) = default;
};

}  // namespace candrive::transport
