// The controller's error: the display text of whatever failed, with the I/O kind of a serial
// failure kept so that a caller can still tell a transient failure (timed out, interrupted).
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <utility>

namespace wenlo::controller {

enum class IoKind { TimedOut, Interrupted, Other };

class Error {
public:
    explicit Error(std::string text, std::optional<IoKind> io = std::nullopt)
        : text_(std::move(text)), io_(io) {}
    const std::string& message() const { return text_; }
    // Set only for an I/O error of the serial port.
    std::optional<IoKind> io_kind() const { return io_; }
    bool is_transient() const {
        return io_ == IoKind::TimedOut || io_ == IoKind::Interrupted;
    }

private:
    std::string text_;
    std::optional<IoKind> io_;
};

template <typename T>
using Result = std::expected<T, Error>;

}  // namespace wenlo::controller
