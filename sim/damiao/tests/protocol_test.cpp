// The motor side of the wire format, checked against frames the master side is known to make.
#include "protocol.hpp"

#include <gtest/gtest.h>

#include <bit>

namespace damiaosim::protocol {
namespace {

struct KnownCommand {
    MitRanges ranges;
    Payload bytes;
    MitSetpoint expected;
};

class DecodeMit : public ::testing::TestWithParam<KnownCommand> {};

TEST_P(DecodeMit, RecoversTheSetpointWithinOneStep) {
    const KnownCommand& c = GetParam();
    MitSetpoint s = decode_mit(c.ranges, c.bytes);
    EXPECT_NEAR(s.position, c.expected.position, 2 * c.ranges.position / 65535.0);
    EXPECT_NEAR(s.velocity, c.expected.velocity, 2 * c.ranges.velocity / 4095.0);
    EXPECT_NEAR(s.kp, c.expected.kp, c.ranges.kp / 4095.0);
    EXPECT_NEAR(s.kd, c.expected.kd, c.ranges.kd / 4095.0);
    EXPECT_NEAR(s.torque, c.expected.torque, 2 * c.ranges.torque / 4095.0);
}

INSTANTIATE_TEST_SUITE_P(
    KnownFrames, DecodeMit,
    ::testing::Values(KnownCommand{{12.5f, 30, 500, 5, 10},
                                   {0x7F, 0xFF, 0x7F, 0xF0, 0xF5, 0x33, 0x37, 0xFF},
                                   {0.0f, 0.0f, 30.0f, 1.0f, 0.0f}},
                      KnownCommand{{12.5f, 10, 500, 5, 28},
                                   {0x84, 0x9B, 0x7F, 0xF1, 0xEB, 0x66, 0x67, 0xFF},
                                   {0.45f, 0.0f, 60.0f, 2.0f, 0.0f}},
                      KnownCommand{{12.5f, 30, 500, 5, 10},
                                   {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
                                   {-12.5f, -30.0f, 0.0f, 0.0f, -10.0f}}));

TEST(EncodeState, MatchesTheKnownFeedbackFrame) {
    // 01 80 00 80 08 00 decodes to position 0.000191, velocity 0.007326, torque 0.002442.
    Payload p = encode_state({12.5f, 30, 500, 5, 10},
                             StateFields{0.000191, 0.007326, 0.002442, 0, 1, 35, 30});
    EXPECT_EQ(p, (Payload{0x01, 0x80, 0x00, 0x80, 0x08, 0x00, 35, 30}));
}

TEST(EncodeState, SaturatesAtTheRangeAndCarriesTheNibbles) {
    Payload p =
        encode_state({12.5f, 10, 500, 5, 28}, StateFields{100.0, -50.0, 28.0, 1, 0x13, 0, 0});
    EXPECT_EQ(p[0], 0x13);  // error nibble 1, id low nibble 3
    EXPECT_EQ(p[1], 0xFF);
    EXPECT_EQ(p[2], 0xFF);
    EXPECT_EQ(p[3], 0x00);  // velocity at the bottom
    EXPECT_EQ(p[4] & 0xF0, 0x00);
    EXPECT_EQ(p[4] & 0x0F, 0x0F);  // torque at the top
    EXPECT_EQ(p[5], 0xFF);
}

TEST(RegisterTable, HasTheFiftyThreeEntriesWithTheirAccess) {
    int present = 0;
    for (int reg = 0; reg < 256; ++reg) {
        if (register_default(static_cast<std::uint8_t>(reg)))
            ++present;
    }
    EXPECT_EQ(present, 53);
    ASSERT_TRUE(register_default(kCtrlMode));
    EXPECT_TRUE(register_default(kCtrlMode)->writable);
    EXPECT_FALSE(register_default(kCtrlMode)->is_float);
    EXPECT_FALSE(register_default(0x0B)->writable);
    EXPECT_TRUE(register_default(kPmax)->is_float);
    EXPECT_FALSE(register_default(0x25));
    EXPECT_FALSE(register_default(0x52));
}

}  // namespace
}  // namespace damiaosim::protocol
