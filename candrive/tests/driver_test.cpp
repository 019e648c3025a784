#include "candrive/damiao/driver.hpp"

#include <gtest/gtest.h>

#include <chrono>

#include "fake_transport.hpp"

namespace {

using namespace candrive::damiao;
using candrive::testing::classic;
using candrive::testing::FakeTransport;
using candrive::transport::CanError;
using candrive::transport::CanFrame;
using candrive::transport::CanId;
using candrive::transport::Duration;
using driver::ControlCommand;
using driver::ControlMode;
using driver::Damiao;
using error::Error;
using registers::RegisterType;
using registers::RegisterValue;
using Bytes = std::vector<std::uint8_t>;

constexpr mit::MitLimits kLimits{12.5F, 30.0F, 10.0F, 5.0F, 10.0F};
const Damiao kMotor{Duration::from_millis(20), kLimits, 0x001, 0x011};
const Bytes kState{0x01, 0x80, 0x00, 0x80, 0x08, 0x00, 0x00, 0x00};

// A scripted motor: answers state requests from its master id and register reads with the
// value it holds; `sticky_mode` makes it ignore mode writes.
struct ScriptedMotor {
    std::uint32_t ctrl_mode = 1;
    bool sticky_mode = false;

    void attach(FakeTransport& bus) {
        bus.responder = [this](const CanFrame& f, std::deque<CanFrame>& inbox) {
            if (f.id == CanId::Standard(driver::kManagementId)) {
                if (f.data[2] == 0x33) {
                    inbox.push_back(classic(
                        0x011, {0x01, 0x00, 0x33, f.data[3], std::uint8_t(ctrl_mode), 0, 0, 0}));
                } else if (f.data[2] == 0x55) {
                    if (!sticky_mode)
                        ctrl_mode = f.data[4];
                    inbox.push_back(classic(0x011, {0x01, 0x00, 0x55, f.data[3], f.data[4],
                                                    f.data[5], f.data[6], f.data[7]}));
                } else if (f.data[2] == 0xCC) {
                    inbox.push_back(classic(0x011, kState));
                }
            } else {
                inbox.push_back(classic(0x011, kState));
            }
        };
    }
};

TEST(DamiaoFrames, MotorFramesGoToTheirArbitrationIds) {
    FakeTransport bus;
    ScriptedMotor motor;
    motor.attach(bus);
    ASSERT_TRUE(kMotor.enable(bus).has_value());
    ASSERT_TRUE(kMotor.disable(bus).has_value());
    ASSERT_TRUE(kMotor.control(bus, ControlCommand::Vel{1.0F}).has_value());
    ASSERT_TRUE(kMotor.control(bus, ControlCommand::Mit{{0, 0, 5, 1, 0}}).has_value());
    ASSERT_TRUE(kMotor.control(bus, ControlCommand::PosVel{1.0F, -2.0F}).has_value());
    ASSERT_EQ(bus.sent.size(), 5U);
    EXPECT_EQ(bus.sent[0], classic(0x001, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}));
    EXPECT_EQ(bus.sent[1], classic(0x001, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFD}));
    EXPECT_EQ(bus.sent[2], classic(0x201, {0x00, 0x00, 0x80, 0x3F, 0, 0, 0, 0}));
    const auto mit_bytes = mit::encode(kLimits, {0, 0, 5, 1, 0});
    EXPECT_EQ(bus.sent[3], classic(0x001, Bytes(mit_bytes.begin(), mit_bytes.end())));
    EXPECT_EQ(bus.sent[4], classic(0x101, {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0xC0}));
}

struct ForcePosCase {
    float velocity;
    float current;
    Bytes tail;  // bytes 4-7
};

class ForcePosBytes : public ::testing::TestWithParam<ForcePosCase> {};

TEST_P(ForcePosBytes, ClampScaleAndCap) {
    const auto encoded = driver::encode_command(
        0x001, kLimits, ControlCommand::ForcePos{-1.0F, GetParam().velocity, GetParam().current});
    EXPECT_EQ(encoded.arbitration_id, 0x301);
    EXPECT_EQ(Bytes(encoded.data.begin(), encoded.data.begin() + 4),
              (Bytes{0x00, 0x00, 0x80, 0xBF}));
    EXPECT_EQ(Bytes(encoded.data.begin() + 4, encoded.data.end()), GetParam().tail);
}

INSTANTIATE_TEST_SUITE_P(Values, ForcePosBytes,
                         ::testing::Values(ForcePosCase{250.0F, -0.5F, {0x10, 0x27, 0x00, 0x00}},
                                           ForcePosCase{1.5F, 0.25F, {150, 0x00, 0xC4, 0x09}},
                                           ForcePosCase{std::numeric_limits<float>::quiet_NaN(),
                                                        std::numeric_limits<float>::quiet_NaN(),
                                                        {0, 0, 0, 0}},
                                           ForcePosCase{100.0F, 1.0F, {0x10, 0x27, 0x10, 0x27}}));

TEST(DamiaoFrames, ArbitrationIdKeepsLowElevenBits) {
    EXPECT_EQ(driver::encode_command(0x7FF, kLimits, ControlCommand::Vel{0}).arbitration_id,
              (0x7FF + 0x200) & 0x7FF);
    EXPECT_EQ(driver::encode_command(0x005, kLimits, ControlCommand::PosVel{0, 0}).arbitration_id,
              0x105);
}

TEST(DamiaoFeedback, RequestsOnManagementIdAndDecodes) {
    FakeTransport bus;
    ScriptedMotor motor;
    motor.attach(bus);
    const Damiao other_id{Duration::from_millis(20), kLimits, 0x0102, 0x011};
    const auto state = other_id.request_feedback(bus);
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(*state, *mit::decode_state(kLimits, kState));
    EXPECT_EQ(bus.sent.at(0), classic(0x7FF, {0x02, 0x01, 0xCC, 0, 0, 0, 0, 0}));
}

TEST(DamiaoFeedback, WaitsOnlyForTheMasterId) {
    FakeTransport bus;
    bus.inbox = {classic(0x012, kState), CanFrame{kState, CanId::Extended(0x011), false, false},
                 classic(0x011, {0x10, 0xFF, 0xFF, 0, 0, 0, 0, 0})};
    const auto state = kMotor.request_feedback(bus);
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(state->high_nibble, 1);
    EXPECT_EQ(state->position, 12.5F);
}

TEST(DamiaoFeedback, MissingReplyIsTransportTimeout) {
    FakeTransport bus;
    const auto state = kMotor.enable(bus);
    ASSERT_FALSE(state.has_value());
    EXPECT_EQ(state.error(), (Error{Error::Transport{CanError::timeout()}}));
    EXPECT_EQ(state.error().message(), "transport error: timeout waiting for frame");
}

TEST(DamiaoFeedback, ShortReplyIsReported) {
    FakeTransport bus;
    bus.inbox = {classic(0x011, {1, 2, 3, 4, 5})};
    const auto state = kMotor.control(bus, ControlCommand::Mit{{0, 0, 0, 0, 0}});
    ASSERT_FALSE(state.has_value());
    EXPECT_EQ(state.error().message(), "reply too short: 5 bytes");
}

TEST(DamiaoFeedback, SendFailureIsWrapped) {
    FakeTransport bus;
    bus.send_failure = CanError::io_errno(ENETDOWN);
    const auto state = kMotor.disable(bus);
    ASSERT_FALSE(state.has_value());
    EXPECT_TRUE(state.error().is<Error::Transport>());
    EXPECT_EQ(state.error().message().rfind("transport error: backend error: ", 0), 0U);
}

TEST(DamiaoRegisters, ReadSkipsNonMatchingFramesAndTagsByTable) {
    FakeTransport bus;
    bus.inbox = {
        classic(0x011, {0x01, 0x00, 0x33, 0x15, 0xAA, 0, 0, 0}),  // another register
        classic(0x011, {0x01, 0x00, 0x33, 0x16, 0, 0, 0}),        // 7 bytes
        classic(0x011, {0x01, 0x00, 0x55, 0x16, 1, 2, 3, 4}),     // a write echo
        CanFrame{{0x01, 0, 0x33, 0x16, 0, 0, 0, 0, 0}, CanId::Standard(0x011), true, false},
        // Any id and any motor bytes: only the code and register number count.
        CanFrame{
            {0x09, 0x09, 0x33, 0x16, 0x00, 0x00, 0xF0, 0x41}, CanId::Extended(0x5), false, false},
    };
    const auto value = kMotor.read_register(bus, 0x16);
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(*value, RegisterValue::Float(30.0F));
    EXPECT_EQ(bus.sent.at(0), classic(0x7FF, {0x01, 0x00, 0x33, 0x16, 0, 0, 0, 0}));
    EXPECT_TRUE(bus.inbox.empty());
}

TEST(DamiaoRegisters, ReadOfUint32RegisterIsLittleEndian) {
    FakeTransport bus;
    bus.inbox = {classic(0x011, {0x01, 0x00, 0x33, 0x07, 0x78, 0x56, 0x34, 0x12})};
    const auto value = kMotor.read_register(bus, 0x07);
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(*value, RegisterValue::Uint32(0x12345678));
}

TEST(DamiaoRegisters, ReadWithoutMatchTimesOut) {
    FakeTransport bus;
    bus.inbox = {classic(0x011, {0x01, 0x00, 0x33, 0x0B, 0, 0, 0, 0})};
    const auto value = kMotor.read_register(bus, 0x0A);
    EXPECT_EQ(value.error(), (Error{Error::Transport{CanError::timeout()}}));
}

struct RegisterRefusal {
    std::uint8_t reg;
    std::optional<RegisterValue> write;  // nothing: a read
    std::string text;
};

class DamiaoRegisterRefusals : public ::testing::TestWithParam<RegisterRefusal> {};

TEST_P(DamiaoRegisterRefusals, NothingIsSent) {
    FakeTransport bus;
    ScriptedMotor motor;
    motor.attach(bus);
    const auto& c = GetParam();
    const auto error = c.write ? kMotor.write_register(bus, c.reg, *c.write).error()
                               : kMotor.read_register(bus, c.reg).error();
    EXPECT_EQ(error.message(), c.text);
    EXPECT_TRUE(bus.sent.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Checks, DamiaoRegisterRefusals,
    ::testing::Values(
        RegisterRefusal{0x25, std::nullopt, "register 37 is not in the Damiao register table"},
        RegisterRefusal{0x52, std::nullopt, "register 82 is not in the Damiao register table"},
        RegisterRefusal{0x25, RegisterValue::Uint32(0),
                        "register 37 is not in the Damiao register table"},
        RegisterRefusal{0x0B, RegisterValue::Float(1.0F), "register 11 is read-only"},
        RegisterRefusal{0x0B, RegisterValue::Uint32(1), "register 11 is read-only"},
        RegisterRefusal{0x0A, RegisterValue::Float(1.0F),
                        "register 10: expected Uint32, got Float"},
        RegisterRefusal{0x15, RegisterValue::Uint32(3),
                        "register 21: expected Float, got Uint32"}));

TEST(DamiaoRegisters, WriteSendsLittleEndianWordAndDoesNotWait) {
    FakeTransport bus;
    ASSERT_TRUE(kMotor.write_register(bus, 0x15, RegisterValue::Float(12.5F)).has_value());
    ASSERT_TRUE(kMotor.write_register(bus, 0x09, RegisterValue::Uint32(0x01020304)).has_value());
    ASSERT_EQ(bus.sent.size(), 2U);
    EXPECT_EQ(bus.sent[0], classic(0x7FF, {0x01, 0x00, 0x55, 0x15, 0x00, 0x00, 0x48, 0x41}));
    EXPECT_EQ(bus.sent[1], classic(0x7FF, {0x01, 0x00, 0x55, 0x09, 0x04, 0x03, 0x02, 0x01}));
    EXPECT_TRUE(bus.recv_timeouts.empty());
}

TEST(DamiaoControlMode, AlreadyInModeSendsOnlyTheRead) {
    FakeTransport bus;
    ScriptedMotor motor;
    motor.attach(bus);
    ASSERT_TRUE(kMotor.ensure_control_mode(bus, ControlMode::MIT).has_value());
    ASSERT_EQ(bus.sent.size(), 1U);
    EXPECT_EQ(bus.sent[0].data[2], 0x33);
}

TEST(DamiaoControlMode, ChangesModeWaitsAndVerifies) {
    FakeTransport bus;
    ScriptedMotor motor{.ctrl_mode = 2};
    motor.attach(bus);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(kMotor.ensure_control_mode(bus, ControlMode::FORCE_POS).has_value());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_EQ(motor.ctrl_mode, 4U);
    ASSERT_EQ(bus.sent.size(), 3U);
    EXPECT_EQ(bus.sent[1], classic(0x7FF, {0x01, 0x00, 0x55, 0x0A, 4, 0, 0, 0}));
    EXPECT_EQ(bus.sent[2], classic(0x7FF, {0x01, 0x00, 0x33, 0x0A, 0, 0, 0, 0}));
}

TEST(DamiaoControlMode, MotorThatKeepsItsModeIsAMismatch) {
    FakeTransport bus;
    ScriptedMotor motor{.ctrl_mode = 2, .sticky_mode = true};
    motor.attach(bus);
    const auto result = kMotor.ensure_control_mode(bus, ControlMode::MIT);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), (Error{Error::ControlModeMismatch{1, 2}}));
    EXPECT_EQ(bus.sent.size(), 3U) << "never retried";
}

TEST(DamiaoControlMode, WholeWordIsCompared) {
    FakeTransport bus;
    // Low byte 1 but a non-zero upper byte: not MIT.
    bus.inbox = {classic(0x011, {0x01, 0x00, 0x33, 0x0A, 0x01, 0x00, 0x00, 0x01})};
    const auto result = kMotor.ensure_control_mode(bus, ControlMode::MIT);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(bus.sent.size(), 3U);
    EXPECT_EQ(result.error().message(), "transport error: timeout waiting for frame");
}

TEST(DamiaoControlMode, FailedFirstReadStops) {
    FakeTransport bus;
    const auto result = kMotor.ensure_control_mode(bus, ControlMode::VEL);
    EXPECT_EQ(result.error(), (Error{Error::Transport{CanError::timeout()}}));
    EXPECT_EQ(bus.sent.size(), 1U);
}

}  // namespace
