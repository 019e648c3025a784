#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

// Wire time of classic CAN frames at 1 Mbit/s, for the simulated bus.
namespace damiaosim {

// Bits a classic data frame occupies on the bus, from start of frame to the end of the
// interframe space: the stuff bits that this frame's own bit pattern needs are counted exactly
// (CRC-15 included), as are the 13 fixed bits after the CRC. Extended ids (CAN_EFF_FLAG set)
// use the 29-bit format.
[[nodiscard]] std::size_t frame_bits(std::uint32_t can_id, std::span<const std::uint8_t> data);

inline constexpr std::chrono::nanoseconds kBitTime{1000};  // 1 Mbit/s

[[nodiscard]] inline std::chrono::nanoseconds frame_time(std::uint32_t can_id,
                                                         std::span<const std::uint8_t> data) {
    return kBitTime * static_cast<long>(frame_bits(can_id, data));
}

}  // namespace damiaosim
