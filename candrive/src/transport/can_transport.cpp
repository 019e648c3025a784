#include "candrive/transport/can_transport.hpp"

#include <chrono>

namespace candrive::transport {

std::chrono::steady_clock::time_point deadline_after(Duration timeout) noexcept {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto span = std::chrono::duration_cast<Clock::duration>(timeout.to_chrono());
    return span < Clock::time_point::max() - start ? start + span : Clock::time_point::max();
}

std::expected<CanFrame, CanError> CanTransport::request(const CanFrame& frame, CanId expected,
                                                        Duration timeout) {
    using Clock = std::chrono::steady_clock;
    if (auto sent = send(frame); !sent) {
        return std::unexpected(sent.error());
    }
    const auto deadline = deadline_after(timeout);
    for (;;) {
        const auto now = Clock::now();
        if (now >= deadline) {
            return std::unexpected(CanError::timeout());
        }
        auto received = recv(Duration::from(deadline - now));
        if (!received) {
            return std::unexpected(received.error());
        }
        if (received->id == expected) {
            return received;
        }
    }
}

}  // namespace candrive::transport
