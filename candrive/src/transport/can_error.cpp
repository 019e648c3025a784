#include "candrive/transport/can_error.hpp"

#include <cstring>

namespace candrive::transport {

std::string OsError::message() const {
    if (code_ == 0) {
        return description_;
    }
    return std::string(std::strerror(code_)) + " (os error " + std::to_string(code_) + ")";
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
