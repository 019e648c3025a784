#pragma once

#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace candrive::damiao::registers {

enum class RegisterType : std::uint8_t { Float, Uint32 };

// "Float" or "Uint32".
[[nodiscard]] std::string_view to_string(RegisterType type) noexcept;

// A tagged 32-bit register value; on the wire both kinds are the same four little-endian
// bytes, a float being its IEEE-754 bit pattern.
class RegisterValue {
  public:
    static constexpr RegisterValue Float(float value) noexcept {
        return RegisterValue{RegisterType::Float, std::bit_cast<std::uint32_t>(value)};
    }
    static constexpr RegisterValue Uint32(std::uint32_t value) noexcept {
        return RegisterValue{RegisterType::Uint32, value};
    }
    // The wire word reinterpreted as `type`.
    static constexpr RegisterValue from_bits(RegisterType type, std::uint32_t bits) noexcept {
        return RegisterValue{type, bits};
    }

    [[nodiscard]] constexpr RegisterType type() const noexcept { return type_; }
    [[nodiscard]] constexpr std::uint32_t bits() const noexcept { return bits_; }
    [[nodiscard]] constexpr float as_float() const noexcept { return std::bit_cast<float>(bits_); }
    [[nodiscard]] constexpr std::uint32_t as_uint32() const noexcept { return bits_; }

    // Compares tag and bit pattern (so a NaN equals the same NaN).
    friend constexpr bool operator==(const RegisterValue&, const RegisterValue&) = default;

  private:
    constexpr RegisterValue(RegisterType type, std::uint32_t bits) noexcept
        : type_(type), bits_(bits) {}

    RegisterType type_;
    std::uint32_t bits_;
};

struct RegisterInfo {
    std::string_view name;
    std::string_view description;
    std::uint8_t id;
    bool writable;
    RegisterType value_type;
};

inline constexpr std::uint8_t CTRL_MODE = 0x0A;

// One slot per id 0x00 to 0x51.
inline constexpr std::size_t kSlotCount = 82;

// The entry for `id`, or nothing for an empty slot or an id beyond the table.
[[nodiscard]] std::optional<RegisterInfo> lookup(std::uint8_t id) noexcept;

// Every filled slot, in id order.
[[nodiscard]] std::span<const RegisterInfo> entries() noexcept;

}  // namespace candrive::damiao::registers
