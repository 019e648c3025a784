#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "serialbus/feetech_protocol/error.hpp"
#include "serialbus/feetech_protocol/packet.hpp"
#include "serialbus/port.hpp"

namespace serialbus::feetech_protocol {

template <typename T>
using Result = std::expected<T, ProtocolError>;

// The two exchange steps shared by the bus operations.
class Protocol {
  public:
    virtual ~Protocol() = default;

    // Clears stale input (at most three passes with 5 ms pauses), then writes the packet. Input
    // that keeps arriving, or a failed write, is TimeoutError.
    [[nodiscard]] virtual Result<void> send_instruction_packet(
        Port& port, const packet::InstructionPacket& packet) const = 0;
    // Reads one status packet: 4 bytes, then as many as the length byte says. No header search.
    [[nodiscard]] virtual Result<std::unique_ptr<packet::StatusPacket>> read_status_packet(
        Port& port, std::uint8_t expected_id) const = 0;
};

// Told of every status packet the handler reads, or fails to read where one was expected: what
// a device says beside its data, seen where it arrives, at no cost on the line.
class AnswerObserver {
  public:
    virtual ~AnswerObserver() = default;
    // A valid status packet from `id`, with its error codes (StatusPacket::errors).
    virtual void answered(std::uint8_t id, std::span<const std::uint8_t> error_codes) = 0;
    // No valid status packet from `id`: nothing came in time, or what came was not one.
    virtual void not_answered(std::uint8_t id) = 0;
};

// Blocking request/answer exchange with Feetech servos. Holds no port and no state but an
// optional observer of the answers; every call receives the open port. No operation retries.
class FeetechProtocolHandler final : public Protocol {
  public:
    // `pause`, when set, is slept after every packet sent and every status packet read.
    explicit FeetechProtocolHandler(std::optional<std::chrono::microseconds> pause = std::nullopt)
        : pause_(pause) {}

    [[nodiscard]] Result<void> send_instruction_packet(
        Port& port, const packet::InstructionPacket& packet) const override;
    [[nodiscard]] Result<std::unique_ptr<packet::StatusPacket>> read_status_packet(
        Port& port, std::uint8_t expected_id) const override;

    // False when no valid answer came back; an error only when the request could not be sent.
    [[nodiscard]] Result<bool> ping(Port& port, std::uint8_t id) const;
    [[nodiscard]] Result<bool> reboot(Port& port, std::uint8_t id) const;
    // The answer's data bytes; neither its error bits nor its length are checked.
    [[nodiscard]] Result<std::vector<std::uint8_t>> read(Port& port, std::uint8_t id,
                                                         std::uint8_t address,
                                                         std::uint8_t length) const;
    [[nodiscard]] Result<void> write(Port& port, std::uint8_t id, std::uint8_t address,
                                     std::span<const std::uint8_t> data) const;
    // One data vector per id in the order of `ids`; the first failure ends it.
    [[nodiscard]] Result<std::vector<std::vector<std::uint8_t>>> sync_read(
        Port& port, std::span<const std::uint8_t> ids, std::uint8_t address,
        std::uint8_t length) const;
    // Broadcast; nothing is read back.
    [[nodiscard]] Result<void> sync_write(Port& port, std::span<const std::uint8_t> ids,
                                          std::uint8_t address,
                                          std::span<const std::vector<std::uint8_t>> data) const;

    [[nodiscard]] std::optional<std::chrono::microseconds> pause() const { return pause_; }

    // The observer (none: null) told of every answer from now on; it must outlive its use.
    void set_observer(AnswerObserver* observer) { observer_ = observer; }

  private:
    [[nodiscard]] Result<std::unique_ptr<packet::StatusPacket>> read_status(
        Port& port, std::uint8_t expected_id) const;
    [[nodiscard]] Result<bool> answered(Port& port, std::uint8_t id,
                                        std::uint8_t instruction) const;
    void pause_if_set() const;

    std::optional<std::chrono::microseconds> pause_;
    AnswerObserver* observer_ = nullptr;
};

}  // namespace serialbus::feetech_protocol
