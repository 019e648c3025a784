#pragma once

#include <cstdint>
#include <vector>

namespace candrive::transport {

// An arbitration identifier. The number is kept as given; range checks happen when a frame
// is sent, so an out-of-range id can be built and is reported as `InvalidId` there.
class CanId {
  public:
    enum class Kind : std::uint8_t { Standard, Extended };

    static constexpr std::uint32_t kMaxStandard = 0x7FF;
    static constexpr std::uint32_t kMaxExtended = 0x1FFF'FFFF;

    // Named after the two variants: `CanId::Standard(0x7FF)`, `CanId::Extended(0x1234567)`.
    static constexpr CanId Standard(std::uint16_t id) noexcept { return CanId{Kind::Standard, id}; }
    static constexpr CanId Extended(std::uint32_t id) noexcept { return CanId{Kind::Extended, id}; }

    [[nodiscard]] constexpr Kind kind() const noexcept { return kind_; }
    [[nodiscard]] constexpr bool is_extended() const noexcept { return kind_ == Kind::Extended; }
    [[nodiscard]] constexpr std::uint32_t value() const noexcept { return value_; }
    [[nodiscard]] constexpr bool is_valid() const noexcept {
        return value_ <= (is_extended() ? kMaxExtended : kMaxStandard);
    }

    // Standard 0x001 and extended 0x001 are different ids.
    friend constexpr bool operator==(const CanId&, const CanId&) = default;

  private:
    constexpr CanId(Kind kind, std::uint32_t value) noexcept : kind_(kind), value_(value) {}

    Kind kind_;
    std::uint32_t value_;
};

struct CanFrame {
    std::vector<std::uint8_t> data;  // the payload; its size is the frame length
    CanId id = CanId::Standard(0);
    bool fd = false;   // CAN FD frame (up to 64 bytes) rather than classic (up to 8)
    bool brs = false;  // bit-rate switch; meaningful only when `fd`

    friend bool operator==(const CanFrame&, const CanFrame&) = default;
};

}  // namespace candrive::transport
