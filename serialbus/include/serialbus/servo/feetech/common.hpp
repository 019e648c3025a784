#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "serialbus/feetech_protocol/protocol_handler.hpp"
#include "serialbus/port.hpp"

// Register map, unit conversion and group operations shared by the Feetech models on the bus;
// the model namespaces expose these same functions.
namespace serialbus::servo::feetech::common {

inline constexpr std::uint8_t TORQUE_ENABLE = 40;
inline constexpr std::uint8_t GOAL_POSITION = 42;
inline constexpr std::uint8_t PRESENT_POSITION = 56;
inline constexpr std::uint8_t PRESENT_SPEED = 58;
inline constexpr std::uint8_t PRESENT_LOAD = 60;
inline constexpr std::uint8_t PRESENT_VOLTAGE = 62;
inline constexpr std::uint8_t PRESENT_TEMPERATURE = 63;
// Present position to present temperature: one read gives every figure a servo reports.
inline constexpr std::uint8_t TELEMETRY_LENGTH = 8;

// The registers a person may want by name on the bench, in address order; multi-byte ones are
// little-endian. Both models share these addresses.
struct RegisterInfo {
    std::string_view name;
    std::uint8_t address;
    std::uint8_t width;  // bytes
    bool writable;
};
inline constexpr std::array<RegisterInfo, 18> kRegisterTable = {{
    {"firmware_major", 0, 1, false},
    {"firmware_minor", 1, 1, false},
    {"model_number", 3, 2, false},
    {"id", 5, 1, true},
    {"baud_rate", 6, 1, true},
    {"min_angle_limit", 9, 2, true},
    {"max_angle_limit", 11, 2, true},
    {"max_temperature", 13, 1, true},
    {"p_gain", 21, 1, true},
    {"d_gain", 22, 1, true},
    {"i_gain", 23, 1, true},
    {"torque_enable", TORQUE_ENABLE, 1, true},
    {"goal_position", GOAL_POSITION, 2, true},
    {"present_position", PRESENT_POSITION, 2, false},
    {"present_speed", PRESENT_SPEED, 2, false},
    {"present_load", PRESENT_LOAD, 2, false},
    {"present_voltage", PRESENT_VOLTAGE, 1, false},
    {"present_temperature", PRESENT_TEMPERATURE, 1, false},
}};

inline constexpr double kPi = 3.141592653589793;
inline constexpr double kTwoPi = 6.283185307179586;

// Steps of 2*pi/4096 with 2048 at zero.
[[nodiscard]] double raw_to_radians(std::int16_t raw);
// Truncated toward zero, saturated to int16; NaN gives 0.
[[nodiscard]] std::int16_t radians_to_raw(double radians);

// What a servo reports of itself, from registers 56 to 63.
struct Telemetry {
    double position;     // rad
    double velocity;     // rad/s
    double load;         // fraction of full load, -1 to 1
    double voltage;      // V
    double temperature;  // degrees Celsius
};

// Speed counts steps of 2*pi/4096 per second with bit 15 as its direction; load counts tenths of
// a percent of full load (0 to 1000) with bit 10 as its direction.
[[nodiscard]] Telemetry decode_telemetry(std::span<const std::uint8_t, TELEMETRY_LENGTH> bytes);

using feetech_protocol::FeetechProtocolHandler;
using feetech_protocol::Result;
using Ids = std::span<const std::uint8_t>;

// Group reads reject an answer whose data length differs from the register width (ParsingError).
[[nodiscard]] Result<std::vector<std::int16_t>> sync_read_raw_present_position(
    const FeetechProtocolHandler& handler, Port& port, Ids ids);
[[nodiscard]] Result<std::vector<double>> sync_read_present_position(
    const FeetechProtocolHandler& handler, Port& port, Ids ids);
[[nodiscard]] Result<std::vector<std::uint8_t>> sync_read_raw_torque_enable(
    const FeetechProtocolHandler& handler, Port& port, Ids ids);
[[nodiscard]] Result<std::vector<bool>> sync_read_torque_enable(
    const FeetechProtocolHandler& handler, Port& port, Ids ids);
[[nodiscard]] Result<std::vector<std::uint8_t>> sync_read_present_voltage(
    const FeetechProtocolHandler& handler, Port& port, Ids ids);
[[nodiscard]] Result<std::vector<Telemetry>> sync_read_telemetry(
    const FeetechProtocolHandler& handler, Port& port, Ids ids);

// Group writes pair ids and values in order; surplus entries of the longer list are left out.
[[nodiscard]] Result<void> sync_write_raw_goal_position(const FeetechProtocolHandler& handler,
                                                        Port& port, Ids ids,
                                                        std::span<const std::int16_t> raw);
[[nodiscard]] Result<void> sync_write_goal_position(const FeetechProtocolHandler& handler,
                                                    Port& port, Ids ids,
                                                    std::span<const double> radians);
[[nodiscard]] Result<void> sync_write_raw_torque_enable(const FeetechProtocolHandler& handler,
                                                        Port& port, Ids ids,
                                                        std::span<const std::uint8_t> raw);
[[nodiscard]] Result<void> sync_write_torque_enable(const FeetechProtocolHandler& handler,
                                                    Port& port, Ids ids,
                                                    const std::vector<bool>& enable);

}  // namespace serialbus::servo::feetech::common
