// Built with -ffp-contract=off, like the MIT codec, for the ForcePos scaling.

#include "candrive/damiao/driver.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <thread>

namespace candrive::damiao::driver {

namespace {

using transport::CanFrame;
using transport::CanId;
using transport::CanTransport;

constexpr std::uint8_t kReadCode = 0x33;
constexpr std::uint8_t kWriteCode = 0x55;
constexpr std::uint8_t kFeedbackCode = 0xCC;
constexpr std::array<std::uint8_t, 8> kEnableBytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC};
constexpr std::array<std::uint8_t, 8> kDisableBytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFD};
constexpr auto kModeSettleTime = std::chrono::milliseconds(100);

CanId standard_id(std::uint32_t id) {
    return CanId::Standard(static_cast<std::uint16_t>(id & 0x7FF));
}

CanFrame classic_frame(std::uint32_t id, const std::array<std::uint8_t, 8>& data) {
    return CanFrame{
        .data = {data.begin(), data.end()}, .id = standard_id(id), .fd = false, .brs = false};
}

Error transport_error(transport::CanError e) {
    return Error{Error::Transport{std::move(e)}};
}

void put_le32(std::array<std::uint8_t, 8>& out, std::size_t at, std::uint32_t word) {
    for (std::size_t i = 0; i < 4; ++i) {
        out[at + i] = static_cast<std::uint8_t>(word >> (8 * i));
    }
}

void put_le16(std::array<std::uint8_t, 8>& out, std::size_t at, std::uint32_t word) {
    out[at] = static_cast<std::uint8_t>(word);
    out[at + 1] = static_cast<std::uint8_t>(word >> 8);
}

// Clamp to [0, max], scale, truncate, and cap at 10000 (the ForcePos fields).
std::uint32_t force_pos_field(float value, float max, float scale) {
    const float scaled = mit::clamp(value, 0.0F, max) * scale;
    return std::min<std::uint32_t>(mit::to_unsigned(scaled), 10000);
}

std::array<std::uint8_t, 8> management_bytes(std::uint16_t motor_id, std::uint8_t code,
                                             std::uint8_t reg) {
    return {static_cast<std::uint8_t>(motor_id),
            static_cast<std::uint8_t>(motor_id >> 8),
            code,
            reg,
            0,
            0,
            0,
            0};
}

std::expected<mit::MotorState, Error> decode_reply(const mit::MitLimits& limits,
                                                   const CanFrame& reply) {
    auto state = mit::decode_state(limits, reply.data);
    if (!state) {
        return std::unexpected(Error{Error::ReplyTooShort{state.error().length}});
    }
    return *state;
}

}  // namespace

EncodedCommand encode_command(std::uint16_t motor_id, const mit::MitLimits& limits,
                              const ControlCommand& command) noexcept {
    struct Encoder {
        std::uint16_t motor_id;
        const mit::MitLimits& limits;

        std::uint16_t at(std::uint32_t offset) const {
            return static_cast<std::uint16_t>((std::uint32_t{motor_id} + offset) & 0x7FF);
        }
        EncodedCommand operator()(const ControlCommand::Mit& c) const {
            return {at(0x000), mit::encode(limits, c.command)};
        }
        EncodedCommand operator()(const ControlCommand::PosVel& c) const {
            EncodedCommand out{at(0x100), {}};
            put_le32(out.data, 0, std::bit_cast<std::uint32_t>(c.position));
            put_le32(out.data, 4, std::bit_cast<std::uint32_t>(c.velocity));
            return out;
        }
        EncodedCommand operator()(const ControlCommand::Vel& c) const {
            EncodedCommand out{at(0x200), {}};
            put_le32(out.data, 0, std::bit_cast<std::uint32_t>(c.velocity));
            return out;
        }
        EncodedCommand operator()(const ControlCommand::ForcePos& c) const {
            EncodedCommand out{at(0x300), {}};
            put_le32(out.data, 0, std::bit_cast<std::uint32_t>(c.position));
            put_le16(out.data, 4, force_pos_field(c.velocity, 100.0F, 100.0F));
            put_le16(out.data, 6, force_pos_field(c.current, 1.0F, 10000.0F));
            return out;
        }
    };
    return std::visit(Encoder{motor_id, limits}, command.command);
}

std::expected<registers::RegisterValue, Error> Damiao::read_register(CanTransport& bus,
                                                                     std::uint8_t reg) const {
    using Clock = std::chrono::steady_clock;
    const auto info = registers::lookup(reg);
    if (!info) {
        return std::unexpected(Error{Error::UnknownRegister{reg}});
    }
    if (auto dropped = bus.drop_stragglers(std::nullopt); !dropped) {
        return std::unexpected(transport_error(dropped.error()));
    }
    if (auto sent =
            bus.send(classic_frame(kManagementId, management_bytes(motor_id, kReadCode, reg)));
        !sent) {
        return std::unexpected(transport_error(sent.error()));
    }
    const auto deadline = transport::deadline_after(timeout);
    for (auto now = Clock::now(); now < deadline; now = Clock::now()) {
        auto frame = bus.recv(transport::Duration::from(deadline - now));
        if (!frame) {
            if (frame.error().leaves_reply_pending()) {
                bus.reply_abandoned(std::nullopt, timeout);
            }
            return std::unexpected(transport_error(frame.error()));
        }
        // Any motor's answer for this register counts: the reply carries no usable sender.
        const auto& d = frame->data;
        if (d.size() != 8 || d[2] != kReadCode || d[3] != reg) {
            continue;
        }
        const std::uint32_t word = std::uint32_t{d[4]} | (std::uint32_t{d[5]} << 8) |
                                   (std::uint32_t{d[6]} << 16) | (std::uint32_t{d[7]} << 24);
        return registers::RegisterValue::from_bits(info->value_type, word);
    }
    bus.reply_abandoned(std::nullopt, timeout);
    return std::unexpected(transport_error(transport::CanError::timeout()));
}

std::expected<void, Error> Damiao::write_register(CanTransport& bus, std::uint8_t reg,
                                                  registers::RegisterValue value) const {
    const auto info = registers::lookup(reg);
    if (!info) {
        return std::unexpected(Error{Error::UnknownRegister{reg}});
    }
    if (!info->writable) {
        return std::unexpected(Error{Error::ReadOnly{reg}});
    }
    if (value.type() != info->value_type) {
        return std::unexpected(Error{Error::TypeMismatch{info->value_type, value.type(), reg}});
    }
    auto data = management_bytes(motor_id, kWriteCode, reg);
    put_le32(data, 4, value.bits());
    if (auto sent = bus.send(classic_frame(kManagementId, data)); !sent) {
        return std::unexpected(transport_error(sent.error()));
    }
    return {};
}

std::expected<mit::MotorState, Error> Damiao::request_feedback(CanTransport& bus) const {
    auto reply =
        bus.request(classic_frame(kManagementId, management_bytes(motor_id, kFeedbackCode, 0)),
                    standard_id(master_id), timeout);
    if (!reply) {
        return std::unexpected(transport_error(reply.error()));
    }
    return decode_reply(limits, *reply);
}

std::expected<void, Error> Damiao::send_feedback_request(CanTransport& bus) const {
    if (auto dropped = bus.drop_stragglers(reply_id()); !dropped) {
        return std::unexpected(transport_error(dropped.error()));
    }
    if (auto sent =
            bus.send(classic_frame(kManagementId, management_bytes(motor_id, kFeedbackCode, 0)));
        !sent) {
        return std::unexpected(transport_error(sent.error()));
    }
    return {};
}

std::expected<void, Error> Damiao::send_control(CanTransport& bus,
                                                const ControlCommand& command) const {
    if (auto dropped = bus.drop_stragglers(reply_id()); !dropped) {
        return std::unexpected(transport_error(dropped.error()));
    }
    const auto encoded = encode_command(motor_id, limits, command);
    if (auto sent = bus.send(classic_frame(encoded.arbitration_id, encoded.data)); !sent) {
        return std::unexpected(transport_error(sent.error()));
    }
    return {};
}

CanId Damiao::reply_id() const { return standard_id(master_id); }

std::expected<mit::MotorState, Error> Damiao::decode_feedback(const CanFrame& reply) const {
    return decode_reply(limits, reply);
}

std::expected<mit::MotorState, Error> Damiao::cmd_at_arbitration(
    CanTransport& bus, std::uint16_t arbitration_id,
    const std::array<std::uint8_t, 8>& data) const {
    auto reply = bus.request(classic_frame(arbitration_id, data), standard_id(master_id), timeout);
    if (!reply) {
        return std::unexpected(transport_error(reply.error()));
    }
    return decode_reply(limits, *reply);
}

std::expected<void, Error> Damiao::ensure_control_mode(CanTransport& bus, ControlMode mode) const {
    const auto wanted = static_cast<std::uint32_t>(mode);
    auto current = read_register(bus, registers::CTRL_MODE);
    if (!current) {
        return std::unexpected(current.error());
    }
    if (current->as_uint32() == wanted) {
        return {};
    }
    if (auto written =
            write_register(bus, registers::CTRL_MODE, registers::RegisterValue::Uint32(wanted));
        !written) {
        return written;
    }
    std::this_thread::sleep_for(kModeSettleTime);
    auto after = read_register(bus, registers::CTRL_MODE);
    if (!after) {
        return std::unexpected(after.error());
    }
    if (after->as_uint32() != wanted) {
        return std::unexpected(Error{Error::ControlModeMismatch{
            static_cast<std::uint8_t>(wanted), static_cast<std::uint8_t>(after->as_uint32())}});
    }
    return {};
}

std::expected<mit::MotorState, Error> Damiao::enable(CanTransport& bus) const {
    return cmd_at_arbitration(bus, motor_id, kEnableBytes);
}

std::expected<mit::MotorState, Error> Damiao::control(CanTransport& bus,
                                                      const ControlCommand& command) const {
    const auto encoded = encode_command(motor_id, limits, command);
    return cmd_at_arbitration(bus, encoded.arbitration_id, encoded.data);
}

std::expected<mit::MotorState, Error> Damiao::disable(CanTransport& bus) const {
    return cmd_at_arbitration(bus, motor_id, kDisableBytes);
}

}  // namespace candrive::damiao::driver
