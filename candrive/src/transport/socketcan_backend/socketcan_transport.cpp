#include "candrive/transport/socketcan_backend/socketcan_transport.hpp"

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <limits>
#include <string>
#include <utility>

#include "kernel_frame.hpp"

namespace candrive::transport::socketcan_backend {

namespace {

CanError last_os_error() {
    return CanError::io_errno(errno);
}

// Closes `fd` while keeping the errno of the call that failed before it.
CanError close_after_failure(int fd) {
    const int saved = errno;
    ::close(fd);
    return CanError::io_errno(saved);
}

timeval receive_timeout(Duration timeout) {
    constexpr std::uint64_t kMaxSeconds = std::numeric_limits<std::int32_t>::max();
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.secs < kMaxSeconds ? timeout.secs : kMaxSeconds);
    tv.tv_usec = static_cast<suseconds_t>(timeout.nanos / 1000);
    // A zero SO_RCVTIMEO means "block forever"; the shortest real wait is one microsecond.
    if (tv.tv_sec == 0 && tv.tv_usec == 0) {
        tv.tv_usec = 1;
    }
    return tv;
}

}  // namespace

std::expected<SocketCanTransport, CanError> SocketCanTransport::open(
    std::string_view interface_name) {
    if (interface_name.find('\0') != std::string_view::npos) {
        return std::unexpected(CanError::io_errno(EINVAL));
    }
    const std::string name(interface_name);
    errno = 0;
    const unsigned index = ::if_nametoindex(name.c_str());
    if (index == 0) {
        return std::unexpected(CanError::io_errno(errno != 0 ? errno : ENODEV));
    }

    const int fd = ::socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (fd < 0) {
        return std::unexpected(last_os_error());
    }

    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = static_cast<int>(index);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return std::unexpected(close_after_failure(fd));
    }

    const int enable_fd = 1;
    if (::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &enable_fd, sizeof enable_fd) != 0) {
        return std::unexpected(close_after_failure(fd));
    }
    return SocketCanTransport(fd);
}

SocketCanTransport::SocketCanTransport(SocketCanTransport&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

SocketCanTransport& SocketCanTransport::operator=(SocketCanTransport&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

SocketCanTransport::~SocketCanTransport() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

std::expected<void, CanError> SocketCanTransport::send(const CanFrame& frame) {
    KernelBuffer buffer;
    const auto size = to_kernel(frame, buffer);
    if (!size) {
        return std::unexpected(size.error());
    }
    std::size_t written = 0;
    while (written < *size) {
        const ssize_t n = ::send(fd_, buffer.data() + written, *size - written, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::unexpected(last_os_error());
        }
        if (n == 0) {
            return std::unexpected(CanError::io(OsError::custom("failed to write whole buffer")));
        }
        written += static_cast<std::size_t>(n);
    }
    return {};
}

std::expected<CanFrame, CanError> SocketCanTransport::recv(Duration timeout) {
    const timeval tv = receive_timeout(timeout);
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
        return std::unexpected(last_os_error());
    }
    KernelBuffer buffer{};
    const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
    if (n < 0) {
        const int code = errno;
        if (code == EAGAIN || code == EWOULDBLOCK || code == ETIMEDOUT) {
            return std::unexpected(CanError::timeout());
        }
        return std::unexpected(CanError::io_errno(code));
    }
    return from_kernel(std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(n)));
}

}  // namespace candrive::transport::socketcan_backend
