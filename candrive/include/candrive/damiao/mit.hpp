#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>

namespace candrive::damiao::mit {

// The mapping ranges of one motor; each limit is zero or positive.
struct MitLimits {
    float p_max;   // position maps over [-p_max, p_max] rad
    float v_max;   // velocity over [-v_max, v_max] rad/s
    float kp_max;  // kp over [0, kp_max]
    float kd_max;  // kd over [0, kd_max]
    float t_max;   // torque over [-t_max, t_max]
};

struct MitCommand {
    float position;
    float velocity;
    float kp;
    float kd;
    float torque;
};

struct MotorState {
    float position;
    float velocity;
    float torque;
    std::uint8_t low_nibble;   // bits 0-3 of byte 0
    std::uint8_t high_nibble;  // bits 4-7 of byte 0
    std::uint16_t tail;        // bytes 6 (low) and 7 (high), undecoded

    friend bool operator==(const MotorState&, const MotorState&) = default;
};

// A feedback payload too short to decode.
struct ShortPayload {
    std::size_t length;
    [[nodiscard]] std::string message() const;
};

inline constexpr std::size_t kFrameLength = 8;

// Float to unsigned 32-bit by truncation; negatives and NaN give 0, overflow gives 2^32-1.
[[nodiscard]] std::uint32_t to_unsigned(float value) noexcept;

// Lower bound first, then upper; a NaN passes unchanged.
[[nodiscard]] float clamp(float value, float low, float high) noexcept;

[[nodiscard]] std::array<std::uint8_t, kFrameLength> encode(const MitLimits& limits,
                                                            const MitCommand& command) noexcept;

// Reads the first 8 bytes of `payload`; anything shorter is refused, never read past.
[[nodiscard]] std::expected<MotorState, ShortPayload> decode_state(
    const MitLimits& limits, std::span<const std::uint8_t> payload) noexcept;

}  // namespace candrive::damiao::mit
