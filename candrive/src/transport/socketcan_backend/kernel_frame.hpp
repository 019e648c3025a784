#pragma once

// Conversion between `CanFrame` and the kernel's `can_frame` / `canfd_frame` byte layouts,
// kept apart from the socket so it can be checked without a CAN interface.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "candrive/transport/can_error.hpp"
#include "candrive/transport/can_frame.hpp"

namespace candrive::transport::socketcan_backend {

inline constexpr std::size_t kClassicMtu = 16;  // sizeof(struct can_frame)
inline constexpr std::size_t kFdMtu = 72;       // sizeof(struct canfd_frame)

using KernelBuffer = std::array<std::uint8_t, kFdMtu>;

// The smallest length a CAN FD frame can carry that holds `payload` bytes (payload <= 64).
[[nodiscard]] std::uint8_t fd_length_for(std::size_t payload) noexcept;

// Validates `frame` and lays it out in `out`; returns the number of bytes to write (16 or 72).
[[nodiscard]] std::expected<std::size_t, CanError> to_kernel(const CanFrame& frame,
                                                             KernelBuffer& out);

// Converts what one read delivered; any size but 16 or 72 is an I/O error.
[[nodiscard]] std::expected<CanFrame, CanError> from_kernel(std::span<const std::uint8_t> bytes);

}  // namespace candrive::transport::socketcan_backend
