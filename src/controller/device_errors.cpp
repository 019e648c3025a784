#include "controller/device_errors.h"

#include <cerrno>
#include <cstring>

#include "common/log.h"

namespace wenlo::controller {
namespace {

std::string quoted(std::string_view what, std::string_view name) {
    return std::string(what) + " '" + std::string(name) + "'";
}

std::string os_text(int code) {
    // strerrordesc_np reads a constant table: safe on any thread, unlike strerror.
    const char* text = strerrordesc_np(code);
    return text != nullptr ? text : "Unknown error " + std::to_string(code);
}

}  // namespace

std::string serial_port_failure(std::string_view path, std::optional<int> os_error,
                                std::string_view description) {
    const std::string port = quoted("serial port", path);
    const std::string cause = " (" + std::string(description) + ")";
    if (!os_error) {
        // The only failure without an errno that says more than its text: another opener's lock.
        if (description.find("exclusive lock") != std::string_view::npos) {
            return port + " is in use by another program" + cause;
        }
        return port + ": " + std::string(description);
    }
    switch (*os_error) {
        case ENOENT:
            return port + " not found" + cause;
        case ENOTTY:
            return port + " is not a terminal" + cause;
        case EACCES:
        case EPERM:
            return "no permission to open " + port + cause +
                   "; add the user to the group that owns it (often 'dialout')";
        case EBUSY:
            return port + " is in use by another program" + cause;
        default:
            return port + ": " + std::string(description);
    }
}

std::string can_interface_failure(std::string_view name,
                                  const candrive::transport::CanError& error) {
    const std::string iface = quoted("CAN interface", name);
    const auto* io = std::get_if<candrive::transport::CanError::Io>(&error.detail);
    const std::optional<int> code = io != nullptr ? io->error.raw_os_error() : std::nullopt;
    if (!code) {
        return iface + ": " + error.message();
    }
    const std::string cause = " (" + os_text(*code) + ")";
    switch (*code) {
        case ENODEV:
            return iface + " not found" + cause;
        case ENETDOWN:
            return iface + " is down" + cause + "; bring it up with 'ip link set " +
                   std::string(name) + " up'";
        case EAFNOSUPPORT:
        case EPROTONOSUPPORT:
            return iface + ": this kernel has no CAN support" + cause;
        default:
            return iface + ": " + os_text(*code);
    }
}

void log_open_failure(const std::string& text) {
    WENLO_LOG(log::kControllerTarget, log::Level::Error, text);
}

}  // namespace wenlo::controller
