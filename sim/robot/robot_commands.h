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
    // A stable name for the servo line, as /dev/serial/by-id/... is on a robot: a symbolic link
    // to the current pseudo-terminal, gone while the line is unplugged. Empty: none.
    std::string serial_link;
};

// Points the serial link at the current line (replacing it in one step); an error text if not.
std::optional<std::string> point_serial_link(const Robot& robot);

// "any" or "control", as the option and the command spell them.
std::optional<damiaosim::WatchdogFeeds> watchdog_feeds(const std::string& name);
std::string watchdog_feeds_name(damiaosim::WatchdogFeeds feeds);

// Runs one command line and returns the answer line (without the newline).
std::string run_command(Robot& robot, const std::string& line);

}  // namespace wenlo::sim
