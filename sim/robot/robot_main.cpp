// The simulated robot: servos 1 to 4 (SM40BL) and 5 to 7 (STS3025BL) on a pseudo-terminal,
// the neck motors 1 to 3 on a CAN interface. Prints "ready SERIAL_PATH IFACE", then answers
// one command a line on stdin until "quit" or end of input.
#include "robot_commands.h"

#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include <unistd.h>

namespace {

std::vector<damiaosim::MotorConfig> neck_motors(const std::array<double, 3>& start) {
    damiaosim::MotorConfig yaw;
    yaw.motor_id = 1;
    yaw.master_id = 1;
    yaw.ranges = {12.5f, 30.0f, 500.0f, 5.0f, 10.0f};
    damiaosim::MotorConfig pitch = yaw;
    pitch.motor_id = 2;
    pitch.master_id = 2;
    pitch.ranges = {12.5f, 10.0f, 500.0f, 5.0f, 28.0f};
    damiaosim::MotorConfig roll = pitch;
    roll.motor_id = 3;
    roll.master_id = 3;
    yaw.start_position = start[0];
    pitch.start_position = start[1];
    roll.start_position = start[2];
    return {yaw, pitch, roll};
}

int usage(const char* self) {
    std::fprintf(stderr,
                 "usage: %s [--iface NAME] [--wire-time] [--neck-start YAW,PITCH,ROLL]"
                 " [--servo-speed STEPS_PER_S] [--neck-watchdog-feeds any|control]"
                 " [--serial-link PATH]\n",
                 self);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string iface = "can0";
    servosim::SimulatorOptions options;
    std::array<double, 3> start{0.0, 0.0, 0.0};
    auto feeds = damiaosim::WatchdogFeeds::Control;
    std::string serial_link;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--iface") == 0 && i + 1 < argc) {
            iface = argv[++i];
        } else if (std::strcmp(argv[i], "--wire-time") == 0) {
            options.wire_time = true;
        } else if (std::strcmp(argv[i], "--servo-speed") == 0 && i + 1 < argc) {
            // How fast the servos follow their goals; 0 reaches every goal at once.
            char* end = nullptr;
            const double speed = std::strtod(argv[++i], &end);
            if (end == argv[i] || *end != '\0' || !(speed >= 0.0)) {
                return usage(argv[0]);
            }
            options.motion = speed > 0.0
                                 ? servosim::Motion{speed, servosim::kRealisticMotion.time_constant}
                                 : servosim::kInstantMotion;
        } else if (std::strcmp(argv[i], "--neck-watchdog-feeds") == 0 && i + 1 < argc) {
            // Which frames restart the neck motors' communication time-out.
            auto chosen = wenlo::sim::watchdog_feeds(argv[++i]);
            if (!chosen) {
                return usage(argv[0]);
            }
            feeds = *chosen;
        } else if (std::strcmp(argv[i], "--serial-link") == 0 && i + 1 < argc) {
            // A stable path that always points at the servo line, as /dev/serial/by-id/... does.
            serial_link = argv[++i];
        } else if (std::strcmp(argv[i], "--neck-start") == 0 && i + 1 < argc) {
            // Multi-turn positions the neck motors stand at, as after a power cycle.
            if (std::sscanf(argv[++i], "%lf,%lf,%lf", &start[0], &start[1], &start[2]) != 3) {
                return usage(argv[0]);
            }
        } else {
            return usage(argv[0]);
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    auto servos = servosim::ServoBusSimulator::start_robot_bus(options);
    if (!servos) {
        std::fprintf(stderr, "wenlo-sim-robot: servo bus: %s\n",
                     servos.error().message().c_str());
        return 1;
    }
    auto motors = damiaosim::MotorBus::open(iface, neck_motors(start));
    if (!motors) {
        std::fprintf(stderr, "wenlo-sim-robot: CAN bus '%s': %s\n", iface.c_str(),
                     motors.error().message().c_str());
        return 1;
    }
    (*motors)->set_wire_time(options.wire_time);
    (*motors)->set_watchdog_feeds(feeds);
    if (auto started = (*motors)->start(); !started) {
        std::fprintf(stderr, "wenlo-sim-robot: %s\n", started.error().message().c_str());
        return 1;
    }
    wenlo::sim::Robot robot{servos->get(), motors->get(), iface, serial_link};
    if (auto failed = wenlo::sim::point_serial_link(robot)) {
        std::fprintf(stderr, "wenlo-sim-robot: %s\n", failed->c_str());
        return 1;
    }
    std::cout << "ready " << (*servos)->slave_path() << " " << iface << std::endl;
    for (std::string line; std::getline(std::cin, line);) {
        if (line == "quit") {
            std::cout << "ok" << std::endl;
            break;
        }
        std::cout << wenlo::sim::run_command(robot, line) << std::endl;
    }
    (*motors)->stop();
    (*servos)->stop();
    if (!serial_link.empty()) {
        ::unlink(serial_link.c_str());
    }
    return 0;
}
