// The controller's presence checks and reboot against the simulated robot, in process.
#include "common/log.h"
#include "controller/controller.h"
#include "damiaosim/motor_bus.hpp"
#include "servosim/servo_bus_simulator.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using wenlo::controller::MotorController;

std::string can_iface() {
    const char* name = std::getenv("WENLO_CAN_IFACE");
    return name != nullptr ? name : "can0";
}

// Collects the records the controller logs.
class Records final : public wenlo::log::Sink {
public:
    bool enabled(std::string_view, wenlo::log::Level) override { return true; }
    void log(std::string_view target, wenlo::log::Level level, std::string_view message,
             const char*, std::uint32_t) override {
        std::lock_guard lock(mutex_);
        if (target == wenlo::log::kControllerTarget && level == wenlo::log::Level::Warn) {
            lines_.emplace_back(message);
        }
    }
    std::vector<std::string> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(lines_, {});
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

Records& records() {
    static Records* sink = [] {
        auto* r = new Records();
        EXPECT_TRUE(wenlo::log::set_sink(r));
        return r;
    }();
    return *sink;
}

class Robot : public ::testing::Test {
protected:
    void SetUp() override {
        records().take();
        auto servos = servosim::ServoBusSimulator::start_robot_bus();
        ASSERT_TRUE(servos) << servos.error().message();
        servos_ = std::move(*servos);
        std::vector<damiaosim::MotorConfig> motors(3);
        for (std::uint16_t i = 0; i < 3; ++i) {
            motors[i].motor_id = motors[i].master_id = static_cast<std::uint16_t>(i + 1);
        }
        auto bus = damiaosim::MotorBus::open(can_iface(), motors);
        ASSERT_TRUE(bus) << bus.error().message();
        motors_ = std::move(*bus);
        ASSERT_TRUE(motors_->start());
    }
    void TearDown() override {
        if (motors_) {
            motors_->stop();
        }
        if (servos_) {
            servos_->stop();
        }
    }
    MotorController controller(bool with_serial = true) {
        auto c = MotorController::create(
            with_serial ? std::optional<std::string>(servos_->slave_path()) : std::nullopt,
            can_iface());
        EXPECT_TRUE(c) << (c ? "" : c.error().message());
        return std::move(*c);
    }

    std::unique_ptr<servosim::ServoBusSimulator> servos_;
    std::unique_ptr<damiaosim::MotorBus> motors_;
};

TEST_F(Robot, CheckMissingIdsListsSilentServosInLayoutOrder) {
    MotorController c = controller();
    EXPECT_TRUE(c.check_missing_ids().empty());
    EXPECT_EQ(servos_->packets_handled(), 7u);  // seven pings
    servos_->set_unpowered(6, true);
    servos_->set_unpowered(3, true);
    EXPECT_EQ(c.check_missing_ids(), (std::vector<std::uint8_t>{3, 6}));
}

TEST_F(Robot, NeckOnlyControllerHasNoSerialTrafficAndNothingMissing) {
    MotorController c = controller(false);
    EXPECT_FALSE(c.has_serial_port());
    EXPECT_TRUE(c.check_missing_ids().empty());
    EXPECT_TRUE(c.reboot(1s));
    EXPECT_TRUE(records().take().empty());
    EXPECT_TRUE(servos_->received().empty());
    auto positions = c.read_all_positions();
    ASSERT_FALSE(positions);
    EXPECT_EQ(positions.error().message(), "serial port not configured (neck-only controller)");
}

TEST_F(Robot, CheckMissingNeckMotorsNamesTheSilentOnes) {
    MotorController c = controller();
    EXPECT_TRUE(c.check_missing_neck_motors().empty());
    ASSERT_TRUE(motors_->set_connected(2, false));
    ASSERT_TRUE(motors_->set_connected(3, false));
    EXPECT_EQ(c.check_missing_neck_motors(),
              (std::vector<std::string>{"neck_pitch", "neck_roll"}));
}

TEST_F(Robot, RebootLogsEachServoAndWaitsForAllToAnswer) {
    MotorController c = controller();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(c.reboot(1s));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
    const std::vector<std::string> expected = {
        "Rebooting motor left_arm_pitch (id=1)",  "Rebooting motor left_arm_yaw (id=2)",
        "Rebooting motor right_arm_pitch (id=3)", "Rebooting motor right_arm_yaw (id=4)",
        "Rebooting motor nose_top (id=5)",        "Rebooting motor nose_left (id=6)",
        "Rebooting motor nose_right (id=7)"};
    EXPECT_EQ(records().take(), expected);
}

TEST_F(Robot, RebootNamesTheServosThatStaySilent) {
    MotorController c = controller();
    servos_->set_unpowered(6, true);
    const auto start = std::chrono::steady_clock::now();
    auto done = c.reboot(1s);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);
    ASSERT_FALSE(done);
    EXPECT_EQ(done.error().message(),
              "Some motors did not respond after reboot ([\"nose_left\"] - ids: [6])");
    auto lines = records().take();
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines.back(), "Motor nose_left (id=6) did not respond after reboot within timeout");
}

TEST_F(Robot, RebootWithZeroTimeoutPollsNobody) {
    MotorController c = controller();
    auto done = c.reboot(0s);
    ASSERT_FALSE(done);
    EXPECT_EQ(done.error().message(),
              "Some motors did not respond after reboot ([\"left_arm_pitch\", \"left_arm_yaw\", "
              "\"right_arm_pitch\", \"right_arm_yaw\", \"nose_top\", \"nose_left\", "
              "\"nose_right\"] - ids: [1, 2, 3, 4, 5, 6, 7])");
    EXPECT_EQ(records().take().size(), 14u);
}

TEST_F(Robot, ServoThatAnswersOnlyInALaterPassIsStillWaitedFor) {
    MotorController c = controller();
    ASSERT_TRUE(servos_->set_reboot_silence(3, 250ms));
    ASSERT_TRUE(c.reboot(1s));
}

TEST(HomingBudget, AddsTheExtraCyclesAndNeverWraps) {
    EXPECT_EQ(wenlo::controller::homing_cycle_budget(3.141592653589793, 0.004), 785u + 2000u);
    EXPECT_EQ(wenlo::controller::homing_cycle_budget(0.0, 0.004), 2000u);
    EXPECT_EQ(wenlo::controller::homing_cycle_budget(0.5, 1e-300),
              std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(wenlo::controller::homing_cycle_budget(1.0, 5e-324),
              std::numeric_limits<std::uint64_t>::max());
}

}  // namespace
