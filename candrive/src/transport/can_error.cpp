#include "candrive/transport/can_error.hpp"

#include <cerrno>
#include <cstring>

namespace candrive::transport {

std::string OsError::message() const {
    if (code_ == 0) {
        return description_;
    }
    // Built on whatever thread made the request: strerrordesc_np reads a constant table,
    // where std::strerror may share one buffer between threads.
    const char* text = strerrordesc_np(code_);
    return (text != nullptr ? std::string(text) : "Unknown error " + std::to_string(code_)) +
           " (os error " + std::to_string(code_) + ")";
}

bool CanError::is_interrupted() const noexcept {
    const auto* io = std::get_if<Io>(&detail);
    return io != nullptr && io->error.raw_os_error() == EINTR;
}

std::string CanError::message() const {
    struct Text {
        std::string operator()(const Io& io) const {
            return "backend error: " + io.error.message();
        }
        std::string operator()(const Timeout&) const { return "timeout waiting for frame"; }
        std::string operator()(const FrameTooLarge& e) const {
            return "frame too large for selected mode: " + std::to_string(e.size) + " bytes";
        }
        std::string operator()(const InvalidId&) const { return "invalid CAN id"; }
    };
    return std::visit(Text{}, detail);
}

}  // namespace candrive::transport
