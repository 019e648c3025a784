// The neck's CAN socket, watched: every send and receive of the neck passes here, so that an
// outage of the link itself (the interface down, a bus nobody acknowledges, whose transmit
// queue fills) is told once when it begins and once when frames flow again. A socket cut off
// from its interface (a USB adapter unplugged) is opened again by name once it is back.
#pragma once

#include "candrive/transport/socketcan_backend/socketcan_transport.hpp"

#include <chrono>
#include <string>

namespace wenlo::controller {

class NeckBus final : public candrive::transport::CanTransport {
public:
    NeckBus(candrive::transport::socketcan_backend::SocketCanTransport socket, std::string iface);

    [[nodiscard]] std::expected<void, candrive::transport::CanError> send(
        const candrive::transport::CanFrame& frame) override;
    [[nodiscard]] std::expected<candrive::transport::CanFrame, candrive::transport::CanError>
    recv(candrive::transport::Duration timeout) override;

    // Whether the socket took the last frame given to send(): one it took may wait in the
    // interface's transmit queue and reach the motors late.
    bool last_send_accepted() const { return accepted_; }
    // Whether a signal broke the wait for the answer to the last frame sent (a Ctrl-C): the
    // motor may well have answered, so that exchange tells nothing about it or the link.
    bool last_wait_interrupted() const { return interrupted_; }

private:
    void failed(const candrive::transport::CanError& error);
    // The interface went away under the socket (ENODEV, ENXIO): only a new socket reaches it.
    void note_cut_off(const candrive::transport::CanError& error);
    // While cut off, opens the interface again, at most once per kReopenEvery.
    void reopen();

    candrive::transport::socketcan_backend::SocketCanTransport socket_;
    std::string iface_;
    bool out_ = false;          // an outage is under way
    bool sent_in_outage_ = false;  // the socket took a frame since it began
    bool accepted_ = false;
    bool interrupted_ = false;
    bool cut_off_ = false;
    std::chrono::steady_clock::time_point next_reopen_{};
};

}  // namespace wenlo::controller
