// Built with -ffp-contract=off: every product and quotient below is rounded to single
// precision on its own, so the raw fields match the motor firmware bit for bit.

#include "candrive/damiao/mit.hpp"

namespace candrive::damiao::mit {

std::string ShortPayload::message() const {
    return "reply too short: " + std::to_string(length) + " bytes";
}

std::uint32_t to_unsigned(float value) noexcept {
    // `!(value > 0)` also catches NaN.
    if (!(value > 0.0F)) {
        return 0;
    }
    if (value >= 4294967296.0F) {
        return 0xFFFF'FFFFU;
    }
    return static_cast<std::uint32_t>(value);
}

float clamp(float value, float low, float high) noexcept {
    if (value < low) {
        value = low;
    }
    if (value > high) {
        value = high;
    }
    return value;
}

namespace {

// ((max + x) * steps) / (max + max): a symmetric range mapped onto [0, steps].
std::uint32_t scale_symmetric(float x, float max, float steps) noexcept {
    const float shifted = max + x;
    const float numerator = shifted * steps;
    const float span = max + max;
    return to_unsigned(numerator / span);
}

std::uint32_t scale_positive(float x, float max, float steps) noexcept {
    const float numerator = x * steps;
    return to_unsigned(numerator / max);
}

float unscale_symmetric(std::uint32_t raw, float max, float steps) noexcept {
    const float span = max + max;
    const float product = span * static_cast<float>(raw);
    const float quotient = product / steps;
    return quotient - max;
}

constexpr float kSteps16 = 65535.0F;
constexpr float kSteps12 = 4095.0F;

}  // namespace

std::array<std::uint8_t, kFrameLength> encode(const MitLimits& limits,
                                              const MitCommand& command) noexcept {
    const float kp = clamp(command.kp, 0.0F, limits.kp_max);
    const float kd = clamp(command.kd, 0.0F, limits.kd_max);
    const float velocity = clamp(command.velocity, -limits.v_max, limits.v_max);
    const float position = clamp(command.position, -limits.p_max, limits.p_max);
    const float torque = clamp(command.torque, -limits.t_max, limits.t_max);

    const std::uint32_t p_raw = scale_symmetric(position, limits.p_max, kSteps16) & 0xFFFF;
    const std::uint32_t v_raw = scale_symmetric(velocity, limits.v_max, kSteps12) & 0xFFF;
    const std::uint32_t kp_raw = scale_positive(kp, limits.kp_max, kSteps12) & 0xFFF;
    const std::uint32_t kd_raw = scale_positive(kd, limits.kd_max, kSteps12) & 0xFFF;
    const std::uint32_t t_raw = scale_symmetric(torque, limits.t_max, kSteps12) & 0xFFF;

    return {
        static_cast<std::uint8_t>(p_raw >> 8),
        static_cast<std::uint8_t>(p_raw),
        static_cast<std::uint8_t>(v_raw >> 4),
        static_cast<std::uint8_t>(((v_raw & 0xF) << 4) | (kp_raw >> 8)),
        static_cast<std::uint8_t>(kp_raw),
        static_cast<std::uint8_t>(kd_raw >> 4),
        static_cast<std::uint8_t>(((kd_raw & 0xF) << 4) | (t_raw >> 8)),
        static_cast<std::uint8_t>(t_raw),
    };
}

std::expected<MotorState, ShortPayload> decode_state(
    const MitLimits& limits, std::span<const std::uint8_t> payload) noexcept {
    if (payload.size() < kFrameLength) {
        return std::unexpected(ShortPayload{payload.size()});
    }
    const std::uint32_t p_raw = (std::uint32_t{payload[1]} << 8) | payload[2];
    const std::uint32_t v_raw = (std::uint32_t{payload[3]} << 4) | (payload[4] >> 4);
    const std::uint32_t t_raw = (std::uint32_t{payload[4] & 0x0FU} << 8) | payload[5];
    return MotorState{
        .position = unscale_symmetric(p_raw, limits.p_max, kSteps16),
        .velocity = unscale_symmetric(v_raw, limits.v_max, kSteps12),
        .torque = unscale_symmetric(t_raw, limits.t_max, kSteps12),
        .low_nibble = static_cast<std::uint8_t>(payload[0] & 0x0F),
        .high_nibble = static_cast<std::uint8_t>(payload[0] >> 4),
        .tail = static_cast<std::uint16_t>(payload[6] | (payload[7] << 8)),
    };
}

}  // namespace candrive::damiao::mit
