#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

#include "serialbus/servo/feetech/sm40bl.hpp"
#include "serialbus/servo/feetech/sts3025bl.hpp"

namespace {

namespace sm40bl = serialbus::servo::feetech::sm40bl;
namespace sts3025bl = serialbus::servo::feetech::sts3025bl;

struct ToRawCase {
    double radians;
    std::int16_t raw;
};

class RadiansToRaw : public testing::TestWithParam<ToRawCase> {};

TEST_P(RadiansToRaw, TruncatesAndSaturates) {
    EXPECT_EQ(sm40bl::radians_to_raw(GetParam().radians), GetParam().raw);
    EXPECT_EQ(sts3025bl::radians_to_raw(GetParam().radians), GetParam().raw);
}

constexpr double kPi = 3.141592653589793;

INSTANTIATE_TEST_SUITE_P(
    Values, RadiansToRaw,
    testing::Values(ToRawCase{0.0, 2048}, ToRawCase{kPi, 4096}, ToRawCase{-kPi, 0},
                    ToRawCase{1.0, 2699}, ToRawCase{-1.0, 1396}, ToRawCase{20.0, 15085},
                    ToRawCase{100.0, 32767}, ToRawCase{-100.0, -32768},
                    ToRawCase{std::numeric_limits<double>::infinity(), 32767},
                    ToRawCase{-std::numeric_limits<double>::infinity(), -32768},
                    ToRawCase{std::numeric_limits<double>::quiet_NaN(), 0},
                    // Truncation toward zero below raw 0: -0.7 steps is 0, not -1.
                    ToRawCase{-kPi - 0.7 * kPi / 2048, 0}, ToRawCase{-kPi - 1.5 * kPi / 2048, -1}));

TEST(RawToRadians, Scale) {
    EXPECT_EQ(sm40bl::raw_to_radians(2048), 0.0);
    EXPECT_EQ(sm40bl::raw_to_radians(0), -kPi);
    EXPECT_EQ(sm40bl::raw_to_radians(4096), kPi);
    EXPECT_NEAR(sts3025bl::raw_to_radians(2699), 0.9986215, 1e-7);
    EXPECT_DOUBLE_EQ(sm40bl::raw_to_radians(-1), -kPi - 2 * kPi / 4096);
    EXPECT_GT(sm40bl::raw_to_radians(32767), 40.0);
}

TEST(RawToRadians, RoundTripKeepsEveryStepInRange) {
    for (int raw = 0; raw <= 4096; ++raw) {
        const auto value = static_cast<std::int16_t>(raw);
        // Adding a fraction of a step guards against landing just below the step.
        const double radians = sm40bl::raw_to_radians(value) + 1e-9;
        ASSERT_EQ(sm40bl::radians_to_raw(radians), value) << raw;
    }
}

// Registers 56 to 63 as a servo sends them: the directions sit in bit 15 of the speed and in
// bit 10 of the load, not in a two's complement.
TEST(Telemetry, DecodesEveryFigureWithItsDirection) {
    const std::array<std::uint8_t, 8> forward{0x00, 0x0C, 0x00, 0x04, 0xF4, 0x01, 121, 41};
    const auto t = sm40bl::decode_telemetry(forward);
    EXPECT_DOUBLE_EQ(t.position, sm40bl::raw_to_radians(3072));
    EXPECT_DOUBLE_EQ(t.velocity, 1024 * 2 * kPi / 4096);  // 1024 steps/s
    EXPECT_DOUBLE_EQ(t.load, 0.5);                         // 500 tenths of a percent
    EXPECT_DOUBLE_EQ(t.voltage, 12.1);
    EXPECT_DOUBLE_EQ(t.temperature, 41.0);
    const std::array<std::uint8_t, 8> backward{0x00, 0x08, 0x00, 0x84, 0xF4, 0x05, 120, 30};
    const auto b = sts3025bl::decode_telemetry(backward);
    EXPECT_DOUBLE_EQ(b.velocity, -1024 * 2 * kPi / 4096);
    EXPECT_DOUBLE_EQ(b.load, -0.5);
    // The bits above the direction are not part of the magnitude.
    const std::array<std::uint8_t, 8> high_bits{0x00, 0x08, 0x00, 0x00, 0xE8, 0xFB, 0, 0};
    EXPECT_DOUBLE_EQ(sm40bl::decode_telemetry(high_bits).load, 1.0);
}

}  // namespace
