#pragma once

#include <optional>
#include <string>
#include <variant>

#include "serialbus/feetech_protocol/communication_error.hpp"
#include "serialbus/io_error.hpp"
#include "serialbus/serial_port_error.hpp"

namespace serialbus::feetech_protocol {

// The one error of a bus operation: a protocol error, an I/O error of the line, or a serial port
// error, passed up unchanged.
class ProtocolError {
  public:
    using Variant = std::variant<CommunicationErrorKind, IoError, SerialPortError>;

    ProtocolError(CommunicationErrorKind error) : error_(error) {}
    ProtocolError(IoError error) : error_(std::move(error)) {}
    ProtocolError(SerialPortError error) : error_(std::move(error)) {}

    [[nodiscard]] std::string message() const;

    [[nodiscard]] const Variant& variant() const { return error_; }
    [[nodiscard]] const CommunicationErrorKind* communication_error() const {
        return std::get_if<CommunicationErrorKind>(&error_);
    }
    [[nodiscard]] const IoError* io_error() const { return std::get_if<IoError>(&error_); }
    [[nodiscard]] const SerialPortError* serial_port_error() const {
        return std::get_if<SerialPortError>(&error_);
    }
    // An I/O error of kind timed-out or interrupted: worth trying again.
    [[nodiscard]] bool is_transient() const {
        const IoError* io = io_error();
        return io != nullptr && io->is_transient();
    }

    friend bool operator==(const ProtocolError&, const ProtocolError&) = default;

  private:
    Variant error_;
};

}  // namespace serialbus::feetech_protocol
