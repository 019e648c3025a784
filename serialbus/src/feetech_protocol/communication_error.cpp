#include "serialbus/feetech_protocol/communication_error.hpp"

#include "serialbus/feetech_protocol/error.hpp"

namespace serialbus::feetech_protocol {

std::string CommunicationErrorKind::debug_string() const {
    switch (tag_) {
        case Tag::ChecksumError:
            return "ChecksumError";
        case Tag::ParsingError:
            return "ParsingError";
        case Tag::TimeoutError:
            return "TimeoutError";
        case Tag::IncorrectId:
            return "IncorrectId(" + std::to_string(first_) + ", " + std::to_string(second_) + ")";
        case Tag::Unsupported:
            return "Unsupported";
    }
    return "Unknown";
}

std::string CommunicationErrorKind::message() const {
    switch (tag_) {
        case Tag::ChecksumError:
            return "Checksum error";
        case Tag::ParsingError:
            return "Parsing error";
        case Tag::TimeoutError:
            return "Timeout error";
        case Tag::IncorrectId:
            return "Incorrect id (" + std::to_string(first_) + " instead of " +
                   std::to_string(second_) + ")";
        case Tag::Unsupported:
            return "Operation not supported";
    }
    return "Unknown error";
}

std::string ProtocolError::message() const {
    return std::visit([](const auto& error) { return error.message(); }, error_);
}

}  // namespace serialbus::feetech_protocol
