#include "serialbus/feetech_protocol/protocol_handler.hpp"

#include <algorithm>
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
// How long after a failed answer its bytes are still looked for: two answer time-outs, because
// an answer can fail early (noise on the line) while the real one is still due and then late.
// Neither the request nor the answer carries a tag, so a late answer that crossed the next
// request would be taken for that request's answer.
constexpr std::chrono::milliseconds kStragglerWindow{20};

// Whether a straggler could be taken for an answer to `packet`: only an answer from the same
// id can, since every other id fails the id check. A broadcast other than a sync read is not
// answered at all.
bool answered_by_a_straggler(const Port& port, const packet::InstructionPacket& packet) {
    if (packet.instruction() == static_cast<std::uint8_t>(Instruction::SyncRead)) {
        const auto params = packet.params();
        return std::any_of(params.begin() + std::min<std::size_t>(2, params.size()), params.end(),
                           [&](std::uint8_t id) { return port.straggler_from(id); });
    }
    return packet.id() != feetech::kBroadcastId && port.straggler_from(packet.id());
}

// Before a request that a straggler could answer, reads and drops whatever arrives until the
// stragglers' window has passed. Costs nothing when no answer has failed since.
Result<void> drop_stragglers(Port& port, const packet::InstructionPacket& packet) {
    using Clock = std::chrono::steady_clock;
    if (!port.any_stragglers()) {
        return {};
    }
    const auto until = port.stragglers_until();
    if (Clock::now() >= until) {
        // Whatever came in time waits in the input buffer, where the clearing finds it.
        port.forget_stragglers();
        return {};
    }
    if (!answered_by_a_straggler(port, packet)) {
        return {};
    }
    std::vector<std::uint8_t> stale;
    while (Clock::now() < until) {
        port.wait_for_input(until);
        auto waiting = port.bytes_to_read();
        if (!waiting) {
            return std::unexpected(waiting.error());
        }
        if (*waiting != 0) {
            stale.resize(*waiting);
            if (auto drained = port.read_exact(stale); !drained) {
                return std::unexpected(drained.error());
            }
        }
    }
    port.forget_stragglers();
    return {};
}

template <typename T>
Result<T> failed_answer(Port& port, std::span<const std::uint8_t> ids, auto error) {
    const auto until = std::chrono::steady_clock::now() + kStragglerWindow;
    for (std::uint8_t id : ids) {
        port.note_straggler(id, until);
    }
    return std::unexpected(std::move(error));
}

}  // namespace

void FeetechProtocolHandler::pause_if_set() const {
    if (pause_) {
        std::this_thread::sleep_for(*pause_);
    }
}

Result<void> FeetechProtocolHandler::send_instruction_packet(
    Port& port, const packet::InstructionPacket& packet) const {
    if (auto dropped = drop_stragglers(port, packet); !dropped) {
        return dropped;
    }
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
    auto status = read_status(port, expected_id);
    if (observer_ != nullptr) {
        if (status) {
            observer_->answered((*status)->id(), (*status)->errors());
        } else {
            observer_->not_answered(expected_id);
        }
    }
    return status;
}

Result<std::unique_ptr<packet::StatusPacket>> FeetechProtocolHandler::read_status(
    Port& port, std::uint8_t expected_id) const {
    using Answer = std::unique_ptr<packet::StatusPacket>;
    const std::array<std::uint8_t, 1> ids{expected_id};
    std::array<std::uint8_t, kStatusHeaderSize> head{};
    if (auto got = port.read_exact(head); !got) {
        return failed_answer<Answer>(port, ids, got.error());
    }
    if (head[0] != 0xFF || head[1] != 0xFF) {
        return failed_answer<Answer>(port, ids, CommunicationErrorKind::parsing_error());
    }
    // The length byte bounds the rest: at most 255 more bytes, whatever the sender claims.
    std::vector<std::uint8_t> bytes(kStatusHeaderSize + head[3]);
    std::copy(head.begin(), head.end(), bytes.begin());
    if (auto got = port.read_exact(std::span(bytes).subspan(kStatusHeaderSize)); !got) {
        return failed_answer<Answer>(port, ids, got.error());
    }
    pause_if_set();
    auto parsed = PacketFeetech::status_packet(bytes, expected_id);
    if (!parsed) {
        return failed_answer<Answer>(port, ids, parsed.error());
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
    // A group read that got no answer at all: every servo asked stayed silent, not only the
    // one whose answer was waited for, and the observer hears of each.
    auto none_answered = [&](std::span<const std::uint8_t> silent) {
        if (observer_ != nullptr) {
            for (std::uint8_t id : silent) {
                observer_->not_answered(id);
            }
        }
    };
    if (auto sent =
            send_instruction_packet(port, *PacketFeetech::sync_read_packet(ids, address, length));
        !sent) {
        none_answered(ids);
        return std::unexpected(sent.error());
    }
    // Each answer: FF FF, id, length, error, the data, checksum.
    port.expect(ids.size() * (6 + std::size_t{length}), ids.size());
    std::vector<std::vector<std::uint8_t>> answers;
    answers.reserve(ids.size());
    for (std::uint8_t id : ids) {
        auto status = read_status_packet(port, id);
        if (!status) {
            // The first answer failed by the line (time-out, end of input), not by a malformed
            // answer, which came from someone: the servos after it, which would have answered
            // within that wait, stayed silent too.
            if (answers.empty() && status.error().io_error() != nullptr) {
                none_answered(ids.subspan(1));
            }
            // The answers after this one are still on their way too.
            return failed_answer<std::vector<std::vector<std::uint8_t>>>(port, ids, status.error());
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
