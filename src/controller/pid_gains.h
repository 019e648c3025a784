// The servos' position-loop gains: three byte registers from address 21, in the order P, D, I.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace wenlo::controller {

struct PidGains {
    std::uint8_t p;
    std::uint8_t i;
    std::uint8_t d;
};

inline constexpr std::uint8_t kGainRegister = 21;
inline constexpr std::uint8_t kGainRegisterCount = 3;

constexpr PidGains gains_from_registers(std::span<const std::uint8_t, kGainRegisterCount> r) {
    return {r[0], r[2], r[1]};
}

constexpr std::array<std::uint8_t, kGainRegisterCount> registers_from_gains(PidGains gains) {
    return {gains.p, gains.d, gains.i};
}

}  // namespace wenlo::controller
