#include "serialbus/feetech_protocol/feetech.hpp"

#include <algorithm>
#include <cstdio>
#include <string>

namespace serialbus::feetech_protocol::feetech {

namespace {

constexpr std::size_t kMinStatusSize = 6;

std::string decimal_list(std::span<const std::uint8_t> bytes) {
    std::string text = "[";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0) {
            text += ", ";
        }
        text += std::to_string(bytes[i]);
    }
    text += ']';
    return text;
}

}  // namespace

std::uint8_t checksum(std::span<const std::uint8_t> bytes) {
    std::uint8_t sum = 0;
    for (std::uint8_t byte : bytes) {
        sum = static_cast<std::uint8_t>(sum + byte);
    }
    return static_cast<std::uint8_t>(~sum);
}

std::vector<std::uint8_t> InstructionPacketFeetech::to_bytes() const {
    // Sized up front and filled by index: g++ 12 misreads the bounds of small inserts at -O2.
    std::vector<std::uint8_t> bytes(params_.size() + 6);
    bytes[0] = 0xFF;
    bytes[1] = 0xFF;
    bytes[2] = id_;
    bytes[3] = static_cast<std::uint8_t>(params_.size() + 2);
    bytes[4] = static_cast<std::uint8_t>(instruction_);
    std::copy(params_.begin(), params_.end(), bytes.begin() + 5);
    bytes.back() = checksum(std::span(bytes).subspan(2, bytes.size() - 3));
    return bytes;
}

std::vector<std::uint8_t> status_error_codes(std::uint8_t error_byte) {
    // Bits 4, 6 and 7 are not reported; bit 5 is code 4.
    static constexpr std::pair<unsigned, std::uint8_t> kReported[] = {
        {0, 0}, {1, 1}, {2, 2}, {3, 3}, {5, 4}};
    std::vector<std::uint8_t> codes;
    for (auto [bit, code] : kReported) {
        if ((error_byte >> bit) & 1U) {
            codes.push_back(code);
        }
    }
    return codes;
}

std::expected<StatusPacketFeetech, CommunicationErrorKind> StatusPacketFeetech::from_bytes(
    std::span<const std::uint8_t> bytes, std::uint8_t expected_id) {
    if (bytes.size() < kMinStatusSize) {
        return std::unexpected(CommunicationErrorKind::parsing_error());
    }
    const std::uint8_t read_crc = bytes.back();
    const std::uint8_t computed_crc = checksum(bytes.subspan(2, bytes.size() - 3));
    if (read_crc != computed_crc) {
        const std::string line = "read crc: " + std::to_string(read_crc) +
                                 ", computed crc: " + std::to_string(computed_crc) +
                                 " data: " + decimal_list(bytes) + "\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
        return std::unexpected(CommunicationErrorKind::checksum_error());
    }
    if (bytes[0] != 0xFF || bytes[1] != 0xFF) {
        return std::unexpected(CommunicationErrorKind::parsing_error());
    }
    if (bytes[2] != expected_id) {
        return std::unexpected(CommunicationErrorKind::parsing_error());
    }
    std::vector<std::uint8_t> errors = status_error_codes(bytes[4]);
    const std::size_t length = bytes[3];
    if (length != bytes.size() - 4) {
        return std::unexpected(CommunicationErrorKind::parsing_error());
    }
    // length >= 2 here, since the packet has at least six bytes.
    const auto data = bytes.subspan(5, length - 2);
    return StatusPacketFeetech(std::move(errors), {data.begin(), data.end()}, expected_id);
}

std::unique_ptr<packet::InstructionPacket> PacketFeetech::read_packet(std::uint8_t id,
                                                                      std::uint8_t address,
                                                                      std::uint8_t length) {
    return std::make_unique<InstructionPacketFeetech>(id, Instruction::Read,
                                                      std::vector<std::uint8_t>{address, length});
}

std::unique_ptr<packet::InstructionPacket> PacketFeetech::write_packet(
    std::uint8_t id, std::uint8_t address, std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> params{address};
    params.insert(params.end(), data.begin(), data.end());
    return std::make_unique<InstructionPacketFeetech>(id, Instruction::Write, std::move(params));
}

std::unique_ptr<packet::InstructionPacket> PacketFeetech::sync_read_packet(
    std::span<const std::uint8_t> ids, std::uint8_t address, std::uint8_t length) {
    std::vector<std::uint8_t> params{address, length};
    params.insert(params.end(), ids.begin(), ids.end());
    return std::make_unique<InstructionPacketFeetech>(kBroadcastId, Instruction::SyncRead,
                                                      std::move(params));
}

std::unique_ptr<packet::InstructionPacket> PacketFeetech::sync_write_packet(
    std::span<const std::uint8_t> ids, std::uint8_t address,
    std::span<const std::vector<std::uint8_t>> data) {
    std::vector<std::uint8_t> entries;
    const std::size_t pairs = std::min(ids.size(), data.size());
    for (std::size_t i = 0; i < pairs; ++i) {
        entries.push_back(ids[i]);
        entries.insert(entries.end(), data[i].begin(), data[i].end());
    }
    // Without ids there is no per-servo length to speak of; 0 keeps the packet well-formed.
    const std::size_t per_servo = ids.empty() ? 0 : entries.size() / ids.size();
    const auto data_length = static_cast<std::uint8_t>(per_servo == 0 ? 0 : per_servo - 1);
    std::vector<std::uint8_t> params{address, data_length};
    params.insert(params.end(), entries.begin(), entries.end());
    return std::make_unique<InstructionPacketFeetech>(kBroadcastId, Instruction::SyncWrite,
                                                      std::move(params));
}

std::expected<std::unique_ptr<packet::StatusPacket>, CommunicationErrorKind>
PacketFeetech::status_packet(std::span<const std::uint8_t> bytes, std::uint8_t expected_id) {
    auto parsed = StatusPacketFeetech::from_bytes(bytes, expected_id);
    if (!parsed) {
        return std::unexpected(parsed.error());
    }
    return std::make_unique<StatusPacketFeetech>(std::move(*parsed));
}

}  // namespace serialbus::feetech_protocol::feetech
