// The motor side of the Damiao CAN protocol: MIT commands in, state frames out, registers.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>

#include "damiaosim/motor_bus.hpp"

namespace damiaosim::protocol {

constexpr std::uint16_t kManagementId = 0x7FF;
constexpr std::uint8_t kReadRegister = 0x33;
constexpr std::uint8_t kWriteRegister = 0x55;
constexpr std::uint8_t kSaveRegisters = 0xAA;
constexpr std::uint8_t kRequestFeedback = 0xCC;
constexpr std::uint8_t kEnable = 0xFC;
constexpr std::uint8_t kDisable = 0xFD;
constexpr std::uint8_t kSetZero = 0xFE;
constexpr std::uint8_t kClearError = 0xFB;

constexpr std::uint8_t kCommLost = 0x0D;  // error nibble after the time-out tripped
constexpr std::chrono::microseconds kTimeoutUnit{50};

constexpr std::uint8_t kMstId = 0x07;
constexpr std::uint8_t kEscId = 0x08;
constexpr std::uint8_t kTimeout = 0x09;  // communication time-out, 50 us units, 0 = off
constexpr std::uint8_t kCtrlMode = 0x0A;
constexpr std::uint8_t kPmax = 0x15;
constexpr std::uint8_t kVmax = 0x16;
constexpr std::uint8_t kTmax = 0x17;
constexpr std::uint8_t kPosMotor = 0x50;
constexpr std::uint8_t kPosOutput = 0x51;
constexpr std::uint8_t kRegisterSlots = 0x52;

using Payload = std::array<std::uint8_t, 8>;

// Inverse of the master's packing: raw fields mapped back onto their ranges.
MitSetpoint decode_mit(const MitRanges& r, const Payload& data);

struct StateFields {
    double position;
    double velocity;
    double torque;
    std::uint8_t error_nibble;
    std::uint8_t id_nibble;
    std::uint8_t mos_temperature;    // degrees C
    std::uint8_t rotor_temperature;  // degrees C
};
Payload encode_state(const MitRanges& r, const StateFields& s);

struct RegisterDefault {
    bool present;
    bool writable;
    bool is_float;
    float value;  // a Uint32 register's value, as a float
};
// The table the firmware would report for a freshly configured motor.
std::optional<RegisterDefault> register_default(std::uint8_t reg);

}  // namespace damiaosim::protocol
