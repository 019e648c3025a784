#pragma once

#include <cstdint>
#include <optional>
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
    // The errno behind it, when a system call failed; callers name the device with it.
    [[nodiscard]] std::optional<int> os_error() const { return os_error_; }

    // Equal when they say the same: the errno only explains the description.
    friend bool operator==(const SerialPortError& a, const SerialPortError& b) {
        return a.kind_ == b.kind_ && a.description_ == b.description_;
    }

  private:
    SerialPortErrorKind kind_;
    std::string description_;
    std::optional<int> os_error_;
};

}  // namespace serialbus
