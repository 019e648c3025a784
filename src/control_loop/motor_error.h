// The control loop's error: six variants, each with the display text the robot's operator
// reads. Values own their data, so a copy taken from a shared record outlives the record.
#pragma once

#include "common/duration.h"

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace wenlo::control_loop {

class MotorError {
public:
    struct MissingMotors {
        std::vector<std::string> names;  // in the order they were checked
    };
    struct CommunicationError {};
    struct NoMotorsDetected {};
    struct VoltageRampUpTimeout {
        std::uint8_t lowest_decivolts;    // units of 0.1 V
        Duration timeout;                 // the configured one, not the time waited
    };
    struct PortNotFound {
        std::string path;
    };
    struct PortOpenFailed {
        std::string path;  // empty for a loop without a serial port
    };
    using Variant = std::variant<MissingMotors, CommunicationError, NoMotorsDetected,
                                 VoltageRampUpTimeout, PortNotFound, PortOpenFailed>;

    // Implicit from any variant, so that a variant can stand where an error is expected.
    template <typename V>
        requires std::is_constructible_v<Variant, V&&>
    MotorError(V&& v) : variant_(std::forward<V>(v)) {}  // NOLINT
    static MotorError communication() { return MotorError(CommunicationError{}); }

    std::string message() const;

private:
    Variant variant_;
};

// "30s", "2.5s", "250ms", "1.234567s", "1.5µs", "0ns": the largest unit that leaves a whole
// part, then the remaining digits without trailing zeros.
std::string format_duration(Duration duration);

}  // namespace wenlo::control_loop
