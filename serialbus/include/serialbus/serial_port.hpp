#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "serialbus/io_error.hpp"
#include "serialbus/port.hpp"
#include "serialbus/serial_port_error.hpp"

namespace serialbus {

inline constexpr std::uint32_t kBusBaudRate = 1'000'000;
inline constexpr std::chrono::milliseconds kBusTimeout{10};

// The line settings as the driver reports them, decoded so that callers need no kernel headers.
struct PortSettings {
    bool custom_rate = false;  // BOTHER for both directions
    std::uint32_t input_baud = 0;
    std::uint32_t output_baud = 0;
    unsigned data_bits = 0;
    bool parity = false;
    bool two_stop_bits = false;
    bool hardware_flow_control = false;  // CRTSCTS
    bool software_flow_control = false;  // any of IXON, IXOFF, IXANY
    bool ignore_parity_errors = false;   // IGNPAR
    bool receiver_enabled = false;       // CREAD
    bool ignore_modem_lines = false;     // CLOCAL
    bool raw = false;                    // no canonical mode, echo, signals or output processing
};

// An open terminal device configured for the servo bus: 1,000,000 baud 8N1 without flow control,
// held exclusively (TIOCEXCL and flock) until destroyed. Move-only.
class SerialPort final : public Port {
  public:
    [[nodiscard]] static std::expected<SerialPort, SerialPortError> open(
        const std::string& path, std::uint32_t baud_rate = kBusBaudRate,
        std::chrono::microseconds timeout = kBusTimeout);

    SerialPort(SerialPort&& other) noexcept;
    SerialPort& operator=(SerialPort&& other) noexcept;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;
    ~SerialPort() override;

    // Bytes received and not yet read, whether still in the driver or already in our buffer.
    [[nodiscard]] std::expected<std::uint32_t, SerialPortError> bytes_to_read() override;
    // Each wait for input lasts at most the time-out: "Operation timed out" when nothing comes,
    // "failed to fill whole buffer" when the device reports end of input.
    [[nodiscard]] std::expected<void, IoError> read_exact(std::span<std::uint8_t> buffer) override;
    [[nodiscard]] std::expected<void, IoError> write_all(
        std::span<const std::uint8_t> bytes) override;
    void expect(std::size_t bytes, std::size_t answers) override;
    void wait_for_input(std::chrono::steady_clock::time_point deadline) override;
    // Waits until the output has been transmitted.
    [[nodiscard]] std::expected<void, IoError> flush();

    [[nodiscard]] std::expected<PortSettings, SerialPortError> settings() const;
    [[nodiscard]] std::chrono::microseconds timeout() const { return timeout_; }
    [[nodiscard]] int native_handle() const { return fd_; }
    // The OS error by which the device showed that it went away (EIO, ENXIO, ENODEV, or EIO for
    // a hang-up), if it did: a descriptor in that state never works again and is best closed,
    // so that the kernel can give a replugged adapter its old name.
    [[nodiscard]] std::optional<int> vanished() const { return vanished_; }

  private:
    SerialPort(int fd, std::chrono::microseconds timeout, std::uint32_t baud_rate)
        : fd_(fd),
          timeout_(timeout),
          byte_time_(std::chrono::nanoseconds(10'000'000'000LL / (baud_rate == 0 ? 1 : baud_rate))) {}
    [[nodiscard]] std::expected<void, IoError> wait_for(short events);
    // Moves up to `buffer.size()` already-received bytes out of the input buffer.
    std::size_t take_buffered(std::span<std::uint8_t> buffer);
    // Notes `error` if it says that the device is gone; returns it unchanged.
    int note_gone(int error);

    int fd_ = -1;
    std::chrono::microseconds timeout_;
    // Input read from the device but not yet asked for: one read() takes whatever the line
    // holds, so a burst of answers costs one wait and one read instead of two per field.
    std::array<std::uint8_t, 512> input_{};
    std::size_t input_begin_ = 0;
    std::size_t input_end_ = 0;
    // A burst of answers announced by expect(): once its first bytes are in, the port sleeps
    // until the rest can have crossed the line, so the burst costs two wake-ups, not one per
    // answer. Each wait for input still lasts at most the time-out.
    std::size_t expected_bytes_ = 0;
    std::size_t answer_size_ = 1;
    bool burst_started_ = false;
    std::chrono::nanoseconds byte_time_{10'000};  // 10 bits at the line's rate
    std::optional<int> vanished_;
};

}  // namespace serialbus
