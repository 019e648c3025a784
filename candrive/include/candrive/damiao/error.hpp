#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include "candrive/damiao/registers.hpp"
#include "candrive/transport/can_error.hpp"

namespace candrive::damiao::error {

struct Error {
    struct Transport {
        transport::CanError error;
        friend bool operator==(const Transport&, const Transport&) = default;
    };
    struct UnknownRegister {
        std::uint8_t id;
        friend bool operator==(const UnknownRegister&, const UnknownRegister&) = default;
    };
    struct ReadOnly {
        std::uint8_t id;
        friend bool operator==(const ReadOnly&, const ReadOnly&) = default;
    };
    struct TypeMismatch {
        registers::RegisterType expected;
        registers::RegisterType got;
        std::uint8_t id;
        friend bool operator==(const TypeMismatch&, const TypeMismatch&) = default;
    };
    struct ControlModeMismatch {
        std::uint8_t wrote;
        std::uint8_t reports;
        friend bool operator==(const ControlModeMismatch&, const ControlModeMismatch&) = default;
    };
    // A state reply with fewer than 8 data bytes, which cannot be decoded.
    struct ReplyTooShort {
        std::size_t length;
        friend bool operator==(const ReplyTooShort&, const ReplyTooShort&) = default;
    };

    std::variant<Transport, UnknownRegister, ReadOnly, TypeMismatch, ControlModeMismatch,
                 ReplyTooShort>
        detail;

    template <class Variant>
    [[nodiscard]] bool is() const noexcept {
        return std::holds_alternative<Variant>(detail);
    }

    [[nodiscard]] std::string message() const;

    friend bool operator==(const Error&, const Error&) = default;
};

}  // namespace candrive::damiao::error
