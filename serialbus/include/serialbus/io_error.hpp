#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace serialbus {

// The kind travels with the error up to the control loop, which retries only the transient ones.
enum class IoErrorKind : std::uint8_t {
    TimedOut,
    Interrupted,
    UnexpectedEof,
    Other,
};

// An input/output failure of the serial line: a kind and the text shown to the user.
class IoError {
  public:
    IoError(IoErrorKind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

    // Builds the error for a failed system call from its errno, keeping EINTR and ETIMEDOUT apart.
    static IoError from_errno(int error_number);

    [[nodiscard]] IoErrorKind kind() const { return kind_; }
    [[nodiscard]] std::string message() const { return text_; }
    [[nodiscard]] bool is_transient() const {
        return kind_ == IoErrorKind::TimedOut || kind_ == IoErrorKind::Interrupted;
    }

    friend bool operator==(const IoError&, const IoError&) = default;

  private:
    IoErrorKind kind_;
    std::string text_;
};

}  // namespace serialbus
