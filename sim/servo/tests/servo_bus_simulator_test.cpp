#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "servosim/servo_bus_simulator.hpp"

namespace {

using namespace std::chrono_literals;
using servosim::Bytes;
using servosim::ServoBusSimulator;
using Clock = std::chrono::steady_clock;

std::uint8_t sum_not(const Bytes& bytes, std::size_t from) {
    unsigned sum = 0;
    for (std::size_t i = from; i < bytes.size(); ++i) {
        sum += bytes[i];
    }
    return static_cast<std::uint8_t>(~sum);
}

Bytes instruction(std::uint8_t id, std::uint8_t code, Bytes params = {}) {
    Bytes packet{0xFF, 0xFF, id, static_cast<std::uint8_t>(params.size() + 2), code};
    packet.insert(packet.end(), params.begin(), params.end());
    packet.push_back(sum_not(packet, 2));
    return packet;
}

Bytes status(std::uint8_t id, Bytes data = {}, std::uint8_t error = 0) {
    Bytes packet{0xFF, 0xFF, id, static_cast<std::uint8_t>(data.size() + 2), error};
    packet.insert(packet.end(), data.begin(), data.end());
    packet.push_back(sum_not(packet, 2));
    return packet;
}

// A bare client on the slave side, independent of the serial library.
class SimulatorTest : public testing::Test {
  protected:
    void SetUp() override {
        auto started = ServoBusSimulator::start_robot_bus(options());
        ASSERT_TRUE(started.has_value()) << started.error().message();
        sim = std::move(*started);
        fd = ::open(sim->slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        termios tio{};
        ASSERT_EQ(tcgetattr(fd, &tio), 0);
        cfmakeraw(&tio);
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &tio), 0);
    }
    void TearDown() override {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    virtual servosim::SimulatorOptions options() { return {}; }

    void send(const Bytes& bytes) const {
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Everything that arrives until the line has been quiet for `quiet`.
    Bytes collect(std::chrono::milliseconds quiet = 60ms) const {
        Bytes got;
        pollfd entry{fd, POLLIN, 0};
        while (poll(&entry, 1, static_cast<int>(quiet.count())) > 0) {
            std::uint8_t buffer[512];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

    std::unique_ptr<ServoBusSimulator> sim;
    int fd = -1;
};

TEST_F(SimulatorTest, PacketArrivingByteByByteIsAnswered) {
    const Bytes ping = instruction(3, 0x01);
    for (std::uint8_t byte : ping) {
        send({byte});
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(collect(), status(3));
    EXPECT_EQ(sim->received(), ping);
}

TEST_F(SimulatorTest, GarbageAndBadChecksumsAreSkipped) {
    Bytes bad = instruction(1, 0x01);
    bad.back() ^= 0xFF;
    Bytes stream{0x00, 0xFF, 0x13, 0xFF, 0xFF, 0xFF};
    stream.insert(stream.end(), bad.begin(), bad.end());
    const Bytes good = instruction(2, 0x02, {servosim::PRESENT_VOLTAGE, 1});
    stream.insert(stream.end(), good.begin(), good.end());
    send(stream);
    EXPECT_EQ(collect(), status(2, {120}));
    EXPECT_EQ(sim->packets_handled(), 1U);
}

TEST_F(SimulatorTest, StalledPartialPacketDoesNotSwallowTheNext) {
    send({0xFF, 0xFF, 0x01, 0xFA});  // promises 250 bytes that never come
    std::this_thread::sleep_for(15ms);
    send(instruction(1, 0x01));
    EXPECT_EQ(collect(), status(1));
}

TEST_F(SimulatorTest, SyncReadAnswersInRequestOrderSkippingSilentServos) {
    sim->set_unpowered(2, true);
    sim->set_position(3, 300);
    sim->set_position(1, -5);
    send(instruction(0xFE, 0x82, {servosim::PRESENT_POSITION, 2, 3, 2, 1}));
    Bytes expected = status(3, {0x2C, 0x01});
    const Bytes one = status(1, {0xFB, 0xFF});
    expected.insert(expected.end(), one.begin(), one.end());
    EXPECT_EQ(collect(), expected);
}

TEST_F(SimulatorTest, SyncWriteIsAppliedAndUnanswered) {
    send(instruction(0xFE, 0x83, {servosim::GOAL_POSITION, 2, 5, 0x10, 0x00, 6, 0x20, 0x00}));
    EXPECT_TRUE(collect().empty());
    EXPECT_EQ(sim->goal_position(5), 16);
    EXPECT_EQ(sim->goal_position(6), 32);
    EXPECT_EQ(sim->present_position(7), servosim::kCentrePosition);
}

TEST_F(SimulatorTest, RebootAnswersThenStaysSilentForAWhile) {
    sim->set_reboot_silence(4, 400ms);
    send(instruction(4, 0x08));
    EXPECT_EQ(collect(), status(4));
    send(instruction(4, 0x01));
    EXPECT_TRUE(collect().empty());
    std::this_thread::sleep_for(450ms);
    send(instruction(4, 0x01));
    EXPECT_EQ(collect(), status(4));
}

TEST_F(SimulatorTest, VoltageRampsUpToNominal) {
    sim->start_voltage_ramp(6, 200ms);
    const auto early = sim->read_registers(6, servosim::PRESENT_VOLTAGE, 1);
    ASSERT_TRUE(early.has_value());
    EXPECT_LT(early->at(0), 110);
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(sim->read_registers(6, servosim::PRESENT_VOLTAGE, 1), Bytes{120});
}

TEST_F(SimulatorTest, PositionFollowsGoalAtTheConfiguredSpeed) {
    sim->set_motion_speed(1, 500.0);                                    // steps per second
    send(instruction(1, 0x03, {servosim::GOAL_POSITION, 0x00, 0x0C}));  // 3072
    EXPECT_EQ(collect(), status(1));
    const auto soon = sim->present_position(1);
    ASSERT_TRUE(soon.has_value());
    EXPECT_LT(*soon, 3072);
    EXPECT_GE(*soon, 2048);
    std::this_thread::sleep_for(2300ms);
    EXPECT_EQ(sim->present_position(1), 3072);
}

// By default a servo moves like a real one: not at once, and never beyond its angle limits.
TEST_F(SimulatorTest, GoalsAreReachedOverTimeAndClampedToTheAngleLimits) {
    auto goal = [&](std::uint8_t id, std::uint16_t raw) {
        send(instruction(id, 0x03, {servosim::GOAL_POSITION, static_cast<std::uint8_t>(raw & 0xFF),
                                    static_cast<std::uint8_t>(raw >> 8)}));
        EXPECT_EQ(collect(), status(id));
    };
    goal(2, 3072);
    std::this_thread::sleep_for(30ms);
    const auto moving = sim->present_position(2);
    ASSERT_TRUE(moving.has_value());
    EXPECT_GT(*moving, 2048 + 20);  // left at once...
    EXPECT_LT(*moving, 3072 - 300);  // ...at a finite speed (3400 steps/s: about 100 in 30 ms)
    std::this_thread::sleep_for(900ms);
    EXPECT_EQ(sim->present_position(2), 3072);

    sim->set_motion(3, servosim::kInstantMotion);
    goal(3, 31382);  // 45 rad: a real servo stops at its maximum angle, the full turn
    EXPECT_EQ(sim->present_position(3), 4095);
    EXPECT_EQ(sim->goal_position(3), 31382);
    goal(3, 0xFFF6);  // -10 steps
    EXPECT_EQ(sim->present_position(3), 0);
    sim->write_registers(3, servosim::MIN_ANGLE_LIMIT, Bytes{0xE8, 0x03, 0xB8, 0x0B});  // 1000, 3000
    goal(3, 3500);
    EXPECT_EQ(sim->present_position(3), 3000);
    goal(3, 500);
    EXPECT_EQ(sim->present_position(3), 1000);
}

TEST_F(SimulatorTest, FaultsShapeTheAnswer) {
    servosim::ServoFaults faults;
    faults.answer_id = 9;
    faults.status_error = 0x20;
    faults.noise_before = {0xAA};
    sim->set_faults(5, faults);
    send(instruction(5, 0x01));
    Bytes expected{0xAA};
    const Bytes answer = status(9, {}, 0x20);
    expected.insert(expected.end(), answer.begin(), answer.end());
    EXPECT_EQ(collect(), expected);

    sim->clear_faults(5);
    faults = {};
    faults.answer_delay = 40ms;
    sim->set_faults(5, faults);
    const auto start = Clock::now();
    send(instruction(5, 0x01));
    EXPECT_EQ(collect(), status(5));
    EXPECT_GE(Clock::now() - start, 40ms);
}

TEST_F(SimulatorTest, UnknownServoAndUnknownInstructionStaySilent) {
    send(instruction(12, 0x01));
    send(instruction(1, 0x06));
    EXPECT_TRUE(collect(20ms).empty());
    EXPECT_EQ(sim->packets_handled(), 2U);
}

class WireTimeTest : public SimulatorTest {
    servosim::SimulatorOptions options() override { return {.wire_time = true}; }
};

TEST_F(WireTimeTest, AnswersTakeLineTime) {
    const auto start = Clock::now();
    send(instruction(0xFE, 0x82, {servosim::PRESENT_POSITION, 2, 1, 2, 3, 4, 5, 6, 7}));
    const Bytes got = collect();
    EXPECT_EQ(got.size(), 7U * 8U);
    // The 15-byte request, then seven answers of 8 bytes, each after the 20 us return delay, at
    // 10 us a byte.
    EXPECT_GE(Clock::now() - start, 150us + 7 * (20us + 80us));
}

}  // namespace
