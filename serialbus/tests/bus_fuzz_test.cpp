#include <gtest/gtest.h>

#include <random>

#include "bus_fixture.hpp"
#include "serialbus/feetech_protocol/feetech.hpp"

namespace {

using namespace std::chrono_literals;
using serialbus::feetech_protocol::feetech::checksum;
using serialbus::feetech_protocol::feetech::Instruction;
using serialbus::feetech_protocol::feetech::InstructionPacketFeetech;
using Bytes = std::vector<std::uint8_t>;

// Random and mutated answers on the line, read as a status packet. Every outcome is a value;
// afterwards the bus still works.
TEST_F(BusTimeoutTest, RandomAnswersNeverBreakTheReader) {
    sim->set_unpowered(1, true);
    std::mt19937 random(777);
    std::uniform_int_distribution<int> byte(0, 255);
    const InstructionPacketFeetech ping(1, Instruction::Ping);
    testing::internal::CaptureStdout();
    int accepted = 0;
    for (int round = 0; round < 150; ++round) {
        Bytes answer{0xFF, 0xFF, 1, 0, 0};
        const std::size_t data = static_cast<std::size_t>(byte(random) % 5);
        answer[3] = static_cast<std::uint8_t>(data + 2);
        for (std::size_t i = 0; i < data; ++i) {
            answer.push_back(static_cast<std::uint8_t>(byte(random)));
        }
        answer.push_back(checksum(std::span(answer).subspan(2)));
        if (round % 3 != 0) {
            answer[static_cast<std::size_t>(byte(random)) % answer.size()] =
                static_cast<std::uint8_t>(byte(random));
        }
        if (round % 5 == 0) {
            answer.resize(static_cast<std::size_t>(byte(random)) % answer.size());
        }
        // Sent first: bytes that arrive before a request (or soon after a failed answer) are
        // dropped as another request's stragglers.
        ASSERT_TRUE(handler.send_instruction_packet(*port, ping).has_value());
        sim->inject(answer, 1ms);
        auto status = handler.read_status_packet(*port, 1);
        if (status) {
            ++accepted;
            EXPECT_EQ((*status)->id(), 1);
        }
        std::this_thread::sleep_for(1ms);
    }
    testing::internal::GetCapturedStdout();
    EXPECT_GT(accepted, 0);
    sim->set_unpowered(1, false);
    std::this_thread::sleep_for(15ms);
    // A few attempts: on a loaded machine one 10 ms answer may come late.
    bool alive = false;
    for (int attempt = 0; attempt < 5 && !alive; ++attempt) {
        auto ping = handler.ping(*port, 1);
        ASSERT_TRUE(ping.has_value());
        alive = *ping;
    }
    EXPECT_TRUE(alive);
}

}  // namespace
