#pragma once

#include <cstdint>

#include "serialbus/serial_port.hpp"

// The termios2 half of the port setup. Kept behind plain types because <asm/termbits.h>, which
// defines termios2 and BOTHER, cannot share a translation unit with <termios.h>.
namespace serialbus::detail {

// Exact rate (BOTHER) both ways, 8N1, no flow control, parity errors ignored. 0 or an errno.
[[nodiscard]] int apply_bus_line_settings(int fd, std::uint32_t baud_rate);
// 0 or an errno.
[[nodiscard]] int read_line_settings(int fd, PortSettings& settings);

}  // namespace serialbus::detail
