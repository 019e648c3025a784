#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace serialbus {

enum class SerialPortErrorKind : std::uint8_t {
    NoDevice,      // the device is missing or cannot be used as a terminal
    InvalidInput,  // the path or a setting was refused
    Io,            // a system call failed
    Unknown,
};

// A failure to open the port or to query it (FIONREAD): a kind and a description.
class SerialPortError {
  public:
    SerialPortError(SerialPortErrorKind kind, std::string description)
        : kind_(kind), description_(std::move(description)) {}

    static SerialPortError from_errno(int error_number);

    [[nodiscard]] SerialPortErrorKind kind() const { return kind_; }
    [[nodiscard]] const std::string& description() const { return description_; }
    [[nodiscard]] std::string message() const { return description_; }

    friend bool operator==(const SerialPortError&, const SerialPortError&) = default;

  private:
    SerialPortErrorKind kind_;
    std::string description_;
};

}  // namespace serialbus
