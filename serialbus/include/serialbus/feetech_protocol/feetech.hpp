#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <vector>

#include "serialbus/feetech_protocol/communication_error.hpp"
#include "serialbus/feetech_protocol/packet.hpp"

// The Feetech packet types: instruction packets FF FF id len instr params.. sum, status packets
// FF FF id len error data.. sum, where sum is the bitwise NOT of the 8-bit sum from the id on.
namespace serialbus::feetech_protocol::feetech {

inline constexpr std::uint8_t kBroadcastId = 0xFE;
inline constexpr std::size_t kMaxParams = 253;

enum class Instruction : std::uint8_t {
    Ping = 0x01,
    Read = 0x02,
    Write = 0x03,
    Reboot = 0x08,
    SyncRead = 0x82,
    SyncWrite = 0x83,
};

// Bitwise NOT of the 8-bit sum of the bytes.
[[nodiscard]] std::uint8_t checksum(std::span<const std::uint8_t> bytes);

class InstructionPacketFeetech final : public packet::InstructionPacket {
  public:
    // At most kMaxParams parameter bytes; more would not fit the length byte.
    InstructionPacketFeetech(std::uint8_t id, Instruction instruction,
                             std::vector<std::uint8_t> params = {})
        : params_(std::move(params)), instruction_(instruction), id_(id) {}

    [[nodiscard]] std::uint8_t id() const override { return id_; }
    [[nodiscard]] std::uint8_t instruction() const override {
        return static_cast<std::uint8_t>(instruction_);
    }
    [[nodiscard]] std::span<const std::uint8_t> params() const override { return params_; }
    [[nodiscard]] std::vector<std::uint8_t> to_bytes() const override;

  private:
    std::vector<std::uint8_t> params_;
    Instruction instruction_;
    std::uint8_t id_;
};

class StatusPacketFeetech final : public packet::StatusPacket {
  public:
    // Checks, in order: size, checksum (printing a diagnostic line on mismatch), header, id,
    // length byte. Reads nothing beyond `bytes`.
    [[nodiscard]] static std::expected<StatusPacketFeetech, CommunicationErrorKind> from_bytes(
        std::span<const std::uint8_t> bytes, std::uint8_t expected_id);

    [[nodiscard]] std::uint8_t id() const override { return id_; }
    // One code per set bit among 0, 1, 2, 3 and 5 of the servo's error byte: codes 0 to 4.
    [[nodiscard]] std::span<const std::uint8_t> errors() const override { return errors_; }
    [[nodiscard]] std::span<const std::uint8_t> params() const override { return params_; }

  private:
    StatusPacketFeetech(std::vector<std::uint8_t> errors, std::vector<std::uint8_t> params,
                        std::uint8_t id)
        : errors_(std::move(errors)), params_(std::move(params)), id_(id) {}

    std::vector<std::uint8_t> errors_;
    std::vector<std::uint8_t> params_;
    std::uint8_t id_;
};

// Turns a servo error byte into its list of codes.
[[nodiscard]] std::vector<std::uint8_t> status_error_codes(std::uint8_t error_byte);

// The Feetech packet family.
class PacketFeetech {
  public:
    PacketFeetech() = delete;

    [[nodiscard]] static std::unique_ptr<packet::InstructionPacket> read_packet(
        std::uint8_t id, std::uint8_t address, std::uint8_t length);
    [[nodiscard]] static std::unique_ptr<packet::InstructionPacket> write_packet(
        std::uint8_t id, std::uint8_t address, std::span<const std::uint8_t> data);
    // The ids in answer order.
    [[nodiscard]] static std::unique_ptr<packet::InstructionPacket> sync_read_packet(
        std::span<const std::uint8_t> ids, std::uint8_t address, std::uint8_t length);
    // One data vector per id, all of one length; the shorter list limits the entries.
    [[nodiscard]] static std::unique_ptr<packet::InstructionPacket> sync_write_packet(
        std::span<const std::uint8_t> ids, std::uint8_t address,
        std::span<const std::vector<std::uint8_t>> data);
    [[nodiscard]] static std::expected<std::unique_ptr<packet::StatusPacket>,
                                       CommunicationErrorKind>
    status_packet(std::span<const std::uint8_t> bytes, std::uint8_t expected_id);
};

static_assert(packet::Packet<PacketFeetech>);

}  // namespace serialbus::feetech_protocol::feetech
