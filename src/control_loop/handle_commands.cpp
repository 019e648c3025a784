#include "control_loop/handle_commands.h"

#include "common/try.h"
#include "control_loop/snapshot.h"

namespace wenlo::control_loop {
namespace {

using controller::MotorController;
using controller::Result;

struct Executor {
    MotorController& c;
    TorqueRecord& last_torque;
    std::uint64_t allowed_retries;

    // A poisoned record keeps what it holds.
    Result<void> torque_done(Result<void> done, bool state) {
        if (done) {
            last_torque.store(state);
        }
        return done;
    }

    Result<void> operator()(command::SetAllGoalPositions& cmd) {
        const TorsoPosition& p = cmd.positions;
        return c.set_all_goal_positions({p.left_arm[0], p.left_arm[1], p.right_arm[0],
                                         p.right_arm[1], p.nose[0], p.nose[1], p.nose[2]});
    }
    Result<void> operator()(command::SetLeftArmPosition& cmd) {
        return c.set_left_arm_position(cmd.position);
    }
    Result<void> operator()(command::SetRightArmPosition& cmd) {
        return c.set_right_arm_position(cmd.position);
    }
    Result<void> operator()(command::SetArmsPosition& cmd) {
        return c.set_arms_position(cmd.position);
    }
    Result<void> operator()(command::SetNosePosition& cmd) {
        return c.set_nose_position(cmd.position);
    }
    Result<void> operator()(command::SetNeckPosition& cmd) {
        // Clamps each joint (with its warning), then commands all three; what the motors
        // report back is not needed here.
        WENLO_TRY(c.set_neck_position(cmd.position));
        return {};
    }
    Result<void> single(std::size_t index, double position) {
        WENLO_TRY(c.set_single_neck_joint(index, position));
        return {};
    }
    Result<void> operator()(command::SetNeckYawPosition& cmd) { return single(0, cmd.position); }
    Result<void> operator()(command::SetNeckPitchPosition& cmd) {
        return single(1, cmd.position);
    }
    Result<void> operator()(command::SetNeckRollPosition& cmd) {
        return single(2, cmd.position);
    }
    Result<void> operator()(command::EnableNeck& cmd) { return c.enable_neck(cmd.enable); }
    Result<void> operator()(command::EnableTorque&) {
        return torque_done(c.set_all_torque(true), true);
    }
    Result<void> operator()(command::DisableTorque&) {
        return torque_done(c.set_all_torque(false), false);
    }
    Result<void> operator()(command::EnableTorqueOnIds& cmd) {
        return torque_done(c.set_torque_on_ids(cmd.ids, true), true);
    }
    Result<void> operator()(command::DisableTorqueOnIds& cmd) {
        return torque_done(c.set_torque_on_ids(cmd.ids, false), false);
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
                                         std::uint64_t allowed_retries) {
    return std::visit(Executor{controller, last_torque, allowed_retries}, command);
}

}  // namespace wenlo::control_loop
