// Serves the robot's seven servos on a pseudo-terminal until stdin closes or a signal arrives.
#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "servosim/servo_bus_simulator.hpp"

int main(int argc, char** argv) {
    servosim::SimulatorOptions options;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--wire-time") == 0) {
            options.wire_time = true;
        } else {
            std::fprintf(stderr, "usage: %s [--wire-time]\n", argv[0]);
            return 2;
        }
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    // Blocked before the bus thread starts, so only ppoll below ever takes them.
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    auto simulator = servosim::ServoBusSimulator::start_robot_bus(options);
    if (!simulator) {
        std::fprintf(stderr, "servosim: %s\n", simulator.error().message().c_str());
        return 1;
    }
    std::printf("%s\n", (*simulator)->slave_path().c_str());
    std::fflush(stdout);

    sigset_t none;
    sigemptyset(&none);
    pollfd input{STDIN_FILENO, POLLIN, 0};
    for (;;) {
        const int ready = ppoll(&input, 1, nullptr, &none);
        if (ready < 0) {
            break;  // a signal
        }
        char scratch[256];
        if (::read(STDIN_FILENO, scratch, sizeof scratch) <= 0) {
            break;
        }
    }
    (*simulator)->stop();
    return 0;
}
