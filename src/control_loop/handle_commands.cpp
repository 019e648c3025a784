#include "control_loop/handle_commands.h"

#include "common/try.h"
#include "control_loop/snapshot.h"

namespace wenlo::control_loop {
namespace {

using controller::MotorController;
using controller::Result;

// The values a goal command moves its group to.
std::array<double, 7> goal_values(const command::SetAllGoalPositions& cmd) {
    return servo_values(cmd.positions);
}
template <typename Goals>
const auto& goal_values(const Goals& cmd) {
    return cmd.position;
}

struct Executor {
    MotorController& c;
    TorqueRecord& last_torque;
    std::uint64_t allowed_retries;
    StepLimit* step;

    // Goals of the joints from `first` on, each within the largest step where one is set.
    template <std::size_t N>
    std::array<double, N> within_step(std::size_t first, std::array<double, N> goals) {
        for (std::size_t i = 0; step != nullptr && i < N; ++i) {
            goals[i] = step->limit(first + i, goals[i]);
        }
        return goals;
    }

    template <typename Goals>
        requires requires { Goals::group; }
    Result<void> operator()(Goals& cmd) {
        return c.set_goals(Goals::group, within_step(Goals::group.range.first, goal_values(cmd)));
    }
    // The neck's commands clamp (with a warning), then command; what the motors report back is
    // not needed here.
    Result<void> operator()(command::SetNeckPosition& cmd) {
        WENLO_TRY(c.set_neck_position(within_step(controller::kNeckJointRange.first, cmd.position)));
        return {};
    }
    template <typename NeckJoint>
        requires requires { NeckJoint::neck_index; }
    Result<void> operator()(NeckJoint& cmd) {
        constexpr std::size_t kJoint = controller::kNeckJointRange.first + NeckJoint::neck_index;
        WENLO_TRY(c.set_single_neck_joint(NeckJoint::neck_index,
                                          within_step<1>(kJoint, {cmd.position})[0]));
        return {};
    }
    Result<void> operator()(command::EnableNeck& cmd) { return c.enable_neck(cmd.enable); }
    // Only a torque command that succeeded changes the record; a poisoned one keeps what it holds.
    template <typename Torque>
        requires requires { Torque::torque; }
    Result<void> operator()(Torque& cmd) {
        std::span<const std::uint8_t> ids = controller::kServoIds;
        if constexpr (requires { cmd.ids; }) {
            ids = cmd.ids;
        }
        WENLO_TRY(c.set_torque_on_ids(ids, Torque::torque));
        last_torque.store(Torque::torque);
        return {};
    }
    Result<void> operator()(command::EnableArms& cmd) { return c.enable_arms(cmd.enable); }
    Result<void> operator()(command::EnableNose& cmd) { return c.enable_nose(cmd.enable); }
    Result<void> operator()(command::ReadRawBytes& cmd) {
        // A failure closes the reply channel unanswered.
        WENLO_TRY_ASSIGN(auto bytes, with_retry(allowed_retries, [&] {
                             return c.read_raw(cmd.id, cmd.address, cmd.length);
                         }));
        cmd.reply.send(std::move(bytes));  // dropped if the caller stopped waiting
        return {};
    }
    Result<void> operator()(command::WriteRawBytes& cmd) {
        return c.write_raw(cmd.id, cmd.address, cmd.data);
    }
    Result<void> operator()(command::Estop& cmd) {
        auto stopped = c.estop();
        if (stopped && c.has_serial_port()) {
            last_torque.store(false);  // the servos' torque went off with it
        }
        cmd.reply.send(stopped ? std::nullopt : std::optional(stopped.error().message()));
        return stopped;
    }
    Result<void> operator()(command::WriteRawPacket& cmd) {
        WENLO_TRY_ASSIGN(auto answer, c.write_raw_packet(cmd.data));
        if (!cmd.reply.send(std::move(answer))) {
            return std::unexpected(controller::Error("raw packet answer could not be delivered"));
        }
        return {};
    }
};

}  // namespace

controller::Result<void> handle_commands(controller::MotorController& controller,
                                         TorqueRecord& last_torque, MotorCommand command,
                                         std::uint64_t allowed_retries, StepLimit* step) {
    return std::visit(Executor{controller, last_torque, allowed_retries, step}, command);
}

}  // namespace wenlo::control_loop
