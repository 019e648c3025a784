#pragma once

#include <concepts>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <vector>

#include "serialbus/feetech_protocol/communication_error.hpp"

// The packet interfaces through which the exchange layer works.
namespace serialbus::feetech_protocol::packet {

class InstructionPacket {
  public:
    virtual ~InstructionPacket() = default;
    [[nodiscard]] virtual std::uint8_t id() const = 0;
    [[nodiscard]] virtual std::uint8_t instruction() const = 0;
    [[nodiscard]] virtual std::span<const std::uint8_t> params() const = 0;
    [[nodiscard]] virtual std::vector<std::uint8_t> to_bytes() const = 0;
};

class StatusPacket {
  public:
    virtual ~StatusPacket() = default;
    [[nodiscard]] virtual std::uint8_t id() const = 0;
    [[nodiscard]] virtual std::span<const std::uint8_t> errors() const = 0;
    [[nodiscard]] virtual std::span<const std::uint8_t> params() const = 0;
};

// A packet family: stateless builders of instruction packets and the status packet constructor.
template <typename Family>
concept Packet = requires(std::uint8_t id, std::span<const std::uint8_t> bytes,
                          std::span<const std::vector<std::uint8_t>> data) {
    { Family::read_packet(id, id, id) } -> std::same_as<std::unique_ptr<InstructionPacket>>;
    { Family::write_packet(id, id, bytes) } -> std::same_as<std::unique_ptr<InstructionPacket>>;
    { Family::sync_read_packet(bytes, id, id) } -> std::same_as<std::unique_ptr<InstructionPacket>>;
    {
        Family::sync_write_packet(bytes, id, data)
        } -> std::same_as<std::unique_ptr<InstructionPacket>>;
    {
        Family::status_packet(bytes, id)
        } -> std::same_as<std::expected<std::unique_ptr<StatusPacket>, CommunicationErrorKind>>;
};

}  // namespace serialbus::feetech_protocol::packet
