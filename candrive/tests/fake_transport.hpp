#pragma once

// An in-process CanTransport: records every frame sent and answers from a scripted queue.

#include <deque>
#include <functional>
#include <vector>

#include "candrive/transport/can_transport.hpp"

namespace candrive::testing {

class FakeTransport final : public transport::CanTransport {
  public:
    // Called for every accepted frame; it may queue replies into `inbox`.
    std::function<void(const transport::CanFrame&, std::deque<transport::CanFrame>& inbox)>
        responder;
    std::deque<transport::CanFrame> inbox;
    std::vector<transport::CanFrame> sent;
    std::vector<transport::Duration> recv_timeouts;
    std::optional<transport::CanError> send_failure;

    std::expected<void, transport::CanError> send(const transport::CanFrame& frame) override {
        if (send_failure) {
            return std::unexpected(*send_failure);
        }
        sent.push_back(frame);
        if (responder) {
            responder(frame, inbox);
        }
        return {};
    }

    // An empty inbox times out at once: nothing more will ever arrive.
    std::expected<transport::CanFrame, transport::CanError> recv(
        transport::Duration timeout) override {
        recv_timeouts.push_back(timeout);
        if (inbox.empty()) {
            return std::unexpected(transport::CanError::timeout());
        }
        auto frame = std::move(inbox.front());
        inbox.pop_front();
        return frame;
    }
};

inline transport::CanFrame classic(std::uint16_t id, std::vector<std::uint8_t> data) {
    return transport::CanFrame{
        .data = std::move(data), .id = transport::CanId::Standard(id), .fd = false, .brs = false};
}

}  // namespace candrive::testing
