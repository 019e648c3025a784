// What went wrong when a bus could not be opened, said with the device's name: the texts that
// callers see are fixed and often name neither, so the cause is logged beside them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "candrive/transport/can_error.hpp"

namespace wenlo::controller {

// "serial port '/dev/null' is not a terminal (Inappropriate ioctl for device)" and the like.
[[nodiscard]] std::string serial_port_failure(std::string_view path, std::optional<int> os_error,
                                              std::string_view description);

// "CAN interface 'vcan0' not found (No such device)" and the like.
[[nodiscard]] std::string can_interface_failure(std::string_view name,
                                                const candrive::transport::CanError& error);

// Logs one of the above at error level, on the controller's target.
void log_open_failure(const std::string& text);

}  // namespace wenlo::controller
