// The commands that callers queue for the worker: nineteen variants, each owning its payload.
// The two that answer carry the sending end of a one-shot reply channel.
#pragma once

#include "control_loop/reply_channel.h"
#include "control_loop/torso_position.h"

#include <array>
#include <cstdint>
#include <variant>
#include <vector>

namespace wenlo::control_loop {

using Bytes = std::vector<std::uint8_t>;

namespace command {
struct SetAllGoalPositions {
    TorsoPosition positions;  // only the arm and nose values are used
};
struct SetLeftArmPosition {
    std::array<double, 2> position;
};
struct SetRightArmPosition {
    std::array<double, 2> position;
};
struct SetArmsPosition {
    std::array<double, 4> position;
};
struct SetNosePosition {
    std::array<double, 3> position;
};
struct SetNeckPosition {
    std::array<double, 3> position;
};
struct SetNeckYawPosition {
    double position;
};
struct SetNeckPitchPosition {
    double position;
};
struct SetNeckRollPosition {
    double position;
};
struct EnableNeck {
    bool enable;
};
struct EnableTorque {};
struct EnableTorqueOnIds {
    std::vector<std::uint8_t> ids;
};
struct DisableTorque {};
struct DisableTorqueOnIds {
    std::vector<std::uint8_t> ids;
};
struct EnableArms {
    bool enable;
};
struct EnableNose {
    bool enable;
};
struct ReadRawBytes {
    std::uint8_t id;
    std::uint8_t address;
    std::uint8_t length;
    ReplySender<Bytes> reply;
};
struct WriteRawBytes {
    std::uint8_t id;
    std::uint8_t address;
    Bytes data;
};
struct WriteRawPacket {
    Bytes data;
    ReplySender<Bytes> reply;
};
}  // namespace command

using MotorCommand =
    std::variant<command::SetAllGoalPositions, command::SetLeftArmPosition,
                 command::SetRightArmPosition, command::SetArmsPosition, command::SetNosePosition,
                 command::SetNeckPosition, command::SetNeckYawPosition,
                 command::SetNeckPitchPosition, command::SetNeckRollPosition,
                 command::EnableNeck, command::EnableTorque, command::EnableTorqueOnIds,
                 command::DisableTorque, command::DisableTorqueOnIds, command::EnableArms,
                 command::EnableNose, command::ReadRawBytes, command::WriteRawBytes,
                 command::WriteRawPacket>;

}  // namespace wenlo::control_loop
