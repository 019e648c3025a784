#include "control_loop/motor_error.h"

#include <cstdio>

namespace wenlo::control_loop {
namespace {

std::string quoted(const std::string& name) {
    std::string text = "\"";
    for (char c : name) {
        if (c == '"' || c == '\\') {
            text += '\\';
        }
        text += c;
    }
    return text + "\"";
}

// whole.fraction with the fraction's trailing zeros (and a bare point) removed.
std::string decimal(std::uint64_t whole, std::uint64_t fraction, int digits) {
    std::string text = std::to_string(whole);
    if (fraction == 0) {
        return text;
    }
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%0*llu", digits,
                  static_cast<unsigned long long>(fraction));
    std::string part = buffer;
    while (!part.empty() && part.back() == '0') {
        part.pop_back();
    }
    return text + "." + part;
}

}  // namespace

std::string format_duration(Duration duration) {
    if (duration.secs > 0) {
        return decimal(duration.secs, duration.nanos, 9) + "s";
    }
    const std::uint64_t ns = duration.nanos;
    if (ns >= 1'000'000) {
        return decimal(ns / 1'000'000, ns % 1'000'000, 6) + "ms";
    }
    if (ns >= 1'000) {
        return decimal(ns / 1'000, ns % 1'000, 3) + "\xc2\xb5s";
    }
    return std::to_string(ns) + "ns";
}

std::string MotorError::message() const {
    struct Text {
        std::string operator()(const MissingMotors& e) const {
            std::string list = "[";
            for (std::size_t i = 0; i < e.names.size(); ++i) {
                list += (i > 0 ? ", " : "") + quoted(e.names[i]);
            }
            return "Missing motors: " + list + "]!";
        }
        std::string operator()(const CommunicationError&) const {
            return "Motor communication error! Check connections and power supply.";
        }
        std::string operator()(const NoMotorsDetected&) const {
            return "No motors detected. Check if the power supply is connected and turned on!";
        }
        std::string operator()(const VoltageRampUpTimeout& e) const {
            const std::string volts = std::to_string(e.lowest_decivolts / 10) + "." +
                                      std::to_string(e.lowest_decivolts % 10);
            return "Voltage did not ramp up to 12V (got " + volts + "V) within " +
                   format_duration(e.timeout) + "!";
        }
        std::string operator()(const PortNotFound& e) const {
            return "Check if your USB cable is connected. Could not find port: " + e.path + "!";
        }
        std::string operator()(const PortOpenFailed& e) const {
            return "Could not open serial port: " + e.path +
                   "! Check permissions and if the port is already in use.";
        }
    };
    return std::visit(Text{}, variant_);
}

}  // namespace wenlo::control_loop
