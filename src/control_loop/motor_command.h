// The commands that callers queue for the worker: the nineteen of the design and the emergency
// stop, each owning its payload.
// The two that answer carry the sending end of a one-shot reply channel.
#pragma once

#include "control_loop/reply_channel.h"
#include "control_loop/torso_position.h"
#include "controller/layout.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace wenlo::control_loop {

using Bytes = std::vector<std::uint8_t>;

// A goal command carries its group of servos (layout.h): the operation and the joints it moves;
// a single neck joint its index; a torque command the state it sets.
namespace command {
struct SetAllGoalPositions {
    static constexpr const controller::GoalGroup& group = controller::kAllGoals;
    TorsoPosition positions;  // only the arm and nose values are used
};
template <const controller::GoalGroup& Group>
struct SetGoals {
    static constexpr const controller::GoalGroup& group = Group;
    std::array<double, Group.range.count> position;
};
using SetLeftArmPosition = SetGoals<controller::kLeftArmGoals>;
using SetRightArmPosition = SetGoals<controller::kRightArmGoals>;
using SetArmsPosition = SetGoals<controller::kArmsGoals>;
using SetNosePosition = SetGoals<controller::kNoseGoals>;
struct SetNeckPosition {
    std::array<double, 3> position;
};
template <std::size_t Index>
struct SetNeckJoint {
    static constexpr std::size_t neck_index = Index;
    double position;
};
using SetNeckYawPosition = SetNeckJoint<0>;
using SetNeckPitchPosition = SetNeckJoint<1>;
using SetNeckRollPosition = SetNeckJoint<2>;
struct EnableNeck {
    bool enable;
};
template <bool On>
struct SetTorque {
    static constexpr bool torque = On;
};
template <bool On>
struct SetTorqueOnIds {
    static constexpr bool torque = On;
    std::vector<std::uint8_t> ids;
};
using EnableTorque = SetTorque<true>;
using EnableTorqueOnIds = SetTorqueOnIds<true>;
using DisableTorque = SetTorque<false>;
using DisableTorqueOnIds = SetTorqueOnIds<false>;
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
// The emergency stop: it jumps the queue; the reply is its first failure's text, or none.
struct Estop {
    ReplySender<std::optional<std::string>> reply;
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
                 command::WriteRawPacket, command::Estop>;

}  // namespace wenlo::control_loop
