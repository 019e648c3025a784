#include "control_loop/calls.h"

#include "common/try.h"
#include "control_loop/motor_error.h"
#include "controller/controller.h"

#include <optional>

namespace wenlo::control_loop {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kSlice = std::chrono::milliseconds(100);
constexpr auto kReadReplyTimeout = std::chrono::seconds(1);
constexpr const char* kOnWorkerThread =
    "re-entrant call: this thread is the worker of this WenloPyControlLoop (for example, a "
    "logging handler of one of its records called it); the call would wait for itself forever";

CallFailure failed(std::string text) {
    return {CallFailure::Kind::Failed, std::move(text)};
}

CallFailure refused(std::string text) {
    return {CallFailure::Kind::Refused, std::move(text)};
}

const CallFailure kStopped{CallFailure::Kind::Stopped, {}};

// A NaN goal is a bug upstream, never a target; once queued it could not be reported.
std::optional<std::string> nan_in(const MotorCommand& command) {
    return std::visit(
        [](const auto& c) -> std::optional<std::string> {
            using C = std::decay_t<decltype(c)>;
            if constexpr (requires { C::neck_index; }) {
                return controller::nan_refusal(C::neck_index, c.position);
            } else if constexpr (std::is_same_v<C, command::SetNeckPosition>) {
                return controller::nan_refusal(controller::kNeckGoals, c.position);
            } else if constexpr (requires { c.positions; }) {
                return controller::nan_refusal(C::group, servo_values(c.positions));
            } else if constexpr (requires { C::group; }) {
                return controller::nan_refusal(C::group, c.position);
            } else {
                return std::nullopt;
            }
        },
        command);
}

// Whether the command could move a motor: a goal, or switching torque or the neck on.
bool moves(const MotorCommand& command) {
    return std::visit(
        [](const auto& c) {
            using C = std::decay_t<decltype(c)>;
            if constexpr (requires { C::torque; }) {
                return C::torque;
            } else if constexpr (requires { c.enable; }) {
                return c.enable;
            } else {
                return requires { c.position; } || requires { c.positions; };
            }
        },
        command);
}

const CallFailure kLatched{CallFailure::Kind::Failed, std::string(controller::kEstopLatched)};

// Queues the command, waiting for room in slices; a full queue that only this thread's own
// worker could empty is refused rather than waited for. A move while the emergency stop is
// latched is refused too, also one that got in just before the stop: the stop drops it, or the
// worker refuses it.
CallResult<void> queue(ControlLoop& loop, MotorCommand& command, const CallFailure& closed,
                       const Waiter& wait) {
    const bool moving = moves(command);
    const auto latched = [&] { return moving && loop.is_estopped(); };
    if (latched()) {
        return std::unexpected(kLatched);
    }
    SendStatus status = loop.send_until(command, Clock::now());  // room at once: no hand-off
    for (;;) {
        if (latched()) {
            return std::unexpected(kLatched);
        }
        if (status == SendStatus::Sent) {
            return {};
        }
        if (status == SendStatus::Closed) {
            return std::unexpected(closed);
        }
        if (loop.on_worker_thread()) {
            return std::unexpected(failed(kOnWorkerThread));
        }
        if (wait.stop()) {
            return std::unexpected(kStopped);
        }
        wait.slice([&] { status = loop.send_until(command, Clock::now() + kSlice); });
    }
}

// Waits for the worker's answer until the deadline (none: as long as it takes); one that does
// not come gives `unanswered`, or the emergency stop's refusal when a stop dropped the request.
template <typename T>
CallResult<T> await(ControlLoop& loop, ReplyReceiver<T>& receiver,
                    std::optional<Clock::time_point> deadline, const CallFailure& unanswered,
                    const Waiter& wait, bool droppable = true) {
    for (;;) {
        const auto slice =
            std::min(deadline.value_or(Clock::time_point::max()), Clock::now() + kSlice);
        std::expected<T, ReplyError> answer;
        wait.slice([&] { answer = receiver.wait_until(slice); });
        if (answer) {
            return std::move(*answer);
        }
        if (answer.error() == ReplyError::Closed || (deadline && Clock::now() >= *deadline)) {
            return std::unexpected(droppable && loop.is_estopped() ? kLatched : unanswered);
        }
        if (wait.stop()) {
            return std::unexpected(kStopped);
        }
    }
}

// Sends the request that make(reply) builds and waits for its answer; a closed queue gives
// `closed`.
template <typename Make>
CallResult<Bytes> ask(ControlLoop& loop, Make make, std::optional<Clock::time_point> deadline,
                      const CallFailure& closed, const CallFailure& unanswered,
                      const Waiter& wait) {
    if (loop.on_worker_thread()) {
        return std::unexpected(failed(kOnWorkerThread));
    }
    auto [sender, receiver] = reply_channel<Bytes>();
    MotorCommand command = make(std::move(sender));
    WENLO_TRY(queue(loop, command, closed, wait));
    return await(loop, receiver, deadline, unanswered, wait);
}

// A queue that is closed, an answer that does not come, or one of the wrong length all read as a
// communication error after the method's prefix.
CallFailure register_failure(const char* prefix) {
    static const std::string communication = MotorError::communication().message();
    return failed(prefix + communication);
}

CallResult<Bytes> read_registers(ControlLoop& loop, const char* prefix, std::uint8_t id,
                                 std::uint8_t address, std::uint8_t length, const Waiter& wait) {
    const CallFailure failure = register_failure(prefix);
    return ask(
        loop,
        [&](ReplySender<Bytes> reply) {
            return command::ReadRawBytes{id, address, length, std::move(reply)};
        },
        Clock::now() + kReadReplyTimeout, failure, failure, wait);
}

CallResult<void> write_registers(ControlLoop& loop, const char* prefix, std::uint8_t id,
                                 std::uint8_t address, Bytes data, const Waiter& wait) {
    MotorCommand write = command::WriteRawBytes{id, address, std::move(data)};
    return queue(loop, write, register_failure(prefix), wait);
}

}  // namespace

CallResult<void> send(ControlLoop& loop, MotorCommand command, const Waiter& wait) {
    if (auto nan = nan_in(command)) {
        return std::unexpected(refused(std::move(*nan)));
    }
    return queue(loop, command, failed(kChannelClosed), wait);
}

CallResult<Bytes> read_raw_bytes(ControlLoop& loop, std::uint8_t id, std::uint8_t address,
                                 std::uint8_t length, const Waiter& wait) {
    return read_registers(loop, "Failed to read raw bytes: ", id, address, length, wait);
}

CallResult<void> write_raw_bytes(ControlLoop& loop, std::uint8_t id, std::uint8_t address,
                                 Bytes data, const Waiter& wait) {
    // A longer write would wrap the packet's length byte; the worker would refuse it, but a
    // queued command can no longer tell the caller.
    if (data.size() > controller::MotorController::kMaxWriteBytes) {
        return std::unexpected(refused(
            "async_write_raw_bytes: " + std::to_string(data.size()) +
            " data bytes do not fit one packet (at most " +
            std::to_string(controller::MotorController::kMaxWriteBytes) + ")"));
    }
    return write_registers(loop, "Failed to write raw bytes: ", id, address, std::move(data),
                           wait);
}

CallResult<controller::PidGains> read_pid_gains(ControlLoop& loop, std::uint8_t id,
                                                const Waiter& wait) {
    const char* prefix = "Failed to read pid gains: ";
    WENLO_TRY_ASSIGN(const Bytes registers,
                     read_registers(loop, prefix, id, controller::kGainRegister,
                                    controller::kGainRegisterCount, wait));
    if (registers.size() != controller::kGainRegisterCount) {
        return std::unexpected(register_failure(prefix));
    }
    return controller::gains_from_registers(
        std::span<const std::uint8_t, controller::kGainRegisterCount>(registers.data(),
                                                                      registers.size()));
}

CallResult<void> write_pid_gains(ControlLoop& loop, std::uint8_t id, std::uint16_t p,
                                 std::uint16_t i, std::uint16_t d, const Waiter& wait) {
    const auto low = [](std::uint16_t v) { return static_cast<std::uint8_t>(v & 0xFF); };
    const auto registers = controller::registers_from_gains({low(p), low(i), low(d)});
    return write_registers(loop, "Failed to write pid gains: ", id, controller::kGainRegister,
                           Bytes(registers.begin(), registers.end()), wait);
}

CallResult<void> estop(ControlLoop& loop, const Waiter& wait) {
    loop.set_estop_latch(true);  // at once: from here on, no caller queues a move
    if (loop.on_worker_thread()) {
        return std::unexpected(failed(kOnWorkerThread));
    }
    auto [sender, receiver] = reply_channel<std::optional<std::string>>();
    MotorCommand command = command::Estop{std::move(sender)};
    if (loop.preempt(command) == SendStatus::Closed) {
        return std::unexpected(failed(kChannelClosed));
    }
    WENLO_TRY_ASSIGN(const std::optional<std::string> failure,
                     await(loop, receiver, std::nullopt, failed(kChannelClosed), wait, false));
    if (failure) {
        return std::unexpected(failed(*failure));
    }
    return {};
}

CallResult<Bytes> write_raw_packet(ControlLoop& loop, Bytes data, const Waiter& wait) {
    return ask(
        loop,
        [&](ReplySender<Bytes> reply) {
            return command::WriteRawPacket{std::move(data), std::move(reply)};
        },
        std::nullopt, failed(kChannelClosed),
               failed("Failed to receive raw packet response: receiving on a closed channel"),
               wait);
}

}  // namespace wenlo::control_loop
