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

    // The MIT command a neck motor holds: its template, or while the stop is latched the
    // damping (kp 0, its kd, no velocity, no torque).
    candrive::damiao::mit::MitCommand holding(std::size_t neck_index) const;
    // Each neck motor in damping, each tried.
    Result<void> damp_neck();

    // Fails with kEstopLatched while the emergency stop is latched.
    Result<void> may_move() const;

    // The open port, or the neck-only error.
    Result<serialbus::SerialPort*> port();

    // A neck exchange's outcome, noted in the health record on its way back. An answer also
    // settles a motor that may have heard stale frames (settle()).
    template <typename R>
    R noted(std::size_t neck_index, R result) {
        if (result) {
            neck_answered(neck_index, *result);
            settle(neck_index);
        } else {
            health.neck_failed(neck_index);
        }
        return result;
    }

    // Frames that may move a neck motor (enable, disable, MIT) and went out unanswered may
    // wait in the interface's transmit queue (a bus nobody acknowledges) and reach the motor
    // when the bus works again, later than any program asked for them. Such a motor is
    // unsettled until a motion frame of its own is answered, which supersedes them (the queue
    // keeps its order); any other answer first gives it what the program wants now.
    enum class Intent : std::uint8_t { Unknown, On, Off };
    std::array<Intent, kNeckJoints> intent{};  // what the program last asked of each motor
    std::array<bool, kNeckJoints> unsettled{};

    // A motion exchange's outcome: noted, and the motor settled or not by it.
    template <typename R>
    R moved(std::size_t neck_index, R result) {
        motion_outcome(neck_index, result.has_value(), can.last_send_accepted());
        return noted(neck_index, std::move(result));
    }
    void motion_outcome(std::size_t neck_index, bool answered, bool accepted) {
        if (answered) {
            unsettled[neck_index] = false;
        } else if (accepted) {
            unsettled[neck_index] = true;
        }
    }
    // An unsettled motor that answered gets, before anything else, a disable if the program
    // last asked for one, else its holding command (never an enable).
    void settle(std::size_t neck_index);
    void neck_answered(std::size_t neck_index, const candrive::damiao::mit::MotorState& state) {
        health.neck_answered(neck_index, state, intent[neck_index] == Intent::On);
    }
};

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
