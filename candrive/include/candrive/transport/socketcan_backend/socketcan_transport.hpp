#pragma once

#include <expected>
#include <string_view>

#include "candrive/transport/can_transport.hpp"

namespace candrive::transport::socketcan_backend {

// A raw CAN socket bound to one Linux SocketCAN interface, with CAN FD frames enabled and no
// receive filter. It owns the descriptor and closes it when destroyed.
//
// A receive time-out below one microsecond is rounded up to one microsecond: the kernel reads
// a zero SO_RCVTIMEO as "wait forever", so a zero wait becomes a short poll instead.
class SocketCanTransport final : public CanTransport {
  public:
    // Resolves `interface_name`, creates the socket and binds it. The interface must be up.
    [[nodiscard]] static std::expected<SocketCanTransport, CanError> open(
        std::string_view interface_name);

    SocketCanTransport(const SocketCanTransport&) = delete;
    SocketCanTransport& operator=(const SocketCanTransport&) = delete;
    SocketCanTransport(SocketCanTransport&& other) noexcept;
    SocketCanTransport& operator=(SocketCanTransport&& other) noexcept;
    ~SocketCanTransport() override;

    [[nodiscard]] std::expected<void, CanError> send(const CanFrame& frame) override;
    [[nodiscard]] std::expected<CanFrame, CanError> recv(Duration timeout) override;

    // The socket descriptor, still owned by this object (for socket options such as an error
    // frame mask, and for diagnostics).
    [[nodiscard]] int native_handle() const noexcept { return fd_; }

  private:
    explicit SocketCanTransport(int fd) noexcept : fd_(fd) {}

    int fd_;
};

}  // namespace candrive::transport::socketcan_backend
