#include "serialbus/serial_port.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
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

constexpr std::chrono::microseconds kAnswerGap{20};

// What a terminal whose device was unplugged answers: a hung-up tty fails writes and ioctls with
// EIO, a vanishing USB device may say ENXIO or ENODEV first.
bool device_gone(int error) { return error == EIO || error == ENXIO || error == ENODEV; }

// This thread's timer slack, asked once per thread.
std::chrono::nanoseconds timer_slack() {
    thread_local const std::chrono::nanoseconds slack{prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0)};
    return slack;
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
    return SerialPort(fd.release(), timeout, baud_rate);
}

SerialPort::SerialPort(SerialPort&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      timeout_(other.timeout_),
      input_(other.input_),
      input_begin_(std::exchange(other.input_begin_, 0)),
      input_end_(std::exchange(other.input_end_, 0)),
      expected_bytes_(std::exchange(other.expected_bytes_, 0)),
      answer_size_(other.answer_size_),
      burst_started_(std::exchange(other.burst_started_, false)),
      byte_time_(other.byte_time_),
      vanished_(std::exchange(other.vanished_, std::nullopt)) {}

SerialPort& SerialPort::operator=(SerialPort&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
        timeout_ = other.timeout_;
        input_ = other.input_;
        input_begin_ = std::exchange(other.input_begin_, 0);
        input_end_ = std::exchange(other.input_end_, 0);
        expected_bytes_ = std::exchange(other.expected_bytes_, 0);
        answer_size_ = other.answer_size_;
        burst_started_ = std::exchange(other.burst_started_, false);
        byte_time_ = other.byte_time_;
        vanished_ = std::exchange(other.vanished_, std::nullopt);
    }
    return *this;
}

SerialPort::~SerialPort() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

int SerialPort::note_gone(int error) {
    if (device_gone(error) && !vanished_) {
        vanished_ = error;
    }
    return error;
}

std::expected<void, IoError> SerialPort::wait_for(short events) {
    pollfd entry{fd_, events, 0};
    const timespec limit = to_timespec(timeout_);
    const int ready = ppoll(&entry, 1, &limit, nullptr);
    if (ready < 0) {
        return std::unexpected(IoError::from_errno(note_gone(errno)));
    }
    if (ready == 0) {
        return std::unexpected(timed_out());
    }
    if ((entry.revents & POLLNVAL) != 0) {
        return std::unexpected(IoError::from_errno(EBADF));
    }
    // POLLHUP and POLLERR fall through: the read or write that follows reports them. A hang-up
    // is remembered: a hung-up terminal reads as end of input, which alone says too little.
    if ((entry.revents & POLLHUP) != 0) {
        note_gone(EIO);
    }
    return {};
}

void SerialPort::wait_for_input(std::chrono::steady_clock::time_point deadline) {
    if (input_end_ > input_begin_) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
        return;
    }
    pollfd entry{fd_, POLLIN, 0};
    const timespec limit =
        to_timespec(std::chrono::ceil<std::chrono::microseconds>(deadline - now));
    const int ready = ppoll(&entry, 1, &limit, nullptr);
    // A hung-up or failing line would wake us at once and for ever; the caller only wants the
    // time to pass, so let it pass.
    if (ready > 0 && (entry.revents & POLLHUP) != 0) {
        note_gone(EIO);
    }
    if (ready > 0 && (entry.revents & POLLIN) == 0) {
        std::this_thread::sleep_until(deadline);
    }
}

std::expected<std::uint32_t, SerialPortError> SerialPort::bytes_to_read() {
    int count = 0;
    if (ioctl(fd_, FIONREAD, &count) != 0) {
        return std::unexpected(SerialPortError::from_errno(note_gone(errno)));
    }
    return static_cast<std::uint32_t>(count) + static_cast<std::uint32_t>(input_end_ - input_begin_);
}

std::size_t SerialPort::take_buffered(std::span<std::uint8_t> buffer) {
    const std::size_t n = std::min(buffer.size(), input_end_ - input_begin_);
    std::copy_n(input_.begin() + static_cast<std::ptrdiff_t>(input_begin_), n, buffer.begin());
    input_begin_ += n;
    if (input_begin_ == input_end_) {
        input_begin_ = input_end_ = 0;
    }
    return n;
}

std::expected<void, IoError> SerialPort::read_exact(std::span<std::uint8_t> buffer) {
    std::size_t done = take_buffered(buffer);
    while (done < buffer.size()) {
        if (burst_started_ && expected_bytes_ > 0) {
            // The rest of an announced burst is still on the line: let it arrive, then take it
            // in one read. Each servo answers about 20 us after the one before it ends.
            // The sleep ends up to the thread's timer slack late, so it is cut by that much: an
            // early wake costs one more wait, a late one costs the caller latency.
            const std::size_t answers_left = (expected_bytes_ + answer_size_ - 1) / answer_size_;
            const auto wire = std::min<std::chrono::nanoseconds>(
                byte_time_ * static_cast<long>(expected_bytes_) +
                    kAnswerGap * static_cast<long>(answers_left),
                timeout_);
            if (wire > timer_slack()) {
                std::this_thread::sleep_for(wire - timer_slack());
            }
            expected_bytes_ = 0;  // one such sleep per burst
        }
        // Each wait lasts at most the time-out, as before: a partial answer still times out.
        if (auto ready = wait_for(POLLIN); !ready) {
            expected_bytes_ = 0;
            return ready;
        }
        const ssize_t got = ::read(fd_, input_.data(), input_.size());
        if (got < 0) {
            if (errno == EAGAIN) {
                continue;
            }
            return std::unexpected(IoError::from_errno(note_gone(errno)));
        }
        if (got == 0) {
            return std::unexpected(
                IoError(IoErrorKind::UnexpectedEof, "failed to fill whole buffer"));
        }
        input_begin_ = 0;
        input_end_ = static_cast<std::size_t>(got);
        if (expected_bytes_ > 0) {
            expected_bytes_ -= std::min(expected_bytes_, input_end_);
            burst_started_ = true;
        }
        done += take_buffered(buffer.subspan(done));
    }
    return {};
}

void SerialPort::expect(std::size_t bytes, std::size_t answers) {
    // What is already buffered counts towards the burst.
    const std::size_t buffered = input_end_ - input_begin_;
    // A single answer arrives in one piece anyway; only a burst of several is worth it.
    expected_bytes_ = answers > 1 && bytes > buffered ? bytes - buffered : 0;
    answer_size_ = answers > 0 ? std::max<std::size_t>(1, bytes / answers) : 1;
    burst_started_ = false;
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
            return std::unexpected(IoError::from_errno(note_gone(errno)));
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
            note_gone(errno);
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
