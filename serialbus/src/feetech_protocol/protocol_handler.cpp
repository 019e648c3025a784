#include "serialbus/feetech_protocol/protocol_handler.hpp"

#include <array>
#include <thread>

#include "serialbus/feetech_protocol/feetech.hpp"

namespace serialbus::feetech_protocol {

namespace {

using feetech::Instruction;
using feetech::InstructionPacketFeetech;
using feetech::PacketFeetech;

constexpr int kClearingPasses = 3;
constexpr std::chrono::milliseconds kClearingPause{5};
constexpr std::size_t kStatusHeaderSize = 4;

}  // namespace

void FeetechProtocolHandler::pause_if_set() const {
    if (pause_) {
        std::this_thread::sleep_for(*pause_);
    }
}

Result<void> FeetechProtocolHandler::send_instruction_packet(
    Port& port, const packet::InstructionPacket& packet) const {
    // Answers that came too late for an earlier request must not be taken for this one's.
    bool cleared = false;
    for (int pass = 0; pass < kClearingPasses && !cleared; ++pass) {
        auto waiting = port.bytes_to_read();
        if (!waiting) {
            return std::unexpected(waiting.error());
        }
        if (*waiting == 0) {
            cleared = true;
            break;
        }
        waiting = port.bytes_to_read();
        if (!waiting) {
            return std::unexpected(waiting.error());
        }
        if (*waiting != 0) {
            std::vector<std::uint8_t> stale(*waiting);
            if (auto drained = port.read_exact(stale); !drained) {
                return std::unexpected(drained.error());
            }
        }
        std::this_thread::sleep_for(kClearingPause);
    }
    if (!cleared) {
        auto waiting = port.bytes_to_read();
        if (!waiting) {
            return std::unexpected(waiting.error());
        }
        if (*waiting != 0) {
            return std::unexpected(CommunicationErrorKind::timeout_error());
        }
    }

    const std::vector<std::uint8_t> bytes = packet.to_bytes();
    if (!port.write_all(bytes)) {
        return std::unexpected(CommunicationErrorKind::timeout_error());
    }
    pause_if_set();
    return {};
}

Result<std::unique_ptr<packet::StatusPacket>> FeetechProtocolHandler::read_status_packet(
    Port& port, std::uint8_t expected_id) const {
    std::array<std::uint8_t, kStatusHeaderSize> head{};
    if (auto got = port.read_exact(head); !got) {
        return std::unexpected(got.error());
    }
    if (head[0] != 0xFF || head[1] != 0xFF) {
        return std::unexpected(CommunicationErrorKind::parsing_error());
    }
    // The length byte bounds the rest: at most 255 more bytes, whatever the sender claims.
    std::vector<std::uint8_t> bytes(kStatusHeaderSize + head[3]);
    std::copy(head.begin(), head.end(), bytes.begin());
    if (auto got = port.read_exact(std::span(bytes).subspan(kStatusHeaderSize)); !got) {
        return std::unexpected(got.error());
    }
    pause_if_set();
    auto parsed = PacketFeetech::status_packet(bytes, expected_id);
    if (!parsed) {
        return std::unexpected(parsed.error());
    }
    return std::move(*parsed);
}

Result<bool> FeetechProtocolHandler::answered(Port& port, std::uint8_t id,
                                              std::uint8_t instruction) const {
    const InstructionPacketFeetech request(id, static_cast<Instruction>(instruction));
    if (auto sent = send_instruction_packet(port, request); !sent) {
        return std::unexpected(sent.error());
    }
    return read_status_packet(port, id).has_value();
}

Result<bool> FeetechProtocolHandler::ping(Port& port, std::uint8_t id) const {
    return answered(port, id, static_cast<std::uint8_t>(Instruction::Ping));
}

Result<bool> FeetechProtocolHandler::reboot(Port& port, std::uint8_t id) const {
    return answered(port, id, static_cast<std::uint8_t>(Instruction::Reboot));
}

Result<std::vector<std::uint8_t>> FeetechProtocolHandler::read(Port& port, std::uint8_t id,
                                                               std::uint8_t address,
                                                               std::uint8_t length) const {
    if (auto sent = send_instruction_packet(port, *PacketFeetech::read_packet(id, address, length));
        !sent) {
        return std::unexpected(sent.error());
    }
    auto status = read_status_packet(port, id);
    if (!status) {
        return std::unexpected(status.error());
    }
    const auto params = (*status)->params();
    return std::vector<std::uint8_t>(params.begin(), params.end());
}

Result<void> FeetechProtocolHandler::write(Port& port, std::uint8_t id, std::uint8_t address,
                                           std::span<const std::uint8_t> data) const {
    if (auto sent = send_instruction_packet(port, *PacketFeetech::write_packet(id, address, data));
        !sent) {
        return std::unexpected(sent.error());
    }
    if (auto status = read_status_packet(port, id); !status) {
        return std::unexpected(status.error());
    }
    return {};
}

Result<std::vector<std::vector<std::uint8_t>>> FeetechProtocolHandler::sync_read(
    Port& port, std::span<const std::uint8_t> ids, std::uint8_t address,
    std::uint8_t length) const {
    if (auto sent =
            send_instruction_packet(port, *PacketFeetech::sync_read_packet(ids, address, length));
        !sent) {
        return std::unexpected(sent.error());
    }
    // Each answer: FF FF, id, length, error, the data, checksum.
    port.expect(ids.size() * (6 + std::size_t{length}), ids.size());
    std::vector<std::vector<std::uint8_t>> answers;
    answers.reserve(ids.size());
    for (std::uint8_t id : ids) {
        auto status = read_status_packet(port, id);
        if (!status) {
            return std::unexpected(status.error());
        }
        const auto params = (*status)->params();
        answers.emplace_back(params.begin(), params.end());
    }
    return answers;
}

Result<void> FeetechProtocolHandler::sync_write(
    Port& port, std::span<const std::uint8_t> ids, std::uint8_t address,
    std::span<const std::vector<std::uint8_t>> data) const {
    return send_instruction_packet(port, *PacketFeetech::sync_write_packet(ids, address, data));
}

}  // namespace serialbus::feetech_protocol
