#pragma once

// A second raw CAN socket on the same interface, written with nothing but the plain SocketCAN
// API, to watch and inject traffic independently of the transport under test.

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace candrive::testing {

inline std::string can_interface() {
    const char* name = std::getenv("WENLO_CAN_IFACE");
    return name != nullptr && *name != '\0' ? name : "can0";
}

class RawPeer {
  public:
    explicit RawPeer(const std::string& interface_name, int receive_timeout_ms = 1000) {
        fd_ = ::socket(PF_CAN, SOCK_RAW, CAN_RAW);
        if (fd_ < 0) {
            error_ = "socket: " + std::string(std::strerror(errno));
            return;
        }
        sockaddr_can address{};
        address.can_family = AF_CAN;
        address.can_ifindex = static_cast<int>(::if_nametoindex(interface_name.c_str()));
        const int on = 1;
        timeval tv{receive_timeout_ms / 1000, (receive_timeout_ms % 1000) * 1000};
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::setsockopt(fd_, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on) != 0 ||
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
            error_ = "setup: " + std::string(std::strerror(errno));
        }
    }
    ~RawPeer() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    [[nodiscard]] bool ok() const { return error_.empty(); }
    [[nodiscard]] const std::string& error() const { return error_; }

    // One read: the raw bytes (16 or 72 of them), or nothing on time-out.
    std::optional<std::vector<std::uint8_t>> read() {
        std::vector<std::uint8_t> buffer(CANFD_MTU);
        const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
        if (n < 0) {
            return std::nullopt;
        }
        buffer.resize(static_cast<std::size_t>(n));
        return buffer;
    }

    std::optional<can_frame> read_classic() {
        auto bytes = read();
        if (!bytes || bytes->size() != CAN_MTU) {
            return std::nullopt;
        }
        can_frame frame;
        std::memcpy(&frame, bytes->data(), sizeof frame);
        return frame;
    }

    bool write_classic(canid_t id, const std::vector<std::uint8_t>& data) {
        can_frame frame{};
        frame.can_id = id;
        frame.len = static_cast<std::uint8_t>(data.size());
        std::copy(data.begin(), data.end(), frame.data);
        return ::send(fd_, &frame, sizeof frame, 0) == static_cast<ssize_t>(sizeof frame);
    }

    bool write_fd(canid_t id, const std::vector<std::uint8_t>& data, std::uint8_t flags) {
        canfd_frame frame{};
        frame.can_id = id;
        frame.len = static_cast<std::uint8_t>(data.size());
        frame.flags = flags;
        std::copy(data.begin(), data.end(), frame.data);
        return ::send(fd_, &frame, sizeof frame, 0) == static_cast<ssize_t>(sizeof frame);
    }

  private:
    int fd_ = -1;
    std::string error_;
};

}  // namespace candrive::testing
