#include "candrive/damiao/mit.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <vector>

namespace {

using candrive::damiao::mit::decode_state;
using candrive::damiao::mit::encode;
using candrive::damiao::mit::MitCommand;
using candrive::damiao::mit::MitLimits;
using candrive::damiao::mit::to_unsigned;
using Bytes = std::array<std::uint8_t, 8>;

constexpr MitLimits kLimits{12.5F, 30.0F, 500.0F, 5.0F, 10.0F};
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Raw fields back out of a command frame (position, velocity, kp, kd, torque), so that a test
// names what every field must be and a failure prints them all.
using RawFields = std::array<std::uint32_t, 5>;
RawFields unpack(const Bytes& b) {
    return {std::uint32_t(b[0]) << 8 | b[1], std::uint32_t(b[2]) << 4 | b[3] >> 4,
            std::uint32_t(b[3] & 0xF) << 8 | b[4], std::uint32_t(b[5]) << 4 | b[6] >> 4,
            std::uint32_t(b[6] & 0xF) << 8 | b[7]};
}

struct EncodeCase {
    MitLimits limits;
    MitCommand command;
    Bytes expected;
};

class MitEncodeExamples : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(MitEncodeExamples, MatchesBitForBit) {
    EXPECT_EQ(encode(GetParam().limits, GetParam().command), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, MitEncodeExamples,
    ::testing::Values(
        EncodeCase{kLimits, {0, 0, 30, 1, 0}, {0x7F, 0xFF, 0x7F, 0xF0, 0xF5, 0x33, 0x37, 0xFF}},
        EncodeCase{{12.5F, 10.0F, 500.0F, 5.0F, 28.0F},
                   {0.45F, 0, 60, 2, 0},
                   {0x84, 0x9B, 0x7F, 0xF1, 0xEB, 0x66, 0x67, 0xFF}},
        // Every field at the top of its range.
        EncodeCase{
            kLimits, {12.5F, 30, 500, 5, 10}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        // Every field at the bottom of its range.
        EncodeCase{kLimits, {-12.5F, -30, 0, 0, -10}, {0, 0, 0, 0, 0, 0, 0, 0}}));

TEST(MitEncode, ClampsOutOfRangeInputs) {
    EXPECT_EQ(unpack(encode(kLimits, {100, 1e6F, 1e9F, 99, 1e3F})),
              (RawFields{65535, 4095, 4095, 4095, 4095}));
    EXPECT_EQ(unpack(encode(kLimits, {-100, -1e6F, -3, -0.5F, -1e3F})), RawFields{});
}

TEST(MitEncode, MidpointTruncatesRatherThanRounds) {
    // kp and kd range from 0, so their 0 is the bottom of the range, not its middle.
    EXPECT_EQ(unpack(encode(kLimits, {0, 0, 0, 0, 0})), (RawFields{32767, 2047, 0, 0, 2047}));
}

// A NaN in one field makes that field 0 and leaves the others as they were.
class MitEncodeNaN : public ::testing::TestWithParam<int> {};

TEST_P(MitEncodeNaN, FieldEncodesAsZero) {
    MitCommand command{1.0F, 2.0F, 100.0F, 2.0F, 3.0F};
    const auto reference = unpack(encode(kLimits, command));
    float* fields[] = {&command.position, &command.velocity, &command.kp, &command.kd,
                       &command.torque};
    *fields[GetParam()] = kNaN;
    RawFields expected = reference;
    expected[static_cast<std::size_t>(GetParam())] = 0;
    EXPECT_EQ(unpack(encode(kLimits, command)), expected);
}

INSTANTIATE_TEST_SUITE_P(EachField, MitEncodeNaN, ::testing::Range(0, 5));

TEST(MitEncode, ZeroLimitEncodesFieldAsZero) {
    EXPECT_EQ(unpack(encode({0, 0, 0, 0, 0}, {1, 1, 1, 1, 1})), RawFields{});
}

TEST(MitToUnsigned, DefinedForEveryInput) {
    EXPECT_EQ(to_unsigned(kNaN), 0U);
    EXPECT_EQ(to_unsigned(-1.0F), 0U);
    EXPECT_EQ(to_unsigned(-std::numeric_limits<float>::infinity()), 0U);
    EXPECT_EQ(to_unsigned(3.99F), 3U);
    EXPECT_EQ(to_unsigned(4294967296.0F), 0xFFFFFFFFU);
    EXPECT_EQ(to_unsigned(std::numeric_limits<float>::infinity()), 0xFFFFFFFFU);
    EXPECT_EQ(to_unsigned(4294967040.0F), 4294967040U);
}

TEST(MitDecode, FeedbackExample) {
    const std::vector<std::uint8_t> payload{0x01, 0x80, 0x00, 0x80, 0x08, 0x00, 0x00, 0x00};
    const auto state = decode_state(kLimits, payload);
    ASSERT_TRUE(state.has_value());
    // Exact single-precision results of the documented order of operations.
    EXPECT_EQ(state->position, 25.0F * 32768.0F / 65535.0F - 12.5F);
    EXPECT_NEAR(state->position, 0.000191F, 1e-6F);
    EXPECT_NEAR(state->velocity, 0.007326F, 1e-6F);
    EXPECT_NEAR(state->torque, 0.002442F, 1e-6F);
    EXPECT_EQ(state->low_nibble, 1);
    EXPECT_EQ(state->high_nibble, 0);
    EXPECT_EQ(state->tail, 0);
}

TEST(MitDecode, SplitsSharedByteAndTail) {
    const std::vector<std::uint8_t> payload{0xA5, 0xFF, 0xFF, 0x00, 0x0F, 0xFF, 0x34, 0x12, 0x99};
    const auto state = decode_state(kLimits, payload);
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(state->low_nibble, 0x5);
    EXPECT_EQ(state->high_nibble, 0xA);
    EXPECT_EQ(state->tail, 0x1234);
    EXPECT_EQ(state->position, 12.5F);
    EXPECT_EQ(state->velocity, -30.0F);  // v_raw 0
    EXPECT_EQ(state->torque, 10.0F);     // t_raw 0xFFF
}

TEST(MitDecode, RoundTripStaysWithinOneStep) {
    for (float p = -12.5F; p <= 12.5F; p += 0.37F) {
        const auto bytes = encode(kLimits, {p, 0, 0, 0, 0});
        std::vector<std::uint8_t> feedback{0, bytes[0], bytes[1], 0x80, 0x08, 0, 0, 0};
        const auto state = decode_state(kLimits, feedback);
        ASSERT_TRUE(state.has_value());
        EXPECT_NEAR(state->position, p, 25.0F / 65535.0F * 1.01F);
    }
}

TEST(MitDecode, RefusesShortPayloadWithoutReadingIt) {
    for (std::size_t n = 0; n < 8; ++n) {
        // A heap block of exactly n bytes: ASan flags any read beyond it.
        const std::vector<std::uint8_t> payload(n, 0xFF);
        const auto result = decode_state(kLimits, payload);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().length, n);
        EXPECT_EQ(result.error().message(), "reply too short: " + std::to_string(n) + " bytes");
    }
}

}  // namespace
