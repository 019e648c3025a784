// Simulated motors seen from a master on the same bus, through plain raw CAN sockets.
#include "damiaosim/can_timing.hpp"
#include "damiaosim/motor_bus.hpp"

#include <gtest/gtest.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>

namespace damiaosim {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::array<std::uint8_t, 8>;

std::string iface() {
    const char* name = std::getenv("WENLO_CAN_IFACE");
    return name != nullptr && *name != '\0' ? name : "can0";
}

constexpr MitRanges kYaw{12.5f, 30, 500, 5, 10};
constexpr MitRanges kPitch{12.5f, 10, 500, 5, 28};

// The master side, written from the frame layouts alone.
Bytes encode_mit(const MitRanges& r, float p, float v, float kp, float kd, float t) {
    auto raw = [](float x, float lo, float hi, float max) {
        x = std::clamp(x, lo, hi);
        return static_cast<std::uint32_t>((x - lo) * max / (hi - lo));
    };
    std::uint32_t pr = raw(p, -r.position, r.position, 65535);
    std::uint32_t vr = raw(v, -r.velocity, r.velocity, 4095);
    std::uint32_t kpr = raw(kp, 0, r.kp, 4095);
    std::uint32_t kdr = raw(kd, 0, r.kd, 4095);
    std::uint32_t tr = raw(t, -r.torque, r.torque, 4095);
    return Bytes{static_cast<std::uint8_t>(pr >> 8),
                 static_cast<std::uint8_t>(pr),
                 static_cast<std::uint8_t>(vr >> 4),
                 static_cast<std::uint8_t>((vr << 4) | (kpr >> 8)),
                 static_cast<std::uint8_t>(kpr),
                 static_cast<std::uint8_t>(kdr >> 4),
                 static_cast<std::uint8_t>((kdr << 4) | (tr >> 8)),
                 static_cast<std::uint8_t>(tr)};
}

double state_position(const MitRanges& r, const can_frame& f) {
    std::uint32_t p = (f.data[1] << 8) | f.data[2];
    return 2.0 * r.position * p / 65535.0 - r.position;
}

class Master {
  public:
    Master() {
        fd_ = socket(PF_CAN, SOCK_RAW, CAN_RAW);
        sockaddr_can addr{};
        addr.can_family = AF_CAN;
        addr.can_ifindex = static_cast<int>(if_nametoindex(iface().c_str()));
        if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~Master() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

    bool send(std::uint16_t id, const Bytes& data, std::uint8_t len = 8) const {
        can_frame f{};
        f.can_id = id;
        f.len = len;
        std::memcpy(f.data, data.data(), 8);
        return ::write(fd_, &f, sizeof f) == static_cast<ssize_t>(sizeof f);
    }

    // The first frame from `from` within `timeout`, skipping everything else.
    std::optional<can_frame> wait_for(std::uint16_t from, std::chrono::milliseconds timeout) const {
        auto deadline = Clock::now() + timeout;
        for (;;) {
            auto left =
                std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            timeval tv{static_cast<time_t>(left.count() / 1000000),
                       static_cast<suseconds_t>(left.count() % 1000000)};
            setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            can_frame f{};
            if (::recv(fd_, &f, sizeof f, 0) != static_cast<ssize_t>(sizeof f))
                return std::nullopt;
            if (f.can_id == from)
                return f;
        }
    }

    std::optional<can_frame> request(std::uint16_t to, const Bytes& data, std::uint16_t from,
                                     std::chrono::milliseconds timeout = 1000ms) const {
        if (!send(to, data))
            return std::nullopt;
        return wait_for(from, timeout);
    }

    std::optional<std::uint32_t> read_register(std::uint16_t motor, std::uint16_t master,
                                               std::uint8_t reg,
                                               std::chrono::milliseconds timeout = 1000ms) const {
        if (!send(0x7FF, {static_cast<std::uint8_t>(motor), 0, 0x33, reg, 0, 0, 0, 0}))
            return {};
        auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            auto f = wait_for(master, std::chrono::duration_cast<std::chrono::milliseconds>(
                                          deadline - Clock::now()));
            if (!f)
                return std::nullopt;
            if (f->len == 8 && f->data[2] == 0x33 && f->data[3] == reg) {
                return f->data[4] | (f->data[5] << 8) | (f->data[6] << 16) |
                       (static_cast<std::uint32_t>(f->data[7]) << 24);
            }
        }
        return std::nullopt;
    }

    void write_register(std::uint16_t motor, std::uint8_t reg, std::uint32_t v) const {
        send(0x7FF, {static_cast<std::uint8_t>(motor), 0, 0x55, reg, static_cast<std::uint8_t>(v),
                     static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
                     static_cast<std::uint8_t>(v >> 24)});
    }

  private:
    int fd_ = -1;
};

constexpr Bytes kEnable{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC};
constexpr Bytes kDisable{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFD};
constexpr Bytes kFeedback1{0x01, 0x00, 0xCC, 0, 0, 0, 0, 0};

class MotorBusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto bus = MotorBus::open(
            iface(),
            {MotorConfig{.motor_id = 1, .master_id = 0x11, .ranges = kYaw},
             MotorConfig{
                 .motor_id = 2, .master_id = 0x12, .ranges = kPitch, .start_position = 6.0}});
        ASSERT_TRUE(bus) << bus.error().message();
        bus_ = std::move(*bus);
        ASSERT_TRUE(bus_->start());
        ASSERT_TRUE(master_.ok());
    }

    std::unique_ptr<MotorBus> bus_;
    Master master_;
};

TEST_F(MotorBusTest, FeedbackRequestIsAnsweredFromTheMasterId) {
    auto reply = master_.request(0x7FF, kFeedback1, 0x11);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->len, 8);
    EXPECT_EQ(reply->data[0] & 0x0F, 1);
    EXPECT_EQ(reply->data[0] >> 4, 0);  // disabled
    EXPECT_NEAR(state_position(kYaw, *reply), 0.0, 1e-3);

    auto second = master_.request(0x7FF, {0x02, 0x00, 0xCC, 0, 0, 0, 0, 0}, 0x12);
    ASSERT_TRUE(second);
    EXPECT_NEAR(state_position(kPitch, *second), 6.0, 1e-3);
    EXPECT_EQ(bus_->snapshot(2)->feedback_requests, 1u);
}

struct RegisterCase {
    std::uint16_t motor;
    std::uint16_t master;
    std::uint8_t reg;
    std::uint32_t word;
};

class RegisterRead : public MotorBusTest, public ::testing::WithParamInterface<RegisterCase> {};

TEST_P(RegisterRead, ReportsTheConfiguredValue) {
    const RegisterCase& c = GetParam();
    auto v = master_.read_register(c.motor, c.master, c.reg);
    ASSERT_TRUE(v);
    EXPECT_EQ(*v, c.word);
}

INSTANTIATE_TEST_SUITE_P(
    Registers, RegisterRead,
    ::testing::Values(RegisterCase{1, 0x11, 0x0A, 1},     // CTRL_MODE
                      RegisterCase{1, 0x11, 0x07, 0x11},  // MST_ID
                      RegisterCase{2, 0x12, 0x08, 2},     // ESC_ID
                      RegisterCase{1, 0x11, 0x15, std::bit_cast<std::uint32_t>(12.5f)},   // PMAX
                      RegisterCase{2, 0x12, 0x16, std::bit_cast<std::uint32_t>(10.0f)},   // VMAX
                      RegisterCase{2, 0x12, 0x17, std::bit_cast<std::uint32_t>(28.0f)},   // TMAX
                      RegisterCase{2, 0x12, 0x51, std::bit_cast<std::uint32_t>(6.0f)}));  // xout

TEST_F(MotorBusTest, ControlModeWriteIsEchoedAndReadBack) {
    master_.write_register(1, 0x0A, 2);
    auto echo = master_.wait_for(0x11, 1000ms);
    ASSERT_TRUE(echo);
    EXPECT_EQ(echo->data[2], 0x55);
    EXPECT_EQ(echo->data[3], 0x0A);
    EXPECT_EQ(echo->data[4], 2);
    EXPECT_EQ(master_.read_register(1, 0x11, 0x0A), 2u);
    EXPECT_EQ(bus_->snapshot(1)->mode, 2u);
    EXPECT_EQ(bus_->snapshot(2)->mode, 1u);  // only the addressed motor changed
}

TEST_F(MotorBusTest, ReadOnlyRegisterKeepsItsValueAndUnknownOneIsNotAnswered) {
    auto before = master_.read_register(1, 0x11, 0x0B);
    ASSERT_TRUE(before);
    master_.write_register(1, 0x0B, 0x12345678);
    EXPECT_EQ(master_.read_register(1, 0x11, 0x0B), before);
    EXPECT_FALSE(master_.read_register(1, 0x11, 0x25, 300ms));
}

TEST_F(MotorBusTest, EnableAndDisableAreAnsweredWithState) {
    auto on = master_.request(1, kEnable, 0x11);
    ASSERT_TRUE(on);
    EXPECT_EQ(on->data[0] >> 4, 1);
    EXPECT_TRUE(bus_->snapshot(1)->enabled);
    EXPECT_FALSE(bus_->snapshot(2)->enabled);
    auto off = master_.request(1, kDisable, 0x11);
    ASSERT_TRUE(off);
    EXPECT_EQ(off->data[0] >> 4, 0);
    EXPECT_FALSE(bus_->snapshot(1)->enabled);
}

TEST_F(MotorBusTest, MitCommandTravelsToTheSetpointAndSettles) {
    ASSERT_TRUE(master_.request(1, kEnable, 0x11));
    Bytes cmd = encode_mit(kYaw, 1.0f, 0, 30, 1, 0);
    auto first = master_.request(1, cmd, 0x11);
    ASSERT_TRUE(first);
    EXPECT_LT(state_position(kYaw, *first), 0.5);  // answered before it had time to move
    double reported = 0;
    auto deadline = Clock::now() + 5s;
    int settled = 0;
    while (Clock::now() < deadline && settled < 20) {
        std::this_thread::sleep_for(10ms);
        auto r = master_.request(1, cmd, 0x11);
        ASSERT_TRUE(r);
        reported = state_position(kYaw, *r);
        settled = std::fabs(reported - 1.0) < 0.01 ? settled + 1 : 0;
    }
    EXPECT_EQ(settled, 20) << "last reported " << reported;
    auto snap = bus_->snapshot(1);
    ASSERT_TRUE(snap && snap->last_command);
    EXPECT_NEAR(snap->last_command->kp, 30.0f, 0.2f);
    EXPECT_NEAR(snap->last_command->kd, 1.0f, 0.01f);
    EXPECT_NEAR(snap->last_command->position, 1.0f, 1e-3f);
    EXPECT_NEAR(snap->position, 1.0, 0.01);
    EXPECT_GE(snap->mit_commands, 21u);
}

TEST_F(MotorBusTest, MitCommandDoesNotMoveADisabledOrNonMitMotor) {
    Bytes cmd = encode_mit(kYaw, 2.0f, 0, 50, 1, 0);
    ASSERT_TRUE(master_.request(1, cmd, 0x11));
    master_.write_register(2, 0x0A, 3);
    ASSERT_TRUE(master_.wait_for(0x12, 1000ms));
    ASSERT_TRUE(master_.request(2, kEnable, 0x12));
    ASSERT_TRUE(master_.request(2, encode_mit(kPitch, 2.0f, 0, 50, 1, 0), 0x12));
    std::this_thread::sleep_for(200ms);
    EXPECT_NEAR(bus_->snapshot(1)->position, 0.0, 1e-6);
    EXPECT_NEAR(bus_->snapshot(2)->position, 6.0, 1e-6);
    EXPECT_TRUE(bus_->snapshot(1)->last_command.has_value());
}

TEST_F(MotorBusTest, PulledCableSilencesTheMotorUntilItComesBack) {
    ASSERT_TRUE(bus_->set_connected(1, false));
    EXPECT_FALSE(master_.request(0x7FF, kFeedback1, 0x11, 300ms));
    EXPECT_EQ(bus_->snapshot(1)->frames_received, 0u);
    ASSERT_TRUE(master_.request(0x7FF, {0x02, 0, 0xCC, 0, 0, 0, 0, 0}, 0x12));  // others answer
    ASSERT_TRUE(bus_->set_connected(1, true));
    EXPECT_TRUE(master_.request(0x7FF, kFeedback1, 0x11));
}

TEST_F(MotorBusTest, StuckModeRefusesTheChangeAndKeepsReportingIt) {
    ASSERT_TRUE(bus_->set_stuck_mode(1, 2));
    EXPECT_EQ(master_.read_register(1, 0x11, 0x0A), 2u);
    master_.write_register(1, 0x0A, 1);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(master_.read_register(1, 0x11, 0x0A), 2u);
    ASSERT_TRUE(bus_->set_stuck_mode(1, std::nullopt));
    EXPECT_EQ(master_.read_register(1, 0x11, 0x0A), 1u);
}

TEST_F(MotorBusTest, LateMotorAnswersAfterAtLeastTheDelay) {
    ASSERT_TRUE(bus_->set_reply_delay(1, 150ms));
    auto start = Clock::now();
    auto reply = master_.request(0x7FF, kFeedback1, 0x11, 2000ms);
    ASSERT_TRUE(reply);
    EXPECT_GE(Clock::now() - start, 150ms);
}

TEST(CanTiming, FrameBitsCountStuffingExactly) {
    // 34 zero bits up to the CRC: six stuff bits, then the 13 fixed bits.
    EXPECT_EQ(frame_bits(0x000, {}), 53u);
    // An 8-byte frame lies between the unstuffed 111 bits and the worst case of 135.
    for (std::uint8_t fill : {0x00, 0x55, 0xFF, 0x0F}) {
        const std::array<std::uint8_t, 8> data{fill, fill, fill, fill, fill, fill, fill, fill};
        const std::size_t bits = frame_bits(0x011, data);
        EXPECT_GE(bits, 111u) << int(fill);
        EXPECT_LE(bits, 135u) << int(fill);
    }
    const std::array<std::uint8_t, 8> alternating{0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55};
    EXPECT_EQ(frame_time(0x011, alternating).count(), 1000 * frame_bits(0x011, alternating));
}

TEST_F(MotorBusTest, WireTimeCostsTwoFramesAndTheProcessing) {
    bus_->set_wire_time(true);
    for (int i = 0; i < 5; ++i) {
        const auto start = Clock::now();
        auto reply = master_.request(0x7FF, kFeedback1, 0x11);
        ASSERT_TRUE(reply);
        // Two 8-byte frames of at least 111 bits each, and the motor's processing.
        EXPECT_GE(Clock::now() - start, 2 * 111us + MotorBus::kMotorProcessing);
    }
}

TEST_F(MotorBusTest, ShortReplyCarriesFewerBytes) {
    ASSERT_TRUE(bus_->set_short_reply(1, 5));
    auto reply = master_.request(0x7FF, kFeedback1, 0x11);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->len, 5);
}

TEST_F(MotorBusTest, ChatterFillsTheBusWhileMotorsStillAnswer) {
    bus_->start_chatter({0x100, 0x555}, 1ms);
    EXPECT_TRUE(master_.wait_for(0x100, 1000ms));
    EXPECT_TRUE(master_.wait_for(0x555, 1000ms));
    EXPECT_TRUE(master_.request(0x7FF, kFeedback1, 0x11));
    bus_->stop_chatter();
}

TEST_F(MotorBusTest, LogRecordsEveryFrameHeard) {
    bus_->clear_log();
    auto before = bus_->frame_count();
    ASSERT_TRUE(master_.request(0x7FF, kFeedback1, 0x11));
    ASSERT_TRUE(master_.send(0x321, {1, 2, 3, 0, 0, 0, 0, 0}, 3));
    ASSERT_TRUE(master_.request(0x7FF, kFeedback1, 0x11));  // the 0x321 frame came before it
    auto log = bus_->received_frames();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].can_id, 0x7FFu);
    EXPECT_EQ(log[1].can_id, 0x321u);
    EXPECT_EQ(log[1].data.size(), 3u);
    EXPECT_EQ(bus_->frame_count(), before + 3);
}

TEST_F(MotorBusTest, PowerCycleDisablesAndRestartsTheCounter) {
    ASSERT_TRUE(master_.request(1, kEnable, 0x11));
    ASSERT_TRUE(bus_->power_cycle(1, 6.0));
    auto snap = bus_->snapshot(1);
    EXPECT_FALSE(snap->enabled);
    EXPECT_DOUBLE_EQ(snap->position, 6.0);
    auto reply = master_.request(0x7FF, kFeedback1, 0x11);
    ASSERT_TRUE(reply);
    EXPECT_NEAR(state_position(kYaw, *reply), 6.0, 1e-3);
}

TEST_F(MotorBusTest, UnknownMotorIdIsAnError) {
    auto r = bus_->set_connected(9, false);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "no simulated motor with motor_id 9");
}

// The communication time-out (register 9), under both guesses of which frames restart it.
class Watchdog : public MotorBusTest, public ::testing::WithParamInterface<WatchdogFeeds> {
  protected:
    static constexpr std::uint8_t kTimeoutRegister = 0x09;
    static constexpr std::uint32_t k100ms = 2000;  // in 50 us units
    static constexpr std::uint8_t kCommLost = 0x0D;

    void SetUp() override {
        MotorBusTest::SetUp();
        bus_->set_watchdog_feeds(GetParam());
        ASSERT_EQ(bus_->watchdog_feeds(), GetParam());
    }

    bool any() const { return GetParam() == WatchdogFeeds::Any; }

    void set_timeout(std::uint32_t units) {
        master_.write_register(1, kTimeoutRegister, units);
        auto echo = master_.wait_for(0x11, 1000ms);
        ASSERT_TRUE(echo);
        ASSERT_EQ(echo->data[3], kTimeoutRegister);
    }

    // The error nibble of the motor's answer to a feedback request (which feeds it under Any).
    std::optional<int> reported_error() const {
        auto reply = master_.request(0x7FF, kFeedback1, 0x11);
        if (!reply)
            return std::nullopt;
        return reply->data[0] >> 4;
    }

    // Waits (up to `limit`) until the motor is disabled; its snapshot then.
    MotorSnapshot wait_until_stopped(std::chrono::milliseconds limit) const {
        const auto deadline = Clock::now() + limit;
        auto snap = bus_->snapshot(1);
        while (snap->enabled && Clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
            snap = bus_->snapshot(1);
        }
        return *snap;
    }
};

TEST_P(Watchdog, MitCommandsKeepItEnabledAndSilenceTripsItOnTimeUntilTheNextEnable) {
    set_timeout(k100ms);
    ASSERT_TRUE(master_.request(1, kEnable, 0x11));
    // Fed every 20 ms for a second: never trips.
    const Bytes hold = encode_mit(kYaw, 0, 0, 10, 1, 0);
    Clock::time_point last_sent;
    for (int i = 0; i < 50; ++i) {
        std::this_thread::sleep_for(20ms);
        last_sent = Clock::now();
        auto reply = master_.request(1, hold, 0x11);
        ASSERT_TRUE(reply);
        ASSERT_EQ(reply->data[0] >> 4, 1) << "answer " << i;
    }
    const auto answered = Clock::now();
    auto fed = bus_->snapshot(1);
    EXPECT_TRUE(fed->enabled);
    EXPECT_EQ(fed->watchdog_trips, 0u);
    EXPECT_FALSE(fed->tripped_at);
    EXPECT_EQ(fed->timeout, k100ms);
    // The last feed is the last command, stamped when it went on the bus.
    ASSERT_TRUE(fed->last_feed_at);
    EXPECT_GE(*fed->last_feed_at, last_sent);
    EXPECT_LE(*fed->last_feed_at, answered);

    // Nothing at all on the bus: it trips 100 ms after the last command, give or take the
    // bus thread's wake-up.
    const MotorSnapshot stopped = wait_until_stopped(1000ms);
    ASSERT_FALSE(stopped.enabled);
    ASSERT_TRUE(stopped.tripped_at);
    EXPECT_EQ(stopped.last_feed_at, fed->last_feed_at);
    const auto lateness = *stopped.tripped_at - (*stopped.last_feed_at + 100ms);
    const double late_ms = std::chrono::duration<double, std::milli>(lateness).count();
    std::printf("[ watchdog ] feeds=%s: tripped %.3f ms after its deadline\n",
                any() ? "any" : "control", late_ms);
    EXPECT_GE(late_ms, 0.0);
    EXPECT_LE(late_ms, 30.0);
    EXPECT_EQ(stopped.watchdog_trips, 1u);
    EXPECT_EQ(stopped.error_code, kCommLost);

    // Tripped: no torque, answers say "communication lost", also to commands and a disable.
    EXPECT_EQ(reported_error(), kCommLost);
    ASSERT_TRUE(master_.request(1, encode_mit(kYaw, 1.0f, 0, 50, 1, 0), 0x11));
    auto after_disable = master_.request(1, kDisable, 0x11);
    ASSERT_TRUE(after_disable);
    EXPECT_EQ(after_disable->data[0] >> 4, kCommLost);
    std::this_thread::sleep_for(100ms);
    EXPECT_NEAR(bus_->snapshot(1)->position, stopped.position, 1e-3);  // not towards 1.0
    EXPECT_EQ(bus_->snapshot(1)->torque, 0.0);

    // Enabling clears it; the record of the trip stays.
    auto enabled = master_.request(1, kEnable, 0x11);
    ASSERT_TRUE(enabled);
    EXPECT_EQ(enabled->data[0] >> 4, 1);
    auto again = bus_->snapshot(1);
    EXPECT_TRUE(again->enabled);
    EXPECT_EQ(again->error_code, 1);
    EXPECT_EQ(again->tripped_at, stopped.tripped_at);
    EXPECT_EQ(again->watchdog_trips, 1u);
    EXPECT_EQ(bus_->snapshot(2)->watchdog_trips, 0u);  // the other motor was never armed
}

TEST_P(Watchdog, FeedbackRequestsAndRegisterReadsFeedItOnlyUnderAny) {
    set_timeout(k100ms);
    ASSERT_TRUE(master_.request(1, kEnable, 0x11));
    const auto enabled_at = bus_->snapshot(1)->last_feed_at;
    ASSERT_TRUE(enabled_at);
    for (int i = 0; i < 20; ++i) {  // 400 ms
        std::this_thread::sleep_for(20ms);
        if (i % 2 == 0)
            ASSERT_TRUE(reported_error());
        else
            ASSERT_TRUE(master_.read_register(1, 0x11, 0x0A));
    }
    auto s = bus_->snapshot(1);
    if (any()) {
        EXPECT_TRUE(s->enabled);
        EXPECT_EQ(s->watchdog_trips, 0u);
        EXPECT_GT(*s->last_feed_at, *enabled_at + 300ms);
        EXPECT_EQ(reported_error(), 1);
    } else {
        EXPECT_FALSE(s->enabled);
        EXPECT_EQ(s->watchdog_trips, 1u);
        EXPECT_EQ(s->last_feed_at, enabled_at);  // the enable was the last frame that counted
        ASSERT_TRUE(s->tripped_at);
        EXPECT_GE(*s->tripped_at, *enabled_at + 100ms);
        EXPECT_LE(*s->tripped_at, *enabled_at + 130ms);
        EXPECT_EQ(reported_error(), kCommLost);
    }
    EXPECT_EQ(s->feedback_requests, 10u);
    EXPECT_EQ(s->register_reads, 10u);
}

TEST_P(Watchdog, TimeoutZeroNeverTripsAndTheValueLivesInRam) {
    ASSERT_TRUE(master_.request(1, kEnable, 0x11));
    EXPECT_EQ(master_.read_register(1, 0x11, kTimeoutRegister), 0u);  // off at power-on
    std::this_thread::sleep_for(300ms);
    auto s = bus_->snapshot(1);
    EXPECT_TRUE(s->enabled);
    EXPECT_EQ(s->watchdog_trips, 0u);
    EXPECT_EQ(reported_error(), 1);

    // Writing TIMEOUT does not restart the count: under Control the enable 300 ms ago was the
    // last feed, so it trips at once; under Any the write itself feeds it.
    set_timeout(k100ms);
    const MotorSnapshot armed = wait_until_stopped(50ms);
    EXPECT_EQ(armed.enabled, any());
    EXPECT_EQ(armed.watchdog_trips, any() ? 0u : 1u);

    // A power cycle forgets an unsaved time-out and brings back a saved one.
    set_timeout(k100ms);
    ASSERT_TRUE(bus_->power_cycle(1, 0.0));
    EXPECT_EQ(master_.read_register(1, 0x11, kTimeoutRegister), 0u);
    set_timeout(400);
    ASSERT_TRUE(master_.send(0x7FF, {0x01, 0x00, 0xAA, 0x01, 0, 0, 0, 0}));
    ASSERT_TRUE(master_.read_register(1, 0x11, kTimeoutRegister));  // the save was heard first
    set_timeout(k100ms);
    ASSERT_TRUE(bus_->power_cycle(1, 0.0));
    EXPECT_EQ(master_.read_register(1, 0x11, kTimeoutRegister), 400u);
}

INSTANTIATE_TEST_SUITE_P(Feeds, Watchdog,
                         ::testing::Values(WatchdogFeeds::Control, WatchdogFeeds::Any),
                         [](const auto& info) {
                             return info.param == WatchdogFeeds::Any ? "Any" : "Control";
                         });

TEST(MotorBusOpen, UnknownInterfaceFails) {
    auto bus = MotorBus::open("nosuchcan5", {});
    ASSERT_FALSE(bus);
    EXPECT_EQ(bus.error().os_error(), ENODEV);
    EXPECT_NE(bus.error().message().find("No such device"), std::string::npos);
}

}  // namespace
}  // namespace damiaosim
