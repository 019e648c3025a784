// The controller's presence checks and reboot against the simulated robot, in process.
#include "controller/controller.h"
#include "controller/usb_latency.h"
#include "serialbus/serial_port.hpp"
#include "sim_robot.h"

#include <filesystem>
#include <fstream>

#include <chrono>
#include <limits>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using wenlo::controller::MotorController;
using wenlo_test::can_iface;

// Warnings of the controller, as they were logged.
std::vector<std::string> warnings() {
    return wenlo_test::records().take(wenlo::log::kControllerTarget, wenlo::log::Level::Warn);
}

class Robot : public wenlo_test::Robot {
protected:
    MotorController controller(bool with_serial = true) {
        auto c = MotorController::create(
            with_serial ? std::optional<std::string>(servos_->slave_path()) : std::nullopt,
            can_iface());
        EXPECT_TRUE(c) << (c ? "" : c.error().message());
        return std::move(*c);
    }
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
    EXPECT_TRUE(warnings().empty());
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
    EXPECT_EQ(warnings(), expected);
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
    auto lines = warnings();
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
    EXPECT_EQ(warnings().size(), 14u);
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

// The USB latency timer, in a made-up sysfs tree: above 1 ms it is reported once with its fix
// (the pseudo-terminal refuses the low-latency flag, as an adapter without one would); at 1 ms,
// or without such a timer at all, nothing is said.
TEST_F(Robot, AHighUsbLatencyTimerIsReportedWithItsFix) {
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / ("wenlo-sysfs-" + std::to_string(getpid()));
    const fs::path device = root / "dev" / "ttyUSB7";
    const fs::path timer = root / "class" / "tty" / "ttyUSB7" / "device" / "latency_timer";
    fs::create_directories(device.parent_path());
    fs::create_directories(timer.parent_path());
    std::ofstream(device).put('\n');
    auto port = serialbus::SerialPort::open(servos_->slave_path());
    ASSERT_TRUE(port);
    auto said = [&](const char* value) {
        if (value != nullptr) {
            std::ofstream(timer) << value << "\n";
        } else {
            fs::remove(timer);
        }
        warnings();
        wenlo::controller::check_usb_latency(device.string(), port->native_handle(), root.string());
        return warnings();
    };
    EXPECT_EQ(said("16"),
              std::vector<std::string>{
                  "serial port '" + device.string() +
                  "': its USB latency timer is 16 ms, so each answer may wait that long. Set it "
                  "to 1 ms: echo 1 | sudo tee /sys/bus/usb-serial/devices/ttyUSB7/latency_timer; "
                  "for good, a udev rule: ACTION==\"add\", SUBSYSTEM==\"usb-serial\", "
                  "DRIVER==\"ftdi_sio\", ATTR{latency_timer}=\"1\""});
    EXPECT_TRUE(said("1").empty());
    EXPECT_TRUE(said(nullptr).empty());
    // A pseudo-terminal as it is: no timer in the real tree either.
    wenlo::controller::check_usb_latency(servos_->slave_path(), port->native_handle());
    EXPECT_TRUE(warnings().empty());
    fs::remove_all(root);
}

}  // namespace
