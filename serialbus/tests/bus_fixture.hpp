#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "serialbus/feetech_protocol/protocol_handler.hpp"
#include "serialbus/serial_port.hpp"
#include "servosim/servo_bus_simulator.hpp"

// The simulated robot bus with the port opened on it. Its servos reach a goal at once, so that a
// position written is the position read back.
class BusTest : public testing::Test {
  protected:
    void SetUp() override {
        auto started = servosim::ServoBusSimulator::start_robot_bus(
            servosim::SimulatorOptions{.motion = servosim::kInstantMotion});
        ASSERT_TRUE(started.has_value()) << started.error().message();
        sim = std::move(*started);
        auto opened =
            serialbus::SerialPort::open(sim->slave_path(), serialbus::kBusBaudRate, timeout());
        ASSERT_TRUE(opened.has_value()) << opened.error().message();
        port = std::make_unique<serialbus::SerialPort>(std::move(*opened));
    }

    // Generous by default so that a loaded machine does not turn answers into time-outs; the
    // tests about the bus time-out itself use the real 10 ms.
    virtual std::chrono::microseconds timeout() const { return std::chrono::milliseconds(200); }

    std::unique_ptr<servosim::ServoBusSimulator> sim;
    std::unique_ptr<serialbus::SerialPort> port;
    serialbus::feetech_protocol::FeetechProtocolHandler handler;
};

class BusTimeoutTest : public BusTest {
  protected:
    std::chrono::microseconds timeout() const override { return serialbus::kBusTimeout; }
};
