#pragma once

#include <bitset>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <thread>

#include "serialbus/io_error.hpp"
#include "serialbus/serial_port_error.hpp"

namespace serialbus {

// What the bus exchange needs of a serial line. The real port implements it; tests substitute
// ports that fail on purpose.
class Port {
  public:
    virtual ~Port() = default;

    // Number of bytes waiting in the input buffer, without waiting.
    [[nodiscard]] virtual std::expected<std::uint32_t, SerialPortError> bytes_to_read() = 0;
    // Fills the whole buffer or fails; an empty buffer succeeds at once.
    [[nodiscard]] virtual std::expected<void, IoError> read_exact(
        std::span<std::uint8_t> buffer) = 0;
    [[nodiscard]] virtual std::expected<void, IoError> write_all(
        std::span<const std::uint8_t> bytes) = 0;
    // A hint: `answers` answers of `bytes` bytes in all are on their way, so the port may wait
    // for the rest of a burst once instead of once per answer. Changes nothing else.
    virtual void expect(std::size_t bytes, std::size_t answers) {
        static_cast<void>(bytes);
        static_cast<void>(answers);
    }
    // Returns when input is waiting or at `deadline`, whichever comes first. A port that cannot
    // wait for input sleeps until the deadline.
    virtual void wait_for_input(std::chrono::steady_clock::time_point deadline) {
        std::this_thread::sleep_until(deadline);
    }

    // Answers given up on may still be on their way: the ids they come from, and until when.
    // The next request that one of those ids answers first drops whatever arrives until then.
    void note_straggler(std::uint8_t id, std::chrono::steady_clock::time_point until) {
        straggler_ids_.set(id);
        stragglers_until_ = until;
    }
    [[nodiscard]] bool straggler_from(std::uint8_t id) const { return straggler_ids_.test(id); }
    [[nodiscard]] std::chrono::steady_clock::time_point stragglers_until() const {
        return stragglers_until_;
    }
    [[nodiscard]] bool any_stragglers() const { return straggler_ids_.any(); }
    void forget_stragglers() { straggler_ids_.reset(); }

  protected:
    Port() = default;
    Port(const Port&) = default;
    Port& operator=(const Port&) = default;
    Port(Port&&) = default;
    Port& operator=(Port&&) = default;

  private:
    std::bitset<256> straggler_ids_;
    std::chrono::steady_clock::time_point stragglers_until_{};
};

}  // namespace serialbus
