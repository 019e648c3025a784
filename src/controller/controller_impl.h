// What a controller holds; shared by the files that implement its operations.
#pragma once

#include "candrive/damiao/driver.hpp"
#include "candrive/damiao/error.hpp"
#include "candrive/transport/socketcan_backend/socketcan_transport.hpp"
#include "common/try.h"
#include "controller/controller.h"
#include "controller/health.h"
#include "controller/neck_bus.h"
#include "serialbus/feetech_protocol/error.hpp"
#include "serialbus/feetech_protocol/protocol_handler.hpp"
#include "serialbus/serial_port.hpp"

#include <array>
#include <atomic>
#include <memory>
#include <expected>
#include <optional>
#include <type_traits>

namespace wenlo::controller {

struct MotorController::Impl {
    // Declared first so that it is destroyed last: the serial port closes before the CAN socket.
    NeckBus can;
    std::optional<serialbus::SerialPort> serial;
    serialbus::feetech_protocol::FeetechProtocolHandler protocol;
    std::array<candrive::damiao::driver::Damiao, kNeckJoints> neck;
    std::array<candrive::damiao::mit::MitCommand, kNeckJoints> templates;
    bool neck_torque = false;
    HealthTracker health;  // told of every servo answer by `protocol`, of neck replies below
    LimitClamp limits;
    // Shared, so that a caller can latch the stop without the controller's lock: a homing that
    // holds the lock then ends at its next cycle.
    std::shared_ptr<std::atomic<bool>> estopped = std::make_shared<std::atomic<bool>>(false);
    ExitPolicy on_exit = ExitPolicy::Hold;
    // The serial line riding out an unplugged adapter (serial_reopen.cpp): the path it was
    // opened by, the OS error by which it went away while it is away (the port is then
    // closed), and each servo's torque as last commanded or read, for a servo that comes back.
    std::optional<std::string> serial_path{};
    std::optional<int> serial_lost{};
    std::array<std::optional<bool>, kServoJoints.count> servo_torque{};

    // The MIT command a neck motor holds: its template, or while the stop is latched the
    // damping (kp 0, its kd, no velocity, no torque).
    candrive::damiao::mit::MitCommand holding(std::size_t neck_index) const;
    // Each neck motor in damping, each tried.
    Result<void> damp_neck();

    // Fails with kEstopLatched while the emergency stop is latched.
    Result<void> may_move() const;

    // The open port, or the neck-only error, or while the line is away the OS error it went
    // with.
    Result<serialbus::SerialPort*> port();

    // A neck exchange's outcome, noted in the health record on its way back. An answer also
    // settles a motor that may have heard stale frames (settle()). An exchange a signal broke
    // tells nothing about the motor.
    template <typename R>
    R noted(std::size_t neck_index, R result) {
        if (result) {
            neck_answered(neck_index, *result);
            settle(neck_index);
        } else if (!can.last_wait_interrupted()) {
            health.neck_failed(neck_index);
        }
        return result;
    }

    // What the program last asked of each motor, as far as it was told it happened: On once
    // an enable was answered, Off from a disable on. Health compares the motor's report with it.
    enum class Intent : std::uint8_t { Unknown, On, Off };
    std::array<Intent, kNeckJoints> intent{};

    // An enable or MIT frame left unanswered may wait in the interface's transmit queue (a bus
    // nobody acknowledges) and reach the motor when the bus works again, long after the
    // program was told that the command failed. So its undo goes right behind it: what the
    // motor last took (its last answered MIT command, else a hold where it last stood), or a
    // disable where it was not known enabled. Queued together, they go out together and leave
    // the motor as it was. An undo the socket refuses (the queue is full) is sent once the
    // motor answers again, before anything else. A disable or a damping (the stop's, the exit
    // policy's) is never undone, nothing is undone while the stop is latched, and an undo
    // never enables.
    enum class Motion : std::uint8_t { Enable, Disable, Mit, Damp };
    struct Held {
        std::optional<bool> enabled;  // by its last answered enable or disable
        std::optional<candrive::damiao::mit::MitCommand> command;  // its last answered MIT
        std::optional<float> position;  // where it last said it stood
    };
    std::array<Held, kNeckJoints> held{};
    std::array<std::optional<Motion>, kNeckJoints> undo_pending{};

    // A motion exchange's outcome: noted, and undone if it may arrive late.
    template <typename R>
    R moved(std::size_t neck_index, Motion motion,
            const candrive::damiao::mit::MitCommand& command, R result) {
        if (!can.last_wait_interrupted()) {
            motion_outcome(neck_index, motion, command, result.has_value(),
                           can.last_send_accepted());
        }
        return noted(neck_index, std::move(result));
    }
    // `accepted`: the socket took the frame (it may wait in the queue).
    void motion_outcome(std::size_t neck_index, Motion motion,
                        const candrive::damiao::mit::MitCommand& command, bool answered,
                        bool accepted);
    // The undo of an unanswered enable or MIT frame, sent on its own (nothing to send: true).
    bool send_undo(std::size_t neck_index, Motion motion);
    // The undo the socket refused, sent once the motor answers again.
    void settle(std::size_t neck_index);
    void neck_answered(std::size_t neck_index, const candrive::damiao::mit::MotorState& state) {
        held[neck_index].position = state.position;
        health.neck_answered(neck_index, state, intent[neck_index] == Intent::On);
    }
};

// What a serial operation says while the line is away: the OS's text for how it went.
std::string serial_lost_text(int os_error);

Error to_error(const serialbus::feetech_protocol::ProtocolError& error);
Error to_error(const serialbus::IoError& error);
Error to_error(const serialbus::SerialPortError& error);

// A serial result as the controller's: the value as it is, the error as to_error makes it.
template <typename T, typename E>
Result<T> lift(std::expected<T, E>&& result) {
    if (!result) {
        return std::unexpected(to_error(result.error()));
    }
    if constexpr (std::is_void_v<T>) {
        return {};
    } else {
        return std::move(*result);
    }
}

}  // namespace wenlo::controller
