#pragma once

#include <cstdint>
#include <string>

namespace serialbus::feetech_protocol {

// The error kinds of the serial protocol itself, as opposed to failures of the line.
class CommunicationErrorKind {
  public:
    enum class Tag : std::uint8_t {
        ChecksumError,
        ParsingError,
        TimeoutError,
        IncorrectId,
        Unsupported,
    };

    static constexpr CommunicationErrorKind checksum_error() { return {Tag::ChecksumError}; }
    static constexpr CommunicationErrorKind parsing_error() { return {Tag::ParsingError}; }
    static constexpr CommunicationErrorKind timeout_error() { return {Tag::TimeoutError}; }
    static constexpr CommunicationErrorKind incorrect_id(std::uint8_t first, std::uint8_t second) {
        return {Tag::IncorrectId, first, second};
    }
    static constexpr CommunicationErrorKind unsupported() { return {Tag::Unsupported}; }

    [[nodiscard]] constexpr Tag tag() const { return tag_; }
    // Only meaningful for IncorrectId.
    [[nodiscard]] constexpr std::uint8_t first_id() const { return first_; }
    [[nodiscard]] constexpr std::uint8_t second_id() const { return second_; }

    // "ChecksumError", ..., or "IncorrectId(1, 2)".
    [[nodiscard]] std::string debug_string() const;
    [[nodiscard]] std::string message() const;

    friend constexpr bool operator==(const CommunicationErrorKind&,
                                     const CommunicationErrorKind&) = default;

  private:
    constexpr CommunicationErrorKind(Tag tag, std::uint8_t first = 0, std::uint8_t second = 0)
        : tag_(tag), first_(first), second_(second) {}

    Tag tag_;
    std::uint8_t first_;
    std::uint8_t second_;
};

}  // namespace serialbus::feetech_protocol
