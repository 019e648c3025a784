#include "serialbus/serial_port.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "serial_port/line_settings.hpp"

namespace serialbus {

namespace {

IoError timed_out() {
    return {IoErrorKind::TimedOut, "Operation timed out"};
}

// Closes the descriptor unless released: every failed step of the setup leaves nothing open.
class FdGuard {
  public:
    explicit FdGuard(int fd) : fd_(fd) {}
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    ~FdGuard() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    [[nodiscard]] int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

bool same_settings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
           cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

timespec to_timespec(std::chrono::microseconds timeout) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    const auto nanoseconds =
        std::chrono::duration_cast<std::chrono::nanoseconds>(timeout - seconds);
    return {static_cast<time_t>(seconds.count()), static_cast<long>(nanoseconds.count())};
}

}  // namespace

std::expected<SerialPort, SerialPortError> SerialPort::open(const std::string& path,
                                                            std::uint32_t baud_rate,
                                                            std::chrono::microseconds timeout) {
    FdGuard fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        return std::unexpected(SerialPortError::from_errno(errno));
    }
    if (ioctl(fd.get(), TIOCEXCL) != 0) {
        return std::unexpected(SerialPortError::from_errno(errno));
    }
    // TIOCEXCL does not stop a privileged opener; the advisory lock does.
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            return std::unexpected(SerialPortError(
                SerialPortErrorKind::Io, "Unable to acquire exclusive lock on serial port"));
        }
        return std::unexpected(SerialPortError::from_errno(errno));
    }

    termios wanted{};
    if (tcgetattr(fd.get(), &wanted) != 0) {
        return std::unexpected(SerialPortError::from_errno(errno));
    }
    wanted.c_cflag |= CREAD | CLOCAL;
    cfmakeraw(&wanted);
    if (tcsetattr(fd.get(), TCSANOW, &wanted) != 0) {
        return std::unexpected(SerialPortError::from_errno(errno));
    }
    termios applied{};
    if (tcgetattr(fd.get(), &applied) != 0) {
        return std::unexpected(SerialPortError::from_errno(errno));
    }
    if (!same_settings(wanted, applied)) {
        return std::unexpected(
            SerialPortError(SerialPortErrorKind::Unknown, "Settings did not apply correctly"));
    }

    const int flags = fcntl(fd.get(), F_GETFL);
    if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return std::unexpected(SerialPortError::from_errno(errno));
    }
    if (const int error = detail::apply_bus_line_settings(fd.get(), baud_rate); error != 0) {
        return std::unexpected(SerialPortError::from_errno(error));
    }
    return SerialPort(fd.release(), timeout);
}

SerialPort::SerialPort(SerialPort&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), timeout_(other.timeout_) {}

SerialPort& SerialPort::operator=(SerialPort&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
        timeout_ = other.timeout_;
    }
    return *this;
}

SerialPort::~SerialPort() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

std::expected<void, IoError> SerialPort::wait_for(short events) {
    pollfd entry{fd_, events, 0};
    const timespec limit = to_timespec(timeout_);
    const int ready = ppoll(&entry, 1, &limit, nullptr);
    if (ready < 0) {
        return std::unexpected(IoError::from_errno(errno));
    }
    if (ready == 0) {
        return std::unexpected(timed_out());
    }
    if ((entry.revents & POLLNVAL) != 0) {
        return std::unexpected(IoError::from_errno(EBADF));
    }
    // POLLHUP and POLLERR fall through: the read or write that follows reports them.
    return {};
}

std::expected<std::uint32_t, SerialPortError> SerialPort::bytes_to_read() {
    int count = 0;
    if (ioctl(fd_, FIONREAD, &count) != 0) {
        return std::unexpected(SerialPortError::from_errno(errno));
    }
    return static_cast<std::uint32_t>(count);
}

std::expected<void, IoError> SerialPort::read_exact(std::span<std::uint8_t> buffer) {
    std::size_t done = 0;
    while (done < buffer.size()) {
        if (auto ready = wait_for(POLLIN); !ready) {
            return ready;
        }
        const ssize_t got = ::read(fd_, buffer.data() + done, buffer.size() - done);
        if (got < 0) {
            if (errno == EAGAIN) {
                continue;
            }
            return std::unexpected(IoError::from_errno(errno));
        }
        if (got == 0) {
            return std::unexpected(
                IoError(IoErrorKind::UnexpectedEof, "failed to fill whole buffer"));
        }
        done += static_cast<std::size_t>(got);
    }
    return {};
}

std::expected<void, IoError> SerialPort::write_all(std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        if (auto ready = wait_for(POLLOUT); !ready) {
            return ready;
        }
        const ssize_t put = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (put < 0) {
            if (errno == EAGAIN) {
                continue;
            }
            return std::unexpected(IoError::from_errno(errno));
        }
        if (put == 0) {
            return std::unexpected(IoError(IoErrorKind::Other, "failed to write whole buffer"));
        }
        done += static_cast<std::size_t>(put);
    }
    return {};
}

std::expected<void, IoError> SerialPort::flush() {
    const auto start = std::chrono::steady_clock::now();
    while (tcdrain(fd_) != 0) {
        if (errno != EINTR) {
            return std::unexpected(IoError(IoErrorKind::Other, "flush failed"));
        }
        if (std::chrono::steady_clock::now() - start >= timeout_) {
            return std::unexpected(
                IoError(IoErrorKind::TimedOut, "timeout for retrying flush reached"));
        }
    }
    return {};
}

std::expected<PortSettings, SerialPortError> SerialPort::settings() const {
    PortSettings settings;
    if (const int error = detail::read_line_settings(fd_, settings); error != 0) {
        return std::unexpected(SerialPortError::from_errno(error));
    }
    return settings;
}

}  // namespace serialbus
