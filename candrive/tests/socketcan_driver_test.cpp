// The Damiao driver through the real transport, against a small motor written here with the
// plain socket API, so the frames really cross the interface.

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "candrive/damiao/driver.hpp"
#include "candrive/transport/socketcan_backend/socketcan_transport.hpp"
#include "raw_peer.hpp"

namespace {

using namespace candrive::damiao;
using candrive::testing::can_interface;
using candrive::testing::RawPeer;
using candrive::transport::Duration;
using candrive::transport::socketcan_backend::SocketCanTransport;
using driver::ControlCommand;
using driver::ControlMode;
using driver::Damiao;
using error::Error;
using registers::RegisterValue;

constexpr mit::MitLimits kLimits{12.5F, 30.0F, 500.0F, 5.0F, 10.0F};

// One motor: answers MIT, enable and disable frames on its id and the management frames
// addressed to it, each with an 8-byte reply from its master id.
class ResponderMotor {
  public:
    ResponderMotor(std::uint16_t motor_id, std::uint16_t master_id, std::uint32_t mode,
                   bool accepts_mode_changes)
        : motor_id_(motor_id),
          master_id_(master_id),
          mode_(mode),
          accepts_mode_changes_(accepts_mode_changes),
          thread_([this] { run(); }) {}
    ~ResponderMotor() {
        stop_ = true;
        thread_.join();
    }

    bool ok() const { return peer_.ok(); }
    std::uint32_t mode() const { return mode_; }
    bool enabled() const { return enabled_; }
    int frames_seen() const { return frames_seen_; }

  private:
    void run() {
        while (!stop_) {
            const auto frame = peer_.read_classic();
            if (!frame || frame->len != 8) {
                continue;
            }
            ++frames_seen_;
            handle(*frame);
        }
    }

    void handle(const can_frame& f) {
        const std::uint16_t addressed = f.data[0] | (f.data[1] << 8);
        if (f.can_id == 0x7FF && addressed == motor_id_) {
            switch (f.data[2]) {
                case 0x33:
                    if (f.data[3] == registers::CTRL_MODE) {
                        const std::uint32_t m = mode_;
                        peer_.write_classic(
                            master_id_,
                            {f.data[0], f.data[1], 0x33, f.data[3], std::uint8_t(m),
                             std::uint8_t(m >> 8), std::uint8_t(m >> 16), std::uint8_t(m >> 24)});
                    }
                    return;
                case 0x55:
                    if (f.data[3] == registers::CTRL_MODE && accepts_mode_changes_) {
                        mode_ = f.data[4] | (f.data[5] << 8) | (f.data[6] << 16) |
                                (std::uint32_t(f.data[7]) << 24);
                    }
                    // The echo of a write, which a later read must skip.
                    peer_.write_classic(master_id_, std::vector<std::uint8_t>(f.data, f.data + 8));
                    return;
                case 0xCC:
                    reply_state();
                    return;
                default:
                    return;
            }
        }
        if (f.can_id != motor_id_) {
            return;
        }
        if (f.data[7] == 0xFC && f.data[0] == 0xFF && f.data[6] == 0xFF) {
            enabled_ = true;
        } else if (f.data[7] == 0xFD && f.data[0] == 0xFF && f.data[6] == 0xFF) {
            enabled_ = false;
        } else {
            position_raw_ = static_cast<std::uint16_t>(f.data[0] << 8 | f.data[1]);
        }
        reply_state();
    }

    void reply_state() {
        const std::uint16_t p = position_raw_;
        peer_.write_classic(master_id_,
                            {std::uint8_t((enabled_ ? 0x10 : 0x00) | (motor_id_ & 0xF)),
                             std::uint8_t(p >> 8), std::uint8_t(p), 0x7F, 0xF7, 0xFF, 0x21, 0x00});
    }

    const std::uint16_t motor_id_;
    const std::uint16_t master_id_;
    std::atomic<std::uint32_t> mode_;
    const bool accepts_mode_changes_;
    std::atomic<bool> enabled_{false};
    std::atomic<std::uint16_t> position_raw_{0x8000};
    std::atomic<int> frames_seen_{0};
    std::atomic<bool> stop_{false};
    RawPeer peer_{can_interface(), 50};
    std::thread thread_;
};

class DamiaoOverSocket : public ::testing::Test {
  protected:
    void SetUp() override {
        auto opened = SocketCanTransport::open(can_interface());
        ASSERT_TRUE(opened.has_value()) << opened.error().message();
        bus_.emplace(std::move(*opened));
    }
    // Generous reply time-out: the responder thread shares two noisy cores.
    const Damiao yaw_{Duration::from_millis(500), kLimits, 0x001, 0x011};
    const Damiao pitch_{Duration::from_millis(500), kLimits, 0x002, 0x012};
    std::optional<SocketCanTransport> bus_;
};

TEST_F(DamiaoOverSocket, EnableCommandAndReadBack) {
    ResponderMotor motor(0x001, 0x011, 1, true);
    ASSERT_TRUE(motor.ok());
    ASSERT_TRUE(yaw_.ensure_control_mode(*bus_, ControlMode::MIT).has_value());
    const auto enabled = yaw_.enable(*bus_);
    ASSERT_TRUE(enabled.has_value()) << enabled.error().message();
    EXPECT_EQ(enabled->high_nibble, 1);
    EXPECT_EQ(enabled->low_nibble, 1);
    EXPECT_EQ(enabled->tail, 0x21);

    const auto moved = yaw_.control(*bus_, ControlCommand::Mit{{0.45F, 0, 60, 2, 0}});
    ASSERT_TRUE(moved.has_value()) << moved.error().message();
    EXPECT_NEAR(moved->position, 0.45F, 0.001F);
    const auto feedback = yaw_.request_feedback(*bus_);
    ASSERT_TRUE(feedback.has_value()) << feedback.error().message();
    EXPECT_EQ(feedback->position, moved->position);

    ASSERT_TRUE(yaw_.disable(*bus_).has_value());
    EXPECT_FALSE(motor.enabled());
}

TEST_F(DamiaoOverSocket, ModeChangeIsWrittenAndVerified) {
    ResponderMotor motor(0x001, 0x011, 3, true);
    ASSERT_TRUE(motor.ok());
    const auto result = yaw_.ensure_control_mode(*bus_, ControlMode::MIT);
    ASSERT_TRUE(result.has_value()) << result.error().message();
    EXPECT_EQ(motor.mode(), 1U);
    const auto read = yaw_.read_register(*bus_, registers::CTRL_MODE);
    ASSERT_TRUE(read.has_value()) << read.error().message();
    EXPECT_EQ(*read, RegisterValue::Uint32(1));
}

TEST_F(DamiaoOverSocket, MotorRefusingTheModeIsAMismatch) {
    ResponderMotor motor(0x001, 0x011, 2, false);
    ASSERT_TRUE(motor.ok());
    const auto result = yaw_.ensure_control_mode(*bus_, ControlMode::MIT);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().message(),
              "control mode verification failed: wrote 1, motor reports 2");
}

TEST_F(DamiaoOverSocket, AbsentMotorTimesOut) {
    ResponderMotor motor(0x001, 0x011, 1, true);
    ASSERT_TRUE(motor.ok());
    const Damiao quick_pitch{Duration::from_millis(200), kLimits, 0x002, 0x012};
    const auto state = quick_pitch.enable(*bus_);
    ASSERT_FALSE(state.has_value());
    EXPECT_EQ(state.error().message(), "transport error: timeout waiting for frame");
    // Yaw's motor saw the frame but, not being addressed, stayed silent.
    EXPECT_GE(motor.frames_seen(), 1);
    EXPECT_FALSE(motor.enabled());
}

TEST_F(DamiaoOverSocket, TwoMotorsShareOneTransport) {
    ResponderMotor yaw_motor(0x001, 0x011, 1, true);
    ResponderMotor pitch_motor(0x002, 0x012, 1, true);
    ASSERT_TRUE(yaw_motor.ok() && pitch_motor.ok());
    const auto a = yaw_.control(*bus_, ControlCommand::Mit{{1.0F, 0, 10, 1, 0}});
    const auto b = pitch_.control(*bus_, ControlCommand::Mit{{-1.0F, 0, 10, 1, 0}});
    ASSERT_TRUE(a.has_value()) << a.error().message();
    ASSERT_TRUE(b.has_value()) << b.error().message();
    EXPECT_NEAR(a->position, 1.0F, 0.001F);
    EXPECT_NEAR(b->position, -1.0F, 0.001F);
    EXPECT_EQ(a->low_nibble, 1);
    EXPECT_EQ(b->low_nibble, 2);
}

}  // namespace
