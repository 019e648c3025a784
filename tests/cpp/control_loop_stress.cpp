// Start, command, read and close, over and over, with four threads on each loop: under
// ThreadSanitizer this is where a data race or a lock-order problem of the loop would show.
// WENLO_STRESS_CYCLES sets the number of cycles (1,000 by default).
#include "control_loop/control_loop.h"
#include "damiaosim/motor_bus.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using namespace wenlo::control_loop;
using wenlo::Duration;

std::string iface() {
    const char* name = std::getenv("WENLO_CAN_IFACE");
    return name != nullptr ? name : "can0";
}

// Waits for room as the bindings do; a queue that stays full this long is a fault.
SendStatus send(ControlLoop& loop, MotorCommand& command) {
    return loop.send_until(command, std::chrono::steady_clock::now() + 30s);
}

int cycles() {
    const char* text = std::getenv("WENLO_STRESS_CYCLES");
    return text != nullptr ? std::atoi(text) : 1000;
}

TEST(ControlLoopStress, StartCommandReadCloseWithFourThreads) {
    std::vector<damiaosim::MotorConfig> motors(3);
    for (std::uint16_t i = 0; i < 3; ++i) {
        motors[i].motor_id = motors[i].master_id = static_cast<std::uint16_t>(i + 1);
    }
    auto bus = damiaosim::MotorBus::open(iface(), motors);
    ASSERT_TRUE(bus) << bus.error().message();
    ASSERT_TRUE((*bus)->start());

    LoopConfig config;
    config.can_bus = iface();
    config.period = Duration::from(1ms);
    config.stats_pub_period = Duration::from(2ms);
    std::uint64_t commands = 0;
    std::uint64_t replies = 0;
    const int n = cycles();
    std::uint64_t start_retries = 0;
    for (int cycle = 0; cycle < n; ++cycle) {
        // Under a sanitizer the simulated motors can miss the 20 ms reply time-out of the
        // start-up's presence check; that is the check working, so such a start is tried again.
        auto started = ControlLoop::start(config);
        for (int attempt = 0; !started && attempt < 5; ++attempt) {
            ++start_retries;
            started = ControlLoop::start(config);
        }
        ASSERT_TRUE(started) << started.error().message();
        ControlLoop& loop = **started;
        std::atomic<std::uint64_t> sent{0};
        std::atomic<std::uint64_t> answered{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                for (int k = 0; k < 5; ++k) {
                    MotorCommand command = command::SetNeckPitchPosition{0.01 * (t + k)};
                    if (send(loop, command) == SendStatus::Sent) {
                        ++sent;
                    }
                    auto [reply, receiver] = reply_channel<Bytes>();
                    MotorCommand read = command::ReadRawBytes{1, 0, 1, std::move(reply)};
                    if (send(loop, read) == SendStatus::Sent &&
                        receiver.wait_until(std::chrono::steady_clock::now() + 2s).error() ==
                            ReplyError::Closed) {
                        ++answered;  // neck-only: the worker closes the channel at once
                    }
                    (void)loop.get_last_position();
                    (void)loop.get_stats();
                    (void)loop.is_torque_enabled();
                }
                if (t == 3) {
                    loop.close();  // while the others may still be sending
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        loop.close();
        commands += sent;
        replies += answered;
    }
    std::printf("%d cycles: %llu commands queued, %llu reply channels closed by the worker, "
                "%llu start-ups tried again\n",
                n, static_cast<unsigned long long>(commands), static_cast<unsigned long long>(replies),
                static_cast<unsigned long long>(start_retries));
    EXPECT_GT(commands, 0u);
    (*bus)->stop();
}

}  // namespace
