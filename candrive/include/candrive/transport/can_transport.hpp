#pragma once

#include <chrono>
#include <expected>
#include <optional>
#include <vector>

#include "candrive/transport/can_error.hpp"
#include "candrive/transport/can_frame.hpp"
#include "candrive/transport/duration.hpp"

namespace candrive::transport {

// The monotonic time `timeout` from now; a time-out beyond the clock's range never expires.
[[nodiscard]] std::chrono::steady_clock::time_point deadline_after(Duration timeout) noexcept;

// A CAN bus endpoint. Blocking, and used by one thread at a time; it has no lock of its own.
class CanTransport {
  public:
    virtual ~CanTransport() = default;

    // Writes one frame to the bus.
    [[nodiscard]] virtual std::expected<void, CanError> send(const CanFrame& frame) = 0;

    // Waits at most `timeout` for the next frame of any identifier.
    [[nodiscard]] virtual std::expected<CanFrame, CanError> recv(Duration timeout) = 0;

    // Sends `frame`, then returns the first received frame whose id equals `expected`,
    // discarding every other frame. The whole wait is bounded by `timeout`, measured on the
    // monotonic clock from after the send.
    [[nodiscard]] std::expected<CanFrame, CanError> request(const CanFrame& frame, CanId expected,
                                                            Duration timeout);

    // A reply waited for in vain for `waited` may still come, and no reply carries a tag that
    // ties it to its request. Until as long again has passed, the next exchange that waits for
    // the same reply first drops every frame, so the late one cannot be taken for its own.
    // `reply`: the id the reply carries; none for replies that are matched by their content.
    void reply_abandoned(std::optional<CanId> reply, Duration waited);
    // Before an exchange that waits for `reply`: when such a reply was abandoned, drops every
    // frame until its time has passed, then every frame already waiting. Costs nothing
    // otherwise.
    [[nodiscard]] std::expected<void, CanError> drop_stragglers(std::optional<CanId> reply);

  protected:
    CanTransport() = default;
    CanTransport(const CanTransport&) = default;
    CanTransport(CanTransport&&) = default;
    CanTransport& operator=(const CanTransport&) = default;
    CanTransport& operator=(CanTransport&&) = default;

  private:
    std::vector<std::optional<CanId>> stragglers_;
    std::chrono::steady_clock::time_point stragglers_until_{};
};

}  // namespace candrive::transport
