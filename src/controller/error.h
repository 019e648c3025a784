// The controller's error: the display text of whatever failed, with the I/O kind of a serial
// failure kept so that a caller can still tell a transient failure (timed out, interrupted).
#pragma once

#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <utility>

namespace wenlo::controller {

enum class IoKind { TimedOut, Interrupted, Other };

class Error {
public:
    explicit Error(std::string text, std::optional<IoKind> io = std::nullopt)
        : text_(std::move(text)), io_(io) {}
    // The caller's interruption check asked the operation to stop (a Ctrl-C in Python); the
    // caller already holds the reason, the text only says where it stopped.
    static Error interruption(std::string text) {
        Error error(std::move(text));
        error.interrupted_ = true;
        return error;
    }
    // A value or name refused before anything was sent: the caller's mistake, not the robot's.
    static Error refusal(std::string text) {
        Error error(std::move(text));
        error.refused_ = true;
        return error;
    }
    const std::string& message() const { return text_; }
    bool is_interruption() const { return interrupted_; }
    bool is_refusal() const { return refused_; }
    // Set only for an I/O error of the serial port.
    std::optional<IoKind> io_kind() const { return io_; }
    bool is_transient() const {
        return io_ == IoKind::TimedOut || io_ == IoKind::Interrupted;
    }

private:
    std::string text_;
    std::optional<IoKind> io_;
    bool interrupted_ = false;
    bool refused_ = false;
};

template <typename T>
using Result = std::expected<T, Error>;

// Asked between the steps of a long operation; true means stop now. The bindings hand in one
// that runs Python's signal handlers, so the layers below stay free of Python.
using InterruptCheck = std::function<bool()>;

}  // namespace wenlo::controller
