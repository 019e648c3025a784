#include "candrive/damiao/error.hpp"

namespace candrive::damiao::error {

std::string Error::message() const {
    struct Text {
        std::string operator()(const Transport& e) const {
            return "transport error: " + e.error.message();
        }
        std::string operator()(const UnknownRegister& e) const {
            return "register " + std::to_string(e.id) + " is not in the Damiao register table";
        }
        std::string operator()(const ReadOnly& e) const {
            return "register " + std::to_string(e.id) + " is read-only";
        }
        std::string operator()(const TypeMismatch& e) const {
            return "register " + std::to_string(e.id) + ": expected " +
                   std::string(registers::to_string(e.expected)) + ", got " +
                   std::string(registers::to_string(e.got));
        }
        std::string operator()(const ControlModeMismatch& e) const {
            return "control mode verification failed: wrote " + std::to_string(e.wrote) +
                   ", motor reports " + std::to_string(e.reports);
        }
        std::string operator()(const ReplyTooShort& e) const {
            return "reply too short: " + std::to_string(e.length) + " bytes";
        }
    };
    return std::visit(Text{}, detail);
}

}  // namespace candrive::damiao::error
