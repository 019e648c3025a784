#include "candrive/transport/can_transport.hpp"

#include <algorithm>
#include <chrono>

namespace candrive::transport {

std::chrono::steady_clock::time_point deadline_after(Duration timeout) noexcept {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto span = std::chrono::duration_cast<Clock::duration>(timeout.to_chrono());
    return span < Clock::time_point::max() - start ? start + span : Clock::time_point::max();
}

void CanTransport::reply_abandoned(std::optional<CanId> reply, Duration waited) {
    if (std::find(stragglers_.begin(), stragglers_.end(), reply) == stragglers_.end()) {
        stragglers_.push_back(reply);
    }
    stragglers_until_ = deadline_after(waited);
}

std::expected<void, CanError> CanTransport::drop_stragglers(std::optional<CanId> reply) {
    using Clock = std::chrono::steady_clock;
    if (stragglers_.empty() ||
        std::find(stragglers_.begin(), stragglers_.end(), reply) == stragglers_.end()) {
        return {};
    }
    // The last wait is a microsecond, not zero: a zero receive time-out would block for ever.
    constexpr auto kPeek = std::chrono::microseconds(1);
    for (;;) {
        const auto now = Clock::now();
        const auto left = now < stragglers_until_ ? stragglers_until_ - now : Clock::duration{};
        auto received = recv(Duration::from(std::max<Clock::duration>(left, kPeek)));
        if (!received) {
            if (!received.error().is<CanError::Timeout>()) {
                return std::unexpected(received.error());
            }
            if (Clock::now() >= stragglers_until_) {
                break;
            }
        }
    }
    stragglers_.clear();
    return {};
}

std::expected<CanFrame, CanError> CanTransport::request(const CanFrame& frame, CanId expected,
                                                        Duration timeout) {
    using Clock = std::chrono::steady_clock;
    if (auto dropped = drop_stragglers(expected); !dropped) {
        return std::unexpected(dropped.error());
    }
    if (auto sent = send(frame); !sent) {
        return std::unexpected(sent.error());
    }
    const auto deadline = deadline_after(timeout);
    for (;;) {
        const auto now = Clock::now();
        if (now >= deadline) {
            reply_abandoned(expected, timeout);
            return std::unexpected(CanError::timeout());
        }
        auto received = recv(Duration::from(deadline - now));
        if (!received) {
            if (received.error().leaves_reply_pending()) {
                reply_abandoned(expected, timeout);
            }
            return std::unexpected(received.error());
        }
        if (received->id == expected) {
            return received;
        }
    }
}

}  // namespace candrive::transport
