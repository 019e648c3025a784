#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <variant>

namespace candrive::transport {

// An operating-system error: an errno value, or a fixed description for failures that have
// no number (a write that accepts zero bytes).
class OsError {
  public:
    static OsError from_errno(int code) { return OsError{code, {}}; }
    static OsError custom(std::string description) { return OsError{0, std::move(description)}; }

    [[nodiscard]] std::optional<int> raw_os_error() const {
        return code_ != 0 ? std::optional<int>{code_} : std::nullopt;
    }
    // "<strerror text> (os error N)", or the fixed description.
    [[nodiscard]] std::string message() const;

    friend bool operator==(const OsError&, const OsError&) = default;

  private:
    OsError(int code, std::string description)
        : code_(code), description_(std::move(description)) {}

    int code_;
    std::string description_;
};

struct CanError {
    struct Io {
        OsError error;
        friend bool operator==(const Io&, const Io&) = default;
    };
    struct Timeout {
        friend bool operator==(const Timeout&, const Timeout&) = default;
    };
    struct FrameTooLarge {
        std::size_t size;
        friend bool operator==(const FrameTooLarge&, const FrameTooLarge&) = default;
    };
    struct InvalidId {
        friend bool operator==(const InvalidId&, const InvalidId&) = default;
    };

    std::variant<Io, Timeout, FrameTooLarge, InvalidId> detail;

    static CanError io(OsError error) { return CanError{Io{std::move(error)}}; }
    static CanError io_errno(int code) { return io(OsError::from_errno(code)); }
    static CanError timeout() { return CanError{Timeout{}}; }
    static CanError frame_too_large(std::size_t size) { return CanError{FrameTooLarge{size}}; }
    static CanError invalid_id() { return CanError{InvalidId{}}; }

    template <class Variant>
    [[nodiscard]] bool is() const noexcept {
        return std::holds_alternative<Variant>(detail);
    }

    // A signal broke the wait (EINTR): the answer may still come.
    [[nodiscard]] bool is_interrupted() const noexcept;
    // A wait that ended without its answer, which may still come and must not be taken for
    // the next exchange's.
    [[nodiscard]] bool leaves_reply_pending() const noexcept {
        return is<Timeout>() || is_interrupted();
    }

    [[nodiscard]] std::string message() const;

    friend bool operator==(const CanError&, const CanError&) = default;
};

}  // namespace candrive::transport
