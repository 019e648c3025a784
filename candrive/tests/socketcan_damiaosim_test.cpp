// The Damiao driver through the real transport against the simulated motors.

#include <gtest/gtest.h>

#include <damiaosim/motor_bus.hpp>

#include "candrive/damiao/driver.hpp"
#include "candrive/transport/socketcan_backend/socketcan_transport.hpp"
#include "raw_peer.hpp"

namespace {

using namespace candrive::damiao;
using candrive::testing::can_interface;
using candrive::transport::Duration;
using candrive::transport::socketcan_backend::SocketCanTransport;
using driver::ControlCommand;
using driver::ControlMode;
using driver::Damiao;
using registers::RegisterValue;

constexpr mit::MitLimits kLimits{12.5F, 30.0F, 500.0F, 5.0F, 10.0F};

class SimulatedNeck : public ::testing::Test {
  protected:
    void SetUp() override {
        std::vector<damiaosim::MotorConfig> motors;
        for (std::uint16_t id = 1; id <= 3; ++id) {
            damiaosim::MotorConfig config;
            config.motor_id = id;
            config.master_id = static_cast<std::uint16_t>(0x10 + id);
            config.start_position = 0.1 * id;
            motors.push_back(config);
        }
        auto sim = damiaosim::MotorBus::open(can_interface(), std::move(motors));
        ASSERT_TRUE(sim.has_value()) << sim.error().message();
        sim_ = std::move(*sim);
        ASSERT_TRUE(sim_->start().has_value());
        auto opened = SocketCanTransport::open(can_interface());
        ASSERT_TRUE(opened.has_value()) << opened.error().message();
        bus_.emplace(std::move(*opened));
    }
    void TearDown() override {
        if (sim_) {
            sim_->stop();
        }
    }

    // Generous time-out: the simulator shares two noisy cores with the test.
    static Damiao motor(std::uint16_t id, Duration timeout = Duration::from_millis(500)) {
        return Damiao{timeout, kLimits, id, static_cast<std::uint16_t>(0x10 + id)};
    }
    damiaosim::MotorSnapshot snapshot(std::uint16_t id) {
        auto snap = sim_->snapshot(id);
        EXPECT_TRUE(snap.has_value());
        return snap.value_or(damiaosim::MotorSnapshot{});
    }

    std::unique_ptr<damiaosim::MotorBus> sim_;
    std::optional<SocketCanTransport> bus_;
};

TEST_F(SimulatedNeck, EnableCommandFeedbackDisable) {
    const auto yaw = motor(1);
    ASSERT_TRUE(yaw.ensure_control_mode(*bus_, ControlMode::MIT).has_value());
    EXPECT_EQ(snapshot(1).register_reads, 1U);
    EXPECT_EQ(snapshot(1).register_writes, 0U);

    const auto enabled = yaw.enable(*bus_);
    ASSERT_TRUE(enabled.has_value()) << enabled.error().message();
    EXPECT_TRUE(snapshot(1).enabled);
    EXPECT_NEAR(enabled->position, 0.1F, 0.01F);

    const auto commanded = yaw.control(*bus_, ControlCommand::Mit{{0.3F, 0, 30, 1, 0}});
    ASSERT_TRUE(commanded.has_value()) << commanded.error().message();
    const auto seen = snapshot(1).last_command;
    ASSERT_TRUE(seen.has_value());
    EXPECT_NEAR(seen->position, 0.3F, 0.001F);
    EXPECT_NEAR(seen->kp, 30.0F, 0.2F);
    EXPECT_NEAR(seen->kd, 1.0F, 0.01F);

    const auto feedback = yaw.request_feedback(*bus_);
    ASSERT_TRUE(feedback.has_value()) << feedback.error().message();
    EXPECT_EQ(snapshot(1).feedback_requests, 1U);

    ASSERT_TRUE(yaw.disable(*bus_).has_value());
    EXPECT_FALSE(snapshot(1).enabled);
    // The other motors heard nothing addressed to them.
    EXPECT_EQ(snapshot(2).frames_received, 0U);
    EXPECT_EQ(snapshot(3).frames_received, 0U);
}

TEST_F(SimulatedNeck, EachMotorAnswersForItself) {
    for (std::uint16_t id = 1; id <= 3; ++id) {
        const auto state = motor(id).request_feedback(*bus_);
        ASSERT_TRUE(state.has_value()) << id << ": " << state.error().message();
        EXPECT_NEAR(state->position, 0.1F * id, 0.01F) << id;
    }
}

TEST_F(SimulatedNeck, ModeChangeIsWrittenOnceAndVerified) {
    const auto pitch = motor(2);
    ASSERT_TRUE(
        pitch.write_register(*bus_, registers::CTRL_MODE, RegisterValue::Uint32(3)).has_value());
    const auto read = pitch.read_register(*bus_, registers::CTRL_MODE);
    ASSERT_TRUE(read.has_value()) << read.error().message();
    EXPECT_EQ(*read, RegisterValue::Uint32(3));

    ASSERT_TRUE(pitch.ensure_control_mode(*bus_, ControlMode::MIT).has_value());
    EXPECT_EQ(snapshot(2).mode, 1U);
    EXPECT_EQ(snapshot(2).register_writes, 2U);
}

TEST_F(SimulatedNeck, StuckModeIsAMismatch) {
    ASSERT_TRUE(sim_->set_stuck_mode(1, 2).has_value());
    const auto result = motor(1).ensure_control_mode(*bus_, ControlMode::MIT);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().message(),
              "control mode verification failed: wrote 1, motor reports 2");
}

TEST_F(SimulatedNeck, FloatRegisterReadsAsFloat) {
    const auto pmax = motor(3).read_register(*bus_, 0x15);
    ASSERT_TRUE(pmax.has_value()) << pmax.error().message();
    EXPECT_EQ(*pmax, RegisterValue::Float(12.5F));
}

TEST_F(SimulatedNeck, AbsentSlowAndShortRepliesAreErrors) {
    ASSERT_TRUE(sim_->set_connected(1, false).has_value());
    EXPECT_EQ(motor(1, Duration::from_millis(100)).enable(*bus_).error().message(),
              "transport error: timeout waiting for frame");

    ASSERT_TRUE(sim_->set_reply_delay(2, std::chrono::milliseconds(400)).has_value());
    EXPECT_EQ(motor(2, Duration::from_millis(50)).request_feedback(*bus_).error().message(),
              "transport error: timeout waiting for frame");
    // Let the late reply land before the next case, so it cannot be taken for another.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    ASSERT_TRUE(sim_->set_short_reply(3, 5).has_value());
    EXPECT_EQ(motor(3).request_feedback(*bus_).error().message(), "reply too short: 5 bytes");
}

// A reply later than its time-out carries an old state and the same id as the next one: it is
// dropped, not taken for the next request's reply, even when it arrives while that is awaited.
TEST_F(SimulatedNeck, ALateReplyIsNeverTakenForTheNextOne) {
    using std::chrono::milliseconds;
    const auto yaw = motor(2, Duration::from_millis(100));
    ASSERT_TRUE(sim_->set_position(2, -1.0).has_value());
    ASSERT_TRUE(sim_->set_reply_delay(2, milliseconds(160)).has_value());
    EXPECT_EQ(yaw.request_feedback(*bus_).error().message(),
              "transport error: timeout waiting for frame");
    ASSERT_TRUE(sim_->set_position(2, 1.0).has_value());
    ASSERT_TRUE(sim_->set_reply_delay(2, milliseconds(90)).has_value());
    // The other motors are not held up by motor 2's straggler.
    ASSERT_TRUE(motor(1).request_feedback(*bus_).has_value());
    const auto state = yaw.request_feedback(*bus_);
    ASSERT_TRUE(state.has_value()) << state.error().message();
    EXPECT_NEAR(state->position, 1.0, 0.01);
}

TEST_F(SimulatedNeck, RepliesAreFoundAmidUnrelatedTraffic) {
    sim_->start_chatter({0x100, 0x555, 0x7F0}, std::chrono::microseconds(500));
    for (int i = 0; i < 10; ++i) {
        const auto state = motor(1 + i % 3).request_feedback(*bus_);
        ASSERT_TRUE(state.has_value()) << state.error().message();
    }
    sim_->stop_chatter();
}

}  // namespace
