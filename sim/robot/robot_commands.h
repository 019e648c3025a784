// The line protocol of the simulated robot: one command a line, one answer line each,
// "ok ..." or "error ...".
#pragma once

#include "damiaosim/motor_bus.hpp"
#include "servosim/servo_bus_simulator.hpp"

#include <optional>
#include <string>

namespace wenlo::sim {

struct Robot {
    servosim::ServoBusSimulator* servos;
    damiaosim::MotorBus* motors;
    std::string iface;
};

// "any" or "control", as the option and the command spell them.
std::optional<damiaosim::WatchdogFeeds> watchdog_feeds(const std::string& name);
std::string watchdog_feeds_name(damiaosim::WatchdogFeeds feeds);

// Runs one command line and returns the answer line (without the newline).
std::string run_command(Robot& robot, const std::string& line);

}  // namespace wenlo::sim
