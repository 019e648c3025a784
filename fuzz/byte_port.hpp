// A serial port that delivers the fuzzer's bytes as the answer to the request written to it,
// then times out, as a silent line does. Before the request nothing is waiting.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_check.hpp"
#include "serialbus/port.hpp"

namespace wenlo_fuzz {

class BytePort final : public serialbus::Port {
  public:
    explicit BytePort(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::expected<std::uint32_t, serialbus::SerialPortError> bytes_to_read() override {
        return sent_ ? static_cast<std::uint32_t>(bytes_.size() - at_) : 0u;
    }
    std::expected<void, serialbus::IoError> read_exact(std::span<std::uint8_t> buffer) override {
        const std::size_t n = std::min(buffer.size(), bytes_.size() - at_);
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(at_), n, buffer.begin());
        at_ += n;
        if (n < buffer.size()) {
            return std::unexpected(
                serialbus::IoError{serialbus::IoErrorKind::TimedOut, "Operation timed out"});
        }
        return {};
    }
    std::expected<void, serialbus::IoError> write_all(std::span<const std::uint8_t>) override {
        sent_ = true;
        return {};
    }
    [[nodiscard]] std::size_t consumed() const { return at_; }

  private:
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
    bool sent_ = false;
};

}  // namespace wenlo_fuzz
