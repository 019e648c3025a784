#include <cerrno>
#include <cstring>
#include <string>

#include "serialbus/io_error.hpp"
#include "serialbus/serial_port_error.hpp"

namespace serialbus {

namespace {

std::string errno_text(int error_number) {
    // Any thread that runs an exchange builds these errors, and std::strerror may share one
    // buffer between threads; strerrordesc_np reads a constant table instead.
    if (const char* text = strerrordesc_np(error_number)) {
        return text;
    }
    return "Unknown error " + std::to_string(error_number);
}

}  // namespace

IoError IoError::from_errno(int error_number) {
    IoErrorKind kind = IoErrorKind::Other;
    if (error_number == EINTR) {
        kind = IoErrorKind::Interrupted;
    } else if (error_number == ETIMEDOUT) {
        kind = IoErrorKind::TimedOut;
    }
    return {kind, errno_text(error_number)};
}

SerialPortError SerialPortError::from_errno(int error_number) {
    SerialPortErrorKind kind = SerialPortErrorKind::Io;
    if (error_number == ENOENT || error_number == ENODEV || error_number == ENXIO ||
        error_number == ENOTTY) {
        kind = SerialPortErrorKind::NoDevice;
    } else if (error_number == EINVAL) {
        kind = SerialPortErrorKind::InvalidInput;
    }
    SerialPortError error(kind, errno_text(error_number));
    error.os_error_ = error_number;
    return error;
}

}  // namespace serialbus
