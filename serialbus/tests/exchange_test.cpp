#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "bus_fixture.hpp"
#include "serialbus/feetech_protocol/feetech.hpp"
#include "serialbus/servo/feetech/sm40bl.hpp"
#include "serialbus/servo/feetech/sts3025bl.hpp"

namespace {

using namespace std::chrono_literals;
using serialbus::IoErrorKind;
using serialbus::feetech_protocol::CommunicationErrorKind;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
namespace sm40bl = serialbus::servo::feetech::sm40bl;
namespace sts3025bl = serialbus::servo::feetech::sts3025bl;

const Bytes kArms{1, 2, 3, 4};
const Bytes kNose{5, 6, 7};

// Designated initialisers would have to name every field under -Wextra.
template <typename Change>
servosim::ServoFaults faults_with(Change change) {
    servosim::ServoFaults faults;
    change(faults);
    return faults;
}

TEST_F(BusTimeoutTest, PingOfPresentAndMissingServo) {
    auto present = handler.ping(*port, 1);
    ASSERT_TRUE(present.has_value());
    EXPECT_TRUE(*present);
    EXPECT_EQ(sim->received(), (Bytes{0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB}));

    const auto start = Clock::now();
    auto missing = handler.ping(*port, 9);
    ASSERT_TRUE(missing.has_value()) << missing.error().message();
    EXPECT_FALSE(*missing);
    EXPECT_GE(Clock::now() - start, 9ms);
}

TEST_F(BusTest, ReadAndWriteRegisters) {
    const Bytes one{1};
    ASSERT_TRUE(handler.write(*port, 3, sm40bl::TORQUE_ENABLE, one).has_value());
    EXPECT_EQ(sim->read_registers(3, sm40bl::TORQUE_ENABLE, 1), one);
    auto voltage = handler.read(*port, 3, sm40bl::PRESENT_VOLTAGE, 1);
    ASSERT_TRUE(voltage.has_value()) << voltage.error().message();
    EXPECT_EQ(*voltage, Bytes{120});
    auto gains = handler.read(*port, 3, 21, 3);
    ASSERT_TRUE(gains.has_value());
    EXPECT_EQ(gains->size(), 3U);
}

TEST_F(BusTest, ErrorBitsStillCountAsSuccess) {
    sim->set_faults(2, faults_with([](auto& f) { f.status_error = 0x21; }));
    auto ping = handler.ping(*port, 2);
    ASSERT_TRUE(ping.has_value());
    EXPECT_TRUE(*ping);
    auto rebooted = handler.reboot(*port, 2);
    ASSERT_TRUE(rebooted.has_value());
    EXPECT_TRUE(*rebooted);
    std::this_thread::sleep_for(60ms);  // the servo's silence after a reboot
    EXPECT_TRUE(handler.read(*port, 2, sm40bl::PRESENT_POSITION, 2).has_value());
    const Bytes zero{0};
    EXPECT_TRUE(handler.write(*port, 2, sm40bl::TORQUE_ENABLE, zero).has_value());
}

TEST_F(BusTest, AnswerFromWrongIdIsParsingError) {
    sim->set_faults(1, faults_with([](auto& f) { f.answer_id = 2; }));
    auto read = handler.read(*port, 1, sm40bl::PRESENT_POSITION, 2);
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error(), CommunicationErrorKind::parsing_error());
    auto ping = handler.ping(*port, 1);
    ASSERT_TRUE(ping.has_value());
    EXPECT_FALSE(*ping);
}

TEST_F(BusTest, CorruptChecksumIsChecksumError) {
    sim->set_faults(4, faults_with([](auto& f) { f.corrupt_checksum = true; }));
    testing::internal::CaptureStdout();
    auto read = handler.read(*port, 4, sm40bl::PRESENT_POSITION, 2);
    const std::string printed = testing::internal::GetCapturedStdout();
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error().message(), "Checksum error");
    EXPECT_TRUE(printed.starts_with("read crc: ")) << printed;
}

TEST_F(BusTimeoutTest, SyncReadWithSilentServoTimesOut) {
    sim->set_unpowered(2, true);
    const Bytes ids{1, 2};
    auto read = handler.sync_read(*port, ids, sm40bl::PRESENT_POSITION, 2);
    ASSERT_FALSE(read.has_value());
    ASSERT_NE(read.error().io_error(), nullptr);
    EXPECT_EQ(read.error().io_error()->kind(), IoErrorKind::TimedOut);
    EXPECT_EQ(read.error().message(), "Operation timed out");
    EXPECT_TRUE(read.error().is_transient());
}

TEST_F(BusTest, SyncReadSkipsSilentServoButLaterOnesAnswer) {
    sim->set_unpowered(2, true);
    sim->set_position(3, 1000);
    // Servo 3 answers in its turn even though servo 2 stays silent; the handler, expecting
    // servo 2 first, rejects that answer.
    const Bytes request_ids{2, 3};
    auto failing = handler.sync_read(*port, request_ids, sm40bl::PRESENT_POSITION, 2);
    ASSERT_FALSE(failing.has_value());
    EXPECT_EQ(failing.error(), CommunicationErrorKind::parsing_error());
    const Bytes ids{3};
    auto read = sm40bl::sync_read_raw_present_position(handler, *port, ids);
    ASSERT_TRUE(read.has_value()) << read.error().message();
    EXPECT_EQ(*read, std::vector<std::int16_t>{1000});
}

TEST_F(BusTest, StaleInputIsClearedBeforeTheRequest) {
    const Bytes stale{0x11, 0x22, 0x33};
    sim->inject(stale);
    std::this_thread::sleep_for(20ms);
    ASSERT_EQ(port->bytes_to_read().value_or(0), 3U);
    const auto start = Clock::now();
    auto ping = handler.ping(*port, 5);
    ASSERT_TRUE(ping.has_value());
    EXPECT_TRUE(*ping);
    EXPECT_GE(Clock::now() - start, 5ms);
}

TEST_F(BusTimeoutTest, LateAnswerIsDrainedByTheNextRequest) {
    sim->set_faults(6, faults_with([](auto& f) { f.answer_delay = 60ms; }));
    auto late = handler.ping(*port, 6);
    ASSERT_TRUE(late.has_value());
    EXPECT_FALSE(*late);
    sim->clear_faults(6);
    std::this_thread::sleep_for(80ms);
    EXPECT_GT(port->bytes_to_read().value_or(0), 0U);
    auto ping = handler.ping(*port, 6);
    ASSERT_TRUE(ping.has_value());
    EXPECT_TRUE(*ping);
}

TEST_F(BusTest, AnswerInPiecesWithShortGapsIsRead) {
    sim->set_faults(7, faults_with([](auto& f) {
                        f.noise_before = {};
                        f.piece_size = 2;
                        f.piece_gap = 3ms;
                    }));
    auto read = handler.read(*port, 7, sts3025bl::PRESENT_POSITION, 2);
    ASSERT_TRUE(read.has_value()) << read.error().message();
    EXPECT_EQ(*read, (Bytes{0x00, 0x08}));
}

TEST_F(BusTest, NoiseBeforeAnswerIsParsingError) {
    sim->set_faults(5, faults_with([](auto& f) { f.noise_before = {0x00, 0x42}; }));
    auto read = handler.read(*port, 5, sts3025bl::PRESENT_POSITION, 2);
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error(), CommunicationErrorKind::parsing_error());
}

// An answer later than the time-out must not be taken for the answer to the next request to
// the same servo: it carries an old value and nothing tells the two apart. Here it arrives while
// the next answer (slow but in time) is awaited.
TEST_F(BusTimeoutTest, LateAnswerIsNeverTakenForTheNextOne) {
    const std::uint8_t old_value[2] = {0x11, 0x22};
    const std::uint8_t new_value[2] = {0x33, 0x44};
    sim->write_registers(5, 100, old_value);
    sim->set_faults(5, faults_with([](auto& f) { f.answer_delay = 15ms; }));
    auto late = handler.read(*port, 5, 100, 2);
    ASSERT_FALSE(late.has_value());
    EXPECT_EQ(late.error().message(), "Operation timed out");
    sim->set_faults(5, faults_with([](auto& f) { f.answer_delay = 8ms; }));
    sim->write_registers(5, 100, new_value);
    // Another servo is asked at once: only servo 5's next request waits for its straggler.
    const auto start = Clock::now();
    ASSERT_TRUE(handler.read(*port, 6, 100, 2).has_value());
    EXPECT_LT(Clock::now() - start, 5ms);
    auto next = handler.read(*port, 5, 100, 2);
    ASSERT_TRUE(next.has_value()) << next.error().message();
    EXPECT_EQ(*next, Bytes(new_value, new_value + 2));
}

TEST_F(BusTest, LyingLengthByteIsAnErrorNotAnOverRead) {
    // Claims 200 more bytes, delivers 3: the read must stop at the time-out.
    const Bytes lie{0xFF, 0xFF, 0x01, 200, 0x00, 0x00, 0x00};
    sim->set_unpowered(1, true);
    sim->inject(lie, 2ms);
    const serialbus::feetech_protocol::feetech::InstructionPacketFeetech ping(
        1, serialbus::feetech_protocol::feetech::Instruction::Ping);
    ASSERT_TRUE(handler.send_instruction_packet(*port, ping).has_value());
    auto status = handler.read_status_packet(*port, 1);
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(status.error().message(), "Operation timed out");

    // Claims fewer bytes than the packet has: the length check catches it.
    const Bytes short_lie{0xFF, 0xFF, 0x01, 0x01, 0x00, 0xFD};
    ASSERT_TRUE(handler.send_instruction_packet(*port, ping).has_value());
    sim->inject(short_lie, 2ms);
    status = handler.read_status_packet(*port, 1);
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(status.error(), CommunicationErrorKind::parsing_error());
}

TEST_F(BusTest, SyncWriteSendsGoalsWithoutWaiting) {
    const std::vector<double> zeros{0.0, 0.0};
    const Bytes left_arm{1, 2};
    ASSERT_TRUE(sm40bl::sync_write_goal_position(handler, *port, left_arm, zeros).has_value());
    ASSERT_TRUE(sim->wait_for_received(14, 1s));
    EXPECT_EQ(sim->received(), (Bytes{0xFF, 0xFF, 0xFE, 0x0A, 0x83, 0x2A, 0x02, 0x01, 0x00, 0x08,
                                      0x02, 0x00, 0x08, 0x35}));
}

TEST_F(BusTest, UnsolicitedSyncWriteAnswerIsDiscardedBeforeNextRequest) {
    sim->set_faults(1, faults_with([](auto& f) { f.answer_sync_write = true; }));
    const std::vector<bool> on{true};
    const Bytes id1{1};
    ASSERT_TRUE(sm40bl::sync_write_torque_enable(handler, *port, id1, on).has_value());
    std::this_thread::sleep_for(20ms);
    auto torque = sm40bl::sync_read_torque_enable(handler, *port, id1);
    ASSERT_TRUE(torque.has_value()) << torque.error().message();
    EXPECT_EQ(*torque, std::vector<bool>{true});
}

TEST_F(BusTest, GroupReadsAndWritesOfBothModels) {
    // No angle limits on servo 4 (both 0), so that a goal of half a turn is not clamped.
    ASSERT_TRUE(sim->write_registers(4, servosim::MAX_ANGLE_LIMIT, Bytes{0, 0}));
    const std::vector<double> goals{1.0, -1.0, 0.0, 3.141592653589793};
    ASSERT_TRUE(sm40bl::sync_write_goal_position(handler, *port, kArms, goals).has_value());
    const std::vector<std::uint8_t> torque{1, 0, 2};
    ASSERT_TRUE(sts3025bl::sync_write_raw_torque_enable(handler, *port, kNose, torque).has_value());
    std::this_thread::sleep_for(10ms);

    auto raw = sm40bl::sync_read_raw_present_position(handler, *port, kArms);
    ASSERT_TRUE(raw.has_value()) << raw.error().message();
    EXPECT_EQ(*raw, (std::vector<std::int16_t>{2699, 1396, 2048, 4096}));
    auto radians = sm40bl::sync_read_present_position(handler, *port, kArms);
    ASSERT_TRUE(radians.has_value()) << radians.error().message();
    EXPECT_EQ((*radians)[2], 0.0);
    auto enabled = sts3025bl::sync_read_torque_enable(handler, *port, kNose);
    ASSERT_TRUE(enabled.has_value());
    EXPECT_EQ(*enabled, (std::vector<bool>{true, false, true}));
    auto voltage = sts3025bl::sync_read_present_voltage(handler, *port, kNose);
    ASSERT_TRUE(voltage.has_value()) << voltage.error().message();
    EXPECT_EQ(*voltage, (Bytes{120, 120, 120}));
    auto none = sm40bl::sync_read_present_position(handler, *port, {});
    ASSERT_TRUE(none.has_value());
    EXPECT_TRUE(none->empty());
}

TEST_F(BusTest, NegativeRawPositionReadsBelowMinusPi) {
    ASSERT_TRUE(sim->write_registers(2, servosim::MAX_ANGLE_LIMIT, Bytes{0, 0}));  // no limits
    sim->set_position(2, -1);
    const Bytes id2{2};
    auto radians = sm40bl::sync_read_present_position(handler, *port, id2);
    ASSERT_TRUE(radians.has_value()) << radians.error().message();
    EXPECT_DOUBLE_EQ(radians->at(0), -3.141592653589793 - 6.283185307179586 / 4096);
}

TEST_F(BusTest, GroupReadRejectsAnswerOfWrongWidth) {
    // A 1-byte answer to a 2-byte register read: the raw packet path fakes it.
    sim->set_unpowered(1, true);
    const Bytes answer{0xFF, 0xFF, 0x01, 0x03, 0x00, 0x08, 0xF3};
    sim->inject(answer, 2ms);
    const Bytes id1{1};
    auto read = sm40bl::sync_read_raw_present_position(handler, *port, id1);
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error(), CommunicationErrorKind::parsing_error());
}

// A port whose writes always fail, with a text the handler must not pass on.
class BrokenWritePort final : public serialbus::Port {
  public:
    std::expected<std::uint32_t, serialbus::SerialPortError> bytes_to_read() override { return 0U; }
    std::expected<void, serialbus::IoError> read_exact(std::span<std::uint8_t>) override {
        ++reads;
        return std::unexpected(serialbus::IoError(IoErrorKind::TimedOut, "Operation timed out"));
    }
    std::expected<void, serialbus::IoError> write_all(std::span<const std::uint8_t>) override {
        return std::unexpected(serialbus::IoError(IoErrorKind::Other, "Broken pipe"));
    }
    int reads = 0;
};

TEST(FailingPort, WriteFailureIsTimeoutErrorForEveryOperation) {
    BrokenWritePort port;
    const serialbus::feetech_protocol::FeetechProtocolHandler handler;
    const Bytes ids{1, 2};
    const Bytes data{1};
    const std::vector<Bytes> group{{1}, {1}};
    const std::vector<std::string> texts{
        handler.ping(port, 1).error().message(),
        handler.reboot(port, 1).error().message(),
        handler.read(port, 1, 56, 2).error().message(),
        handler.write(port, 1, 40, data).error().message(),
        handler.sync_read(port, ids, 56, 2).error().message(),
        handler.sync_write(port, ids, 40, group).error().message(),
    };
    for (const auto& text : texts) {
        EXPECT_EQ(text, "Timeout error");
    }
    EXPECT_EQ(port.reads, 0);  // nothing is read after a failed send
}

// bytes_to_read failing: the port's own error comes back unchanged.
class NoCountPort final : public serialbus::Port {
  public:
    std::expected<std::uint32_t, serialbus::SerialPortError> bytes_to_read() override {
        return std::unexpected(
            serialbus::SerialPortError(serialbus::SerialPortErrorKind::Io, "Input/output error"));
    }
    std::expected<void, serialbus::IoError> read_exact(std::span<std::uint8_t>) override {
        return {};
    }
    std::expected<void, serialbus::IoError> write_all(std::span<const std::uint8_t>) override {
        ADD_FAILURE() << "nothing may be written";
        return {};
    }
};

// Input that never stops arriving: three clearing passes, then TimeoutError with nothing sent.
class ChatteringPort final : public serialbus::Port {
  public:
    std::expected<std::uint32_t, serialbus::SerialPortError> bytes_to_read() override {
        ++counts;
        return 3U;
    }
    std::expected<void, serialbus::IoError> read_exact(std::span<std::uint8_t> buffer) override {
        drained += buffer.size();
        return {};
    }
    std::expected<void, serialbus::IoError> write_all(std::span<const std::uint8_t>) override {
        ++writes;
        return {};
    }
    int counts = 0;
    std::size_t drained = 0;
    int writes = 0;
};

TEST(FailingPort, InputThatKeepsComingIsTimeoutErrorAndNothingIsSent) {
    ChatteringPort port;
    const serialbus::feetech_protocol::FeetechProtocolHandler handler;
    const auto start = Clock::now();
    auto ping = handler.ping(port, 1);
    ASSERT_FALSE(ping.has_value());
    EXPECT_EQ(ping.error().message(), "Timeout error");
    EXPECT_GE(Clock::now() - start, 15ms);  // three 5 ms pauses
    EXPECT_EQ(port.counts, 7);              // two per pass and a last look
    EXPECT_EQ(port.drained, 9U);
    EXPECT_EQ(port.writes, 0);
}

TEST(FailingPort, UnknownInputCountIsReturnedAsSerialPortError) {
    NoCountPort port;
    const serialbus::feetech_protocol::FeetechProtocolHandler handler;
    auto ping = handler.ping(port, 1);
    ASSERT_FALSE(ping.has_value());
    ASSERT_NE(ping.error().serial_port_error(), nullptr);
    EXPECT_EQ(ping.error().message(), "Input/output error");
}

}  // namespace
