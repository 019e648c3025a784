// The control loop in process on the simulated robot: start-up checks in their order, the
// periodic cycle and its statistics, every command's traffic, close and draining.
#include "control_loop/bounded_queue.h"
#include "control_loop/control_loop.h"
#include "control_loop/loop_stats.h"
#include "common/guarded.h"
#include "control_loop/shared_state.h"
#include "control_loop/snapshot.h"
#include "controller/controller.h"
#include "sim_robot.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <numeric>
#include <thread>

namespace {

using namespace std::chrono_literals;
using namespace wenlo::control_loop;
using wenlo::Duration;
using wenlo::log::Level;
using wenlo_test::can_iface;
using wenlo_test::records;

constexpr double kPi = 3.141592653589793;

std::int16_t raw(double rad) { return static_cast<std::int16_t>((rad + kPi) * 4096 / (2 * kPi)); }

// A deadline for a wait for room in the queue that only a fault makes run out.
std::chrono::steady_clock::time_point later() {
    return std::chrono::steady_clock::now() + 30s;
}
SendStatus send(ControlLoop& loop, MotorCommand& command) {
    return loop.send_until(command, later());
}

// --- values ----------------------------------------------------------------------------------

TEST(MotorErrorText, EveryVariantWithItsInsertedValues) {
    const std::pair<MotorError, std::string> cases[] = {
        {MotorError::MissingMotors{{"right_arm_pitch", "nose_left"}},
         R"(Missing motors: ["right_arm_pitch", "nose_left"]!)"},
        {MotorError::MissingMotors{{"a\"b\\c"}}, R"(Missing motors: ["a\"b\\c"]!)"},
        {MotorError::MissingMotors{{}}, "Missing motors: []!"},
        {MotorError::communication(),
         "Motor communication error! Check connections and power supply."},
        {MotorError::NoMotorsDetected{},
         "No motors detected. Check if the power supply is connected and turned on!"},
        {MotorError::VoltageRampUpTimeout{109, Duration{30, 0}},
         "Voltage did not ramp up to 12V (got 10.9V) within 30s!"},
        {MotorError::VoltageRampUpTimeout{5, Duration{1, 500'000'000}},
         "Voltage did not ramp up to 12V (got 0.5V) within 1.5s!"},
        {MotorError::VoltageRampUpTimeout{255, Duration{0, 250'000'000}},
         "Voltage did not ramp up to 12V (got 25.5V) within 250ms!"},
        {MotorError::PortNotFound{"/dev/ttyUSB9"},
         "Check if your USB cable is connected. Could not find port: /dev/ttyUSB9!"},
        {MotorError::PortOpenFailed{""},
         "Could not open serial port: ! Check permissions and if the port is already in use."},
    };
    for (const auto& [error, text] : cases) {
        EXPECT_EQ(error.message(), text);
    }
    EXPECT_EQ(format_duration(Duration{1, 234'567'000}), "1.234567s");
    EXPECT_EQ(format_duration(Duration{0, 0}), "0ns");
    EXPECT_EQ(format_duration(Duration{0, 1'500}), "1.5\xc2\xb5s");
    EXPECT_EQ(format_duration(Duration{0, 999}), "999ns");
    EXPECT_EQ(format_duration(Duration{86400, 1}), "86400.000000001s");

    // A copy outlives the record it was taken from.
    wenlo::Guarded<std::expected<bool, MotorError>> slot(
        std::unexpected(MotorError(MotorError::PortNotFound{"/dev/a"})));
    auto copy = slot.read().first;
    slot.store(std::unexpected(MotorError(MotorError::PortNotFound{"/dev/b"})));
    slot.store(true);
    EXPECT_EQ(copy.error().message(),
              "Check if your USB cable is connected. Could not find port: /dev/a!");
}

TEST(Ring, KeepsTheMostRecentSamplesInOrder) {
    Ring<double> window(4);
    window.append(std::vector<double>{1, 2, 3});
    EXPECT_EQ(window.to_vector(), (std::vector<double>{1, 2, 3}));
    window.push(4);
    window.push(5);
    window.push(6);
    EXPECT_EQ(window.to_vector(), (std::vector<double>{3, 4, 5, 6}));
    window.append(std::vector<double>{7, 8, 9, 10, 11, 12});
    EXPECT_EQ(window.to_vector(), (std::vector<double>{9, 10, 11, 12}));
    EXPECT_EQ(LoopStats().period.to_vector().size(), 0u);
}

// drain_positions warns of each overflow once: a drain reports only what was lost since the
// drain before it, with the newest snapshots in the order they were taken.
TEST(SnapshotRing, EachDrainReportsOnlyItsOwnLoss) {
    SnapshotRing ring(3);
    auto push = [&](int first, int last) {
        for (int t = first; t <= last; ++t) {
            TorsoPosition p;
            p.timestamp = t;
            ring.push(p);
        }
    };
    auto drained = [&] {
        auto out = ring.drain();
        std::vector<double> stamps;
        for (const TorsoPosition& p : out.items) {
            stamps.push_back(p.timestamp);
        }
        return std::pair{stamps, out.lost};
    };
    push(1, 5);
    EXPECT_EQ(drained(), (std::pair{std::vector<double>{3, 4, 5}, std::uint64_t{2}}));
    push(6, 9);
    EXPECT_EQ(drained(), (std::pair{std::vector<double>{7, 8, 9}, std::uint64_t{1}}));
    push(10, 11);
    EXPECT_EQ(drained(), (std::pair{std::vector<double>{10, 11}, std::uint64_t{0}}));
}

TEST(CommandQueue, BoundedClosableAndHandsBackWhatIsLeft) {
    BoundedQueue<MotorCommand> queue(2);
    auto [sender, receiver] = reply_channel<Bytes>();
    MotorCommand a = command::EnableTorque{};
    MotorCommand b = command::ReadRawBytes{1, 2, 3, std::move(sender)};
    MotorCommand c = command::DisableTorque{};
    EXPECT_EQ(queue.send_until(a, later()), SendStatus::Sent);
    EXPECT_EQ(queue.send_until(b, later()), SendStatus::Sent);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(queue.send_until(c, start + 50ms), SendStatus::TimedOut);  // full
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
    EXPECT_TRUE(std::holds_alternative<command::DisableTorque>(c));  // still the caller's

    // A producer waiting for room gets in once the consumer takes one out.
    std::thread producer([&] { EXPECT_EQ(queue.send_until(c, later()), SendStatus::Sent); });
    std::this_thread::sleep_for(20ms);
    auto first = queue.try_pop();
    ASSERT_TRUE(first && std::holds_alternative<command::EnableTorque>(*first));
    producer.join();

    // Closing hands the rest back, unexecuted; releasing it closes the reply channel.
    EXPECT_FALSE(queue.close_if_empty());
    auto left = queue.close();
    EXPECT_EQ(left.size(), 2u);
    MotorCommand d = command::EnableTorque{};
    EXPECT_EQ(queue.send_until(d, later()), SendStatus::Closed);
    EXPECT_EQ(receiver.wait_until(std::chrono::steady_clock::now() + 10ms).error(),
              ReplyError::TimedOut);
    left.clear();
    EXPECT_EQ(receiver.wait().error(), ReplyError::Closed);
}

// --- retry policy ------------------------------------------------------------------------------

using wenlo::controller::Error;
using wenlo::controller::IoKind;
using wenlo::controller::Result;

TEST(Retry, OnlyTransientErrorsAreRetriedAndARecoveryIsLogged) {
    records().take();
    struct Case {
        std::vector<Result<int>> answers;
        std::uint64_t allowed;
        bool succeeds;
        std::size_t attempts;
        std::vector<std::string> info;
    };
    const Error timeout("Operation timed out", IoKind::TimedOut);
    const Error interrupted("Interrupted system call", IoKind::Interrupted);
    const Error parsing("Parsing error");
    const Case cases[] = {
        {{std::unexpected(timeout), 7}, 5, true, 2, {"Serial I/O recovered after 1 retries"}},
        {{std::unexpected(interrupted), std::unexpected(timeout), 7}, 5, true, 3,
         {"Serial I/O recovered after 2 retries"}},
        {{std::unexpected(parsing), 7}, 5, false, 1, {}},
        {{std::unexpected(timeout), 7}, 1, false, 1, {}},
        {{std::unexpected(timeout), std::unexpected(timeout), std::unexpected(timeout)}, 3, false,
         3, {}},
        {{7}, 5, true, 1, {}},
    };
    for (const Case& c : cases) {
        std::size_t calls = 0;
        const auto start = std::chrono::steady_clock::now();
        auto result = with_retry(c.allowed, [&] { return c.answers[calls++]; });
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(result.has_value(), c.succeeds);
        EXPECT_EQ(calls, c.attempts);
        EXPECT_GE(took, (c.attempts - 1) * kRetryPause);  // 20 ms between attempts
        EXPECT_EQ(records().take(wenlo::log::kControlLoopTarget, Level::Info), c.info);
    }
}

// --- the loop on the simulated robot ----------------------------------------------------------

class Loop : public wenlo_test::Robot {
protected:
    LoopConfig config(bool with_serial = true) {
        LoopConfig c;
        if (with_serial) {
            c.serialport = servos_->slave_path();
        }
        c.can_bus = can_iface();
        c.period = Duration::from(10ms);
        return c;
    }
    std::unique_ptr<ControlLoop> start(const LoopConfig& c) {
        auto loop = ControlLoop::start(c);
        EXPECT_TRUE(loop) << (loop ? "" : loop.error().message());
        return loop ? std::move(*loop) : nullptr;
    }
    // Sends a command, then waits until the worker has executed everything before it: a read
    // with a reply runs after them, in queue order.
    void run_command(ControlLoop& loop, MotorCommand command) {
        ASSERT_EQ(send(loop, command), SendStatus::Sent);
        sync(loop);
    }
    void sync(ControlLoop& loop) {
        auto [sender, receiver] = reply_channel<Bytes>();
        MotorCommand marker = command::ReadRawBytes{1, 0, 1, std::move(sender)};
        ASSERT_EQ(send(loop, marker), SendStatus::Sent);
        (void)receiver.wait_until(std::chrono::steady_clock::now() + 2s);
    }
    std::string start_error(const LoopConfig& c) {
        auto loop = ControlLoop::start(c);
        return loop ? "started" : loop.error().message();
    }
};

TEST_F(Loop, StartUpFailuresComeInTheirOrder) {
    LoopConfig c = config();
    c.serialport = "/dev/does-not-exist-wenlo";
    EXPECT_EQ(start_error(c),
              "Check if your USB cable is connected. Could not find port: "
              "/dev/does-not-exist-wenlo!");
    c.period = Duration{};  // refused before the path is even looked at
    auto invalid = ControlLoop::start(c);
    ASSERT_FALSE(invalid);
    EXPECT_EQ(invalid.error().kind(), StartFailure::Kind::InvalidArgument);
    c = config();
    c.allowed_retries = 0;
    EXPECT_EQ(start_error(c), "allowed_retries must be at least 1");
    EXPECT_TRUE(servos_->received().empty());

    c = config(false);
    c.can_bus = "nosuchcan";
    EXPECT_EQ(start_error(c),
              "Could not open serial port: ! Check permissions and if the port is already in use.");

    servos_->set_unpowered(6, true);
    servos_->set_unpowered(3, true);
    EXPECT_EQ(start_error(config()), R"(Missing motors: ["right_arm_pitch", "nose_left"]!)");
    for (std::uint8_t id = 1; id <= 7; ++id) {
        servos_->set_unpowered(id, true);
    }
    EXPECT_EQ(start_error(config()),
              "No motors detected. Check if the power supply is connected and turned on!");
    for (std::uint8_t id = 1; id <= 7; ++id) {
        servos_->set_unpowered(id, false);
    }
    ASSERT_TRUE(motors_->set_connected(2, false));
    EXPECT_EQ(start_error(config()), R"(Missing motors: ["neck_pitch"]!)");
    EXPECT_EQ(start_error(config(false)), R"(Missing motors: ["neck_pitch"]!)");
    // Nothing was left open: the port can be taken again.
    EXPECT_TRUE(wenlo::controller::MotorController::create(servos_->slave_path(), can_iface()));
}

TEST_F(Loop, VoltageWaitRampsTimesOutOrIsInterrupted) {
    // A ramp that arrives in time, with its records and the reboot's.
    ASSERT_TRUE(servos_->start_voltage_ramp(4, 400ms));
    LoopConfig c = config();
    c.voltage_rampup_timeout = Duration::from(5s);
    {
        auto loop = start(c);
        ASSERT_TRUE(loop);
    }
    auto logged = records().take();
    std::vector<std::string> info;
    std::size_t reboots = 0;
    for (const auto& r : logged) {
        if (r.target == wenlo::log::kControlLoopTarget && r.level == Level::Info) {
            info.push_back(r.message);
        }
        reboots += r.message.starts_with("Rebooting motor ") ? 1 : 0;
    }
    ASSERT_EQ(info.size(), 2u);
    EXPECT_EQ(info[0], "Waiting for voltage to be stable at 12V...");
    EXPECT_TRUE(info[1].starts_with("Voltage is stable at ~12V: [120, 120, 120, 1")) << info[1];
    EXPECT_TRUE(info[1].ends_with("s)")) << info[1];
    EXPECT_EQ(reboots, 7u);

    // 11.0 V counts as ramped up; 10.9 V for longer than the time-out does not.
    ASSERT_TRUE(servos_->set_voltage(5, 110));
    c.voltage_rampup_timeout = Duration::from(300ms);
    EXPECT_EQ(start_error(c), "started");
    ASSERT_TRUE(servos_->set_voltage(5, 109));
    ASSERT_TRUE(servos_->set_voltage(2, 115));
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(start_error(c), "Voltage did not ramp up to 12V (got 10.9V) within 300ms!");
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 300ms);

    // An interruption stops the wait at the next poll and releases the port.
    c.voltage_rampup_timeout = Duration::from(30s);
    int polls = 0;
    auto interrupted = ControlLoop::start(c, [&] { return ++polls == 3; });
    ASSERT_FALSE(interrupted);
    EXPECT_EQ(interrupted.error().kind(), StartFailure::Kind::Interrupted);
    EXPECT_EQ(polls, 3);
    EXPECT_TRUE(wenlo::controller::MotorController::create(servos_->slave_path(), can_iface()));
}

TEST_F(Loop, NeckOnlyLoopReadsTheNeckAndRefusesSerialCommands) {
    ASSERT_TRUE(motors_->set_position(2, 0.25));
    auto loop = start(config(false));
    ASSERT_TRUE(loop);
    EXPECT_FALSE(loop->has_serial_port());
    auto first = loop->get_last_position();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->left_arm, (std::array<double, 2>{0, 0}));
    EXPECT_EQ(first->nose, (std::array<double, 3>{0, 0, 0}));
    EXPECT_NEAR(first->neck[1], 0.25, 1e-3);
    EXPECT_EQ(loop->is_torque_enabled().value(), false);
    EXPECT_FALSE(loop->get_stats().has_value());

    MotorCommand arms = command::SetArmsPosition{{0, 0, 0, 0}};
    ASSERT_EQ(send(*loop, arms), SendStatus::Sent);
    auto [sender, receiver] = reply_channel<Bytes>();
    MotorCommand read = command::ReadRawBytes{1, 21, 3, std::move(sender)};
    ASSERT_EQ(send(*loop, read), SendStatus::Sent);
    EXPECT_EQ(receiver.wait_until(std::chrono::steady_clock::now() + 2s).error(),
              ReplyError::Closed);
    loop->close();
    EXPECT_TRUE(servos_->received().empty());
    EXPECT_EQ(loop->get_motor_name_id().size(), 7u);
    EXPECT_EQ(loop->get_motor_name_id().front(), (std::pair<std::string, std::uint8_t>{
                                                      "left_arm_pitch", 1}));
}

TEST_F(Loop, TicksKeepTheirScheduleAndTheStatisticsFollow) {
    LoopConfig c = config();
    c.stats_pub_period = Duration::from(100ms);
    auto loop = start(c);
    ASSERT_TRUE(loop);
    const double t0 = loop->get_last_position()->timestamp;
    std::this_thread::sleep_for(500ms);
    // A command that takes many periods: a read from an id nobody answers, retried five times.
    auto [sender, receiver] = reply_channel<Bytes>();
    MotorCommand slow = command::ReadRawBytes{42, 0, 1, std::move(sender)};
    ASSERT_EQ(send(*loop, slow), SendStatus::Sent);
    EXPECT_EQ(receiver.wait_until(std::chrono::steady_clock::now() + 2s).error(),
              ReplyError::Closed);
    std::this_thread::sleep_for(500ms);
    auto stats = loop->get_stats();
    auto last = loop->get_last_position();
    loop->close();
    ASSERT_TRUE(stats && last);
    EXPECT_GT(last->timestamp, t0 + 0.5);

    const auto& period = stats->period;
    ASSERT_GT(period.size(), 60u);
    EXPECT_LT(period.front(), 0.005);  // the first tick is due at once
    // The slow command shows as one long period and the overdue ticks back to back after it.
    const auto longest = std::max_element(period.begin(), period.end());
    EXPECT_GT(*longest, 0.08);
    ASSERT_GT(period.end() - longest, 4);
    // Back to back: well under the 10 ms period, with room for a slow sanitizer build.
    EXPECT_LT(*(longest + 1), 0.008);
    EXPECT_LT(*(longest + 2), 0.008);
    // The schedule never shifted: the ticks after the first sum to whole periods.
    const double span = std::accumulate(period.begin() + 1, period.end(), 0.0);
    EXPECT_NEAR(span, 0.010 * static_cast<double>(period.size() - 1), 0.010);
    // Read samples are batched per publication, so some are still pending; writes were taken
    // for the successful markers only.
    EXPECT_GT(stats->read_dt.size(), period.size() / 2);
    EXPECT_LE(stats->read_dt.size(), period.size());
    EXPECT_TRUE(stats->write_dt.empty());
}

TEST_F(Loop, AFloodOfCommandsDoesNotStarveTheTicks) {
    LoopConfig c = config(false);
    c.stats_pub_period = Duration::from(100ms);
    auto loop = start(c);
    ASSERT_TRUE(loop);
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread flood([&] {
        while (!stop) {
            MotorCommand cmd = command::SetNeckPitchPosition{0.1};
            if (send(*loop, cmd) == SendStatus::Sent) {
                ++sent;
            }
        }
    });
    std::this_thread::sleep_for(1s);
    stop = true;
    flood.join();
    const auto stats = loop->get_stats();
    loop->close();
    EXPECT_GT(sent.load(), 200);
    // Each tick reads three motors and each command talks to one, so the coin's fair share
    // gives the ticks well over a third of their 100 slots.
    EXPECT_GT(stats->period.size(), 35u);
}

TEST_F(Loop, EveryCommandReachesTheBus) {
    // One tick at start, then none for a minute: the bus carries only the commands, however
    // slowly a sanitizer build runs them.
    LoopConfig quiet = config();
    quiet.period = Duration::from(60s);
    auto loop = start(quiet);
    ASSERT_TRUE(loop);
    ControlLoop& l = *loop;
    records().take();

    TorsoPosition all;
    all.left_arm = {0.1, 0.2};
    all.right_arm = {0.3, 0.4};
    all.nose = {0.5, 0.6, 0.7};
    all.neck = {9, 9, 9};  // ignored
    run_command(l, command::SetAllGoalPositions{all});
    const double goals[] = {0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7};
    for (std::uint8_t id = 1; id <= 7; ++id) {
        EXPECT_EQ(servos_->goal_position(id), raw(goals[id - 1])) << int(id);
    }
    run_command(l, command::SetLeftArmPosition{{-0.1, -0.2}});
    run_command(l, command::SetRightArmPosition{{-0.3, -0.4}});
    EXPECT_EQ(servos_->goal_position(2), raw(-0.2));
    EXPECT_EQ(servos_->goal_position(4), raw(-0.4));
    run_command(l, command::SetArmsPosition{{1, 1, 1, 1}});
    run_command(l, command::SetNosePosition{{-1, -1, -1}});
    EXPECT_EQ(servos_->goal_position(3), raw(1));
    EXPECT_EQ(servos_->goal_position(6), raw(-1));
    // A NaN anywhere sends nothing for that command.
    servos_->clear_received();
    MotorCommand nan_nose = command::SetNosePosition{{0, NAN, 0}};
    ASSERT_EQ(send(l, nan_nose), SendStatus::Sent);
    MotorCommand nan_arm = command::SetLeftArmPosition{{NAN, 0}};
    ASSERT_EQ(send(l, nan_arm), SendStatus::Sent);
    sync(l);
    EXPECT_EQ(servos_->packets_handled(), 1u);  // only the marker's read
    EXPECT_EQ(servos_->goal_position(5), raw(-1));

    run_command(l, command::SetNeckPosition{{0.9, 0.2, 0.1}});
    EXPECT_NEAR(motors_->snapshot(1)->last_command->position, 0.5, 1e-3);  // clamped
    EXPECT_NEAR(motors_->snapshot(2)->last_command->position, 0.2, 1e-3);
    EXPECT_EQ(records().take(wenlo::log::kControllerTarget, Level::Warn),
              (std::vector<std::string>{"neck_yaw requested position 0.9000 rad out of safe "
                                        "range [-0.5000, 0.5000]; clamped to 0.5000"}));
    run_command(l, command::SetNeckYawPosition{-0.2});
    run_command(l, command::SetNeckPitchPosition{0.3});
    run_command(l, command::SetNeckRollPosition{-0.1});
    EXPECT_NEAR(motors_->snapshot(1)->last_command->position, -0.2, 1e-3);
    EXPECT_NEAR(motors_->snapshot(2)->last_command->position, 0.3, 1e-3);
    EXPECT_NEAR(motors_->snapshot(3)->last_command->position, -0.1, 1e-3);
    const auto mit_before = motors_->snapshot(3)->mit_commands;
    run_command(l, command::SetNeckRollPosition{NAN});
    EXPECT_EQ(motors_->snapshot(3)->mit_commands, mit_before);
    run_command(l, command::EnableNeck{true});
    EXPECT_TRUE(motors_->snapshot(1)->enabled && motors_->snapshot(3)->enabled);

    auto torque = [&](std::uint8_t id) { return servos_->read_registers(id, 40, 1)->at(0); };
    run_command(l, command::EnableTorque{});
    EXPECT_EQ(l.is_torque_enabled().value(), true);
    run_command(l, command::DisableTorque{});
    EXPECT_EQ(l.is_torque_enabled().value(), false);
    EXPECT_EQ(torque(7), 0);
    run_command(l, command::EnableTorqueOnIds{{1}});
    EXPECT_EQ(l.is_torque_enabled().value(), true);  // whatever servos 2 to 7 say
    EXPECT_EQ(torque(1), 1);
    EXPECT_EQ(torque(2), 0);
    servos_->clear_received();
    run_command(l, command::DisableTorqueOnIds{{}});
    EXPECT_EQ(l.is_torque_enabled().value(), false);
    EXPECT_EQ(servos_->packets_handled(), 1u);  // no traffic but the marker
    run_command(l, command::EnableArms{true});
    run_command(l, command::EnableNose{true});
    EXPECT_EQ(torque(4), 1);
    EXPECT_EQ(torque(5), 1);
    EXPECT_EQ(l.is_torque_enabled().value(), false);  // arms and nose leave it alone

    run_command(l, command::WriteRawBytes{1, 21, {10, 20, 30}});
    auto [sender, receiver] = reply_channel<Bytes>();
    MotorCommand read = command::ReadRawBytes{1, 21, 3, std::move(sender)};
    ASSERT_EQ(send(l, read), SendStatus::Sent);
    EXPECT_EQ(receiver.wait_until(std::chrono::steady_clock::now() + 2s).value(),
              (Bytes{10, 20, 30}));
    // More than one packet can carry is refused before anything is sent.
    servos_->clear_received();
    run_command(l, command::WriteRawBytes{1, 21, Bytes(253, 7)});
    EXPECT_EQ(servos_->packets_handled(), 1u);

    // A raw packet (a ping of servo 3) returns the status packet as it came.
    auto [psender, preceiver] = reply_channel<Bytes>();
    const Bytes ping = {0xFF, 0xFF, 0x03, 0x02, 0x01, 0xF9};
    MotorCommand packet = command::WriteRawPacket{ping, std::move(psender)};
    ASSERT_EQ(send(l, packet), SendStatus::Sent);
    EXPECT_EQ(preceiver.wait_until(std::chrono::steady_clock::now() + 2s).value(),
              (Bytes{0xFF, 0xFF, 0x03, 0x02, 0x00, 0xFA}));
}

TEST_F(Loop, CloseDrainsTheQueueAndLeavesTheRecordsReadable) {
    auto loop = start(config());
    ASSERT_TRUE(loop);
    servos_->clear_received();
    for (int i = 0; i < 50; ++i) {
        MotorCommand cmd = command::EnableArms{i % 2 == 0};
        ASSERT_EQ(send(*loop, cmd), SendStatus::Sent);
    }
    MotorCommand last = command::WriteRawBytes{2, 21, {99}};
    ASSERT_EQ(send(*loop, last), SendStatus::Sent);
    loop->close();
    EXPECT_EQ(servos_->read_registers(2, 21, 1)->at(0), 99);  // executed, in order, before the end
    const auto handled = servos_->packets_handled();
    EXPECT_GE(handled, 51u);
    MotorCommand after = command::EnableTorque{};
    EXPECT_EQ(send(*loop, after), SendStatus::Closed);
    loop->close();  // again: returns at once
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(servos_->packets_handled(), handled);  // no more reads after close
    EXPECT_TRUE(loop->get_last_position());
    // The worker released the controller: the port can be opened again.
    EXPECT_TRUE(wenlo::controller::MotorController::create(servos_->slave_path(), can_iface()));
}

TEST_F(Loop, CloseIsNotHeldUpByAThreadThatKeepsSending) {
    auto loop = start(config(false));
    ASSERT_TRUE(loop);
    std::atomic<bool> closed_seen{false};
    std::thread sender([&] {
        for (;;) {
            MotorCommand cmd = command::SetNeckPitchPosition{0.1};
            if (send(*loop, cmd) == SendStatus::Closed) {
                closed_seen = true;
                return;
            }
        }
    });
    std::this_thread::sleep_for(100ms);
    loop->close();
    sender.join();
    EXPECT_TRUE(closed_seen);
}

TEST_F(Loop, APulledNeckCableFailsTheReadsUntilItIsBack) {
    auto loop = start(config());
    ASSERT_TRUE(loop);
    auto wait_for = [&](bool ok) {
        const auto deadline = std::chrono::steady_clock::now() + 3s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (loop->get_last_position().has_value() == ok) {
                return true;
            }
            std::this_thread::sleep_for(5ms);
        }
        return false;
    };
    ASSERT_TRUE(motors_->set_connected(3, false));
    ASSERT_TRUE(wait_for(false));
    EXPECT_EQ(loop->get_last_position().error().message(),
              "Motor communication error! Check connections and power supply.");
    ASSERT_TRUE(motors_->set_connected(3, true));
    EXPECT_TRUE(wait_for(true));
}

// A record that a failure poisoned: the worker that finds its stop flag so ends at once with
// the text the loop gives for it, and leaves the queue closed and the flag for close() set.
TEST_F(Loop, AWorkerThatFindsItsStopFlagPoisonedEndsWithItsText) {
    auto created = wenlo::controller::MotorController::create(servos_->slave_path(), can_iface());
    ASSERT_TRUE(created) << created.error().message();
    auto shared = std::make_shared<ControlLoop::Shared>(TorsoPosition{}, false, true);
    EXPECT_THROW(shared->stop.with([](bool&, bool) -> bool { throw std::bad_alloc(); }),
                 std::bad_alloc);
    EXPECT_EQ(shared->stop.read(), (std::pair<bool, bool>{false, true}));  // poisoned, kept
    EXPECT_FALSE(shared->stop.store(true));                                // and refused
    records().take();
    worker_main(
        Worker{std::move(*created), Duration::from(10ms), Duration::from(1s), 5, shared, {}, {}, {}});
    EXPECT_EQ(records().take(wenlo::log::kControlLoopTarget, Level::Error),
              (std::vector<std::string>{
                  "control loop worker failed: stop flag mutex was poisoned"}));
    EXPECT_TRUE(shared->worker_failed.load());
    MotorCommand late = command::EnableTorque{};
    EXPECT_EQ(shared->queue.send_until(late, later()), SendStatus::Closed);
}

}  // namespace
