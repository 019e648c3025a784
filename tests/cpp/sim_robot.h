// The simulated robot in process for C++ tests: seven servos on a pseudo-terminal and three
// neck motors on the CAN stand-in (the interface named by WENLO_CAN_IFACE), plus a log sink
// that keeps every record.
#pragma once

#include "common/log.h"
#include "damiaosim/motor_bus.hpp"
#include "servosim/servo_bus_simulator.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace wenlo_test {

inline std::string can_iface() {
    const char* name = std::getenv("WENLO_CAN_IFACE");
    return name != nullptr ? name : "can0";
}

struct LogRecord {
    std::string target;
    wenlo::log::Level level;
    std::string message;
};

class Records final : public wenlo::log::Sink {
public:
    bool enabled(std::string_view, wenlo::log::Level) override { return true; }
    void log(std::string_view target, wenlo::log::Level level, std::string_view message,
             const char*, std::uint32_t) override {
        std::lock_guard lock(mutex_);
        records_.push_back({std::string(target), level, std::string(message)});
    }
    std::vector<LogRecord> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(records_, {});
    }
    // The messages of one target and level, taking every record out.
    std::vector<std::string> take(std::string_view target, wenlo::log::Level level) {
        std::vector<std::string> lines;
        for (const LogRecord& r : take()) {
            if (r.target == target && r.level == level) {
                lines.push_back(r.message);
            }
        }
        return lines;
    }

private:
    std::mutex mutex_;
    std::vector<LogRecord> records_;
};

// Installed once per process as the log sink.
inline Records& records() {
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

    std::unique_ptr<servosim::ServoBusSimulator> servos_;
    std::unique_ptr<damiaosim::MotorBus> motors_;
};

}  // namespace wenlo_test
