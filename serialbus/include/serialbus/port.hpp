#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "serialbus/io_error.hpp"
#include "serialbus/serial_port_error.hpp"

namespace serialbus {

// What the bus exchange needs of a serial line. The real port implements it; tests substitute
// ports that fail on purpose.
class Port {
  public:
    virtual ~Port() = default;

    // Number of bytes waiting in the input buffer, without waiting.
    [[nodiscard]] virtual std::expected<std::uint32_t, SerialPortError> bytes_to_read() = 0;
    // Fills the whole buffer or fails; an empty buffer succeeds at once.
    [[nodiscard]] virtual std::expected<void, IoError> read_exact(
        std::span<std::uint8_t> buffer) = 0;
    [[nodiscard]] virtual std::expected<void, IoError> write_all(
        std::span<const std::uint8_t> bytes) = 0;
    // A hint: `answers` answers of `bytes` bytes in all are on their way, so the port may wait
    // for the rest of a burst once instead of once per answer. Changes nothing else.
    virtual void expect(std::size_t bytes, std::size_t answers) {
        static_cast<void>(bytes);
        static_cast<void>(answers);
    }

  protected:
    Port() = default;
    Port(const Port&) = default;
    Port& operator=(const Port&) = default;
    Port(Port&&) = default;
    Port& operator=(Port&&) = default;
};

}  // namespace serialbus
