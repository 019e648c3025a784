#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <type_traits>
#include <variant>

#include "candrive/damiao/error.hpp"
#include "candrive/damiao/mit.hpp"
#include "candrive/damiao/registers.hpp"
#include "candrive/transport/can_transport.hpp"
#include "candrive/transport/duration.hpp"

namespace candrive::damiao::driver {

using error::Error;

// The values of the CTRL_MODE register.
enum class ControlMode : std::uint8_t { MIT = 1, POS_VEL = 2, VEL = 3, FORCE_POS = 4 };

struct ControlCommand {
    struct Mit {
        mit::MitCommand command;
    };
    struct PosVel {
        float position;
        float velocity;
    };
    struct Vel {
        float velocity;
    };
    struct ForcePos {
        float position;
        float velocity;
        float current;
    };

    using Variant = std::variant<Mit, PosVel, Vel, ForcePos>;

    // Implicit from any of the four commands: `drv.control(bus, ControlCommand::Vel{1.0F})`.
    template <class Command>
    requires std::is_constructible_v<Variant, Command> ControlCommand(Command command)
        : command(std::move(command)) {}  // NOLINT

    Variant command;
};

inline constexpr std::uint16_t kManagementId = 0x7FF;

// One Damiao motor: its ids, reply time-out and MIT ranges. It holds no connection and keeps
// no state; every operation takes the bus, and all frames are classic 8-byte frames with
// standard ids.
struct Damiao {
    transport::Duration timeout;
    mit::MitLimits limits;
    std::uint16_t motor_id;   // the id the motor receives on (ESC_ID)
    std::uint16_t master_id;  // the id its replies carry (MST_ID)

    // Checked against the register table; nothing is sent for an unknown register.
    [[nodiscard]] std::expected<registers::RegisterValue, Error> read_register(
        transport::CanTransport& bus, std::uint8_t reg) const;

    // Checked against the table (known, writable, same type) before anything is sent; does
    // not wait for the motor's answer.
    [[nodiscard]] std::expected<void, Error> write_register(transport::CanTransport& bus,
                                                            std::uint8_t reg,
                                                            registers::RegisterValue value) const;

    [[nodiscard]] std::expected<mit::MotorState, Error> request_feedback(
        transport::CanTransport& bus) const;

    // The same exchange in two halves, for a caller that overlaps several: the request (after
    // the stragglers of an abandoned reply, as request_feedback drops them), then the decoding
    // of the reply, which the caller takes from the bus by its id, reply_id().
    [[nodiscard]] std::expected<void, Error> send_feedback_request(
        transport::CanTransport& bus) const;
    // A control command's half of the same kind: its reply is the same state frame.
    [[nodiscard]] std::expected<void, Error> send_control(transport::CanTransport& bus,
                                                          const ControlCommand& command) const;
    [[nodiscard]] transport::CanId reply_id() const;
    [[nodiscard]] std::expected<mit::MotorState, Error> decode_feedback(
        const transport::CanFrame& reply) const;

    // Sends 8 bytes to `arbitration_id` (low 11 bits) and decodes the state reply.
    [[nodiscard]] std::expected<mit::MotorState, Error> cmd_at_arbitration(
        transport::CanTransport& bus, std::uint16_t arbitration_id,
        const std::array<std::uint8_t, 8>& data) const;

    // Reads CTRL_MODE; if it differs, writes `mode`, waits 100 ms and reads it back once.
    [[nodiscard]] std::expected<void, Error> ensure_control_mode(transport::CanTransport& bus,
                                                                 ControlMode mode) const;

    [[nodiscard]] std::expected<mit::MotorState, Error> enable(transport::CanTransport& bus) const;
    [[nodiscard]] std::expected<mit::MotorState, Error> control(
        transport::CanTransport& bus, const ControlCommand& command) const;
    [[nodiscard]] std::expected<mit::MotorState, Error> disable(transport::CanTransport& bus) const;
};

// The arbitration id and data bytes `command` is sent as by a motor receiving on `motor_id`.
struct EncodedCommand {
    std::uint16_t arbitration_id;
    std::array<std::uint8_t, 8> data;
};
[[nodiscard]] EncodedCommand encode_command(std::uint16_t motor_id, const mit::MitLimits& limits,
                                            const ControlCommand& command) noexcept;

}  // namespace candrive::damiao::driver
