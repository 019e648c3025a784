#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

#include <unistd.h>

#include "serialbus/serial_port.hpp"
#include "servosim/servo_bus_simulator.hpp"

namespace {

using namespace std::chrono_literals;
using serialbus::IoErrorKind;
using serialbus::SerialPort;
using Clock = std::chrono::steady_clock;

std::size_t open_descriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

class SerialPortTest : public testing::Test {
  protected:
    void SetUp() override {
        auto started = servosim::ServoBusSimulator::start();
        ASSERT_TRUE(started.has_value()) << started.error().message();
        sim = std::move(*started);
    }
    std::unique_ptr<servosim::ServoBusSimulator> sim;
};

TEST(SerialPortOpen, MissingPathFailsAndLeavesNothingOpen) {
    const std::size_t before = open_descriptors();
    auto port = SerialPort::open("/dev/does-not-exist-wenlo");
    ASSERT_FALSE(port.has_value());
    EXPECT_EQ(port.error().message(), "No such file or directory");
    EXPECT_EQ(open_descriptors(), before);
}

TEST(SerialPortOpen, NonTerminalFailsAndLeavesNothingOpen) {
    const std::size_t before = open_descriptors();
    auto port = SerialPort::open("/dev/null");
    ASSERT_FALSE(port.has_value());
    EXPECT_FALSE(port.error().message().empty());
    EXPECT_EQ(open_descriptors(), before);
}

TEST_F(SerialPortTest, AppliesBusSettings) {
    auto port = SerialPort::open(sim->slave_path());
    ASSERT_TRUE(port.has_value()) << port.error().message();
    auto settings = port->settings();
    ASSERT_TRUE(settings.has_value());
    EXPECT_TRUE(settings->custom_rate);
    EXPECT_EQ(settings->input_baud, 1'000'000U);
    EXPECT_EQ(settings->output_baud, 1'000'000U);
    EXPECT_EQ(settings->data_bits, 8U);
    EXPECT_FALSE(settings->parity);
    EXPECT_FALSE(settings->two_stop_bits);
    EXPECT_FALSE(settings->hardware_flow_control);
    EXPECT_FALSE(settings->software_flow_control);
    EXPECT_TRUE(settings->ignore_parity_errors);
    EXPECT_TRUE(settings->receiver_enabled);
    EXPECT_TRUE(settings->ignore_modem_lines);
    EXPECT_TRUE(settings->raw);
    EXPECT_EQ(port->timeout(), 10ms);
}

TEST_F(SerialPortTest, SecondOpenFailsOnTheLockAndFirstStaysUsable) {
    auto opened = SerialPort::open(sim->slave_path());
    ASSERT_TRUE(opened.has_value()) << opened.error().message();
    auto first = std::make_optional(std::move(*opened));
    const std::size_t before = open_descriptors();
    auto second = SerialPort::open(sim->slave_path());
    ASSERT_FALSE(second.has_value());
    // Root passes TIOCEXCL and meets the lock; others are turned away by the exclusive mode.
    const std::string text = second.error().message();
    if (geteuid() == 0) {
        EXPECT_EQ(text, "Unable to acquire exclusive lock on serial port");
    } else {
        EXPECT_EQ(text, "Device or resource busy");
    }
    EXPECT_EQ(open_descriptors(), before);

    const std::vector<std::uint8_t> ping{0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB};
    ASSERT_TRUE(first->write_all(ping).has_value());
    EXPECT_TRUE(sim->wait_for_received(ping.size(), 1s));
    EXPECT_EQ(sim->received(), ping);

    // Closing the first releases the lock.
    first.reset();
    EXPECT_TRUE(SerialPort::open(sim->slave_path()).has_value());
}

TEST_F(SerialPortTest, ReadWithNothingOnTheLineTimesOut) {
    auto port = SerialPort::open(sim->slave_path());
    ASSERT_TRUE(port.has_value());
    std::array<std::uint8_t, 4> buffer{};
    const auto start = Clock::now();
    auto read = port->read_exact(buffer);
    const auto waited = Clock::now() - start;
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error().kind(), IoErrorKind::TimedOut);
    EXPECT_EQ(read.error().message(), "Operation timed out");
    EXPECT_GE(waited, 9ms);
}

TEST_F(SerialPortTest, ReadGathersPiecesAndCountsWaitingBytes) {
    auto port = SerialPort::open(sim->slave_path());
    ASSERT_TRUE(port.has_value());
    EXPECT_EQ(port->bytes_to_read().value_or(99), 0U);
    const std::vector<std::uint8_t> first{1, 2, 3};
    const std::vector<std::uint8_t> second{4, 5};
    sim->inject(first);
    sim->inject(second, 5ms);  // shorter than the time-out: one read_exact takes both
    std::array<std::uint8_t, 5> buffer{};
    ASSERT_TRUE(port->read_exact(buffer).has_value());
    EXPECT_EQ(buffer, (std::array<std::uint8_t, 5>{1, 2, 3, 4, 5}));

    sim->inject(first);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(port->bytes_to_read().value_or(0), 3U);
    EXPECT_TRUE(port->flush().has_value());
    EXPECT_TRUE(port->read_exact(std::span<std::uint8_t>()).has_value());
}

TEST_F(SerialPortTest, CustomTimeoutIsHonoured) {
    auto port = SerialPort::open(sim->slave_path(), serialbus::kBusBaudRate, 40ms);
    ASSERT_TRUE(port.has_value());
    std::array<std::uint8_t, 1> buffer{};
    const auto start = Clock::now();
    EXPECT_FALSE(port->read_exact(buffer).has_value());
    EXPECT_GE(Clock::now() - start, 38ms);
}

// A vanished adapter, as a pseudo-terminal whose master closed shows it: every operation fails
// and the port says why; the same path then holds nothing, and the new line opens as before.
TEST_F(SerialPortTest, UnpluggedLineSaysItVanished) {
    const std::string path = sim->slave_path();
    auto port = SerialPort::open(path);
    ASSERT_TRUE(port.has_value());
    const std::array<std::uint8_t, 2> ping{0xFF, 0xFF};
    ASSERT_TRUE(port->write_all(ping).has_value());
    std::array<std::uint8_t, 1> one{};
    EXPECT_EQ(port->read_exact(one).error().kind(), IoErrorKind::TimedOut);
    EXPECT_FALSE(port->vanished().has_value()) << "a silent line is not a vanished one";

    ASSERT_TRUE(sim->unplug());
    EXPECT_FALSE(sim->unplug());
    EXPECT_FALSE(port->bytes_to_read().has_value());
    EXPECT_FALSE(port->write_all(ping).has_value());
    EXPECT_FALSE(port->read_exact(one).has_value());
    EXPECT_EQ(port->vanished(), std::optional<int>(EIO));
    EXPECT_FALSE(std::filesystem::exists(path));

    port = std::unexpected(serialbus::SerialPortError::from_errno(EIO));  // closed at once
    ASSERT_TRUE(sim->replug());
    auto again = SerialPort::open(sim->slave_path());
    ASSERT_TRUE(again.has_value()) << again.error().message();
    EXPECT_TRUE(again->bytes_to_read().has_value());
    EXPECT_FALSE(again->vanished().has_value());
}

}  // namespace
