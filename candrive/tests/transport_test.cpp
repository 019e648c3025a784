#include <gtest/gtest.h>
#include <linux/can.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "candrive/transport/socketcan_backend/socketcan_transport.hpp"
#include "fake_transport.hpp"
#include "transport/socketcan_backend/kernel_frame.hpp"

namespace {

using namespace candrive::transport;
using namespace candrive::transport::socketcan_backend;
using candrive::testing::classic;
using candrive::testing::FakeTransport;

TEST(CanIdValue, EqualityNeedsSameVariantAndNumber) {
    EXPECT_EQ(CanId::Standard(1), CanId::Standard(1));
    EXPECT_NE(CanId::Standard(1), CanId::Extended(1));
    EXPECT_NE(CanId::Extended(2), CanId::Extended(1));
}

TEST(DurationValue, ConvertsFromChrono) {
    EXPECT_EQ(Duration::from(std::chrono::milliseconds(20)), (Duration{0, 20'000'000}));
    EXPECT_EQ(Duration::from(std::chrono::seconds(3) + std::chrono::nanoseconds(7)),
              (Duration{3, 7}));
    EXPECT_EQ(Duration::from(std::chrono::milliseconds(-5)), Duration{});
    EXPECT_EQ(Duration::from_millis(1500), (Duration{1, 500'000'000}));
    EXPECT_EQ((Duration{2, 5}).to_chrono(), std::chrono::nanoseconds(2'000'000'005));
    EXPECT_EQ((Duration{UINT64_MAX, 0}).to_chrono(), std::chrono::nanoseconds::max());
}

// --- Kernel layout -------------------------------------------------------------------------

class FdLengthRounding : public ::testing::TestWithParam<std::pair<std::size_t, std::uint8_t>> {};

TEST_P(FdLengthRounding, RoundsUpToCarriableLength) {
    const auto [payload, expected] = GetParam();
    EXPECT_EQ(fd_length_for(payload), expected);
    KernelBuffer out;
    CanFrame frame{std::vector<std::uint8_t>(payload, 0xAB), CanId::Standard(0x10), true, false};
    ASSERT_EQ(to_kernel(frame, out), kFdMtu);
    canfd_frame fd;
    std::memcpy(&fd, out.data(), sizeof fd);
    EXPECT_EQ(fd.len, expected);
    for (std::size_t i = 0; i < CANFD_MAX_DLEN; ++i) {
        EXPECT_EQ(fd.data[i], i < payload ? 0xAB : 0x00) << "byte " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, FdLengthRounding,
                         ::testing::Values(std::pair<std::size_t, std::uint8_t>{0, 0},
                                           std::pair{8, 8}, std::pair{9, 12}, std::pair{12, 12},
                                           std::pair{13, 16}, std::pair{17, 20}, std::pair{21, 24},
                                           std::pair{24, 24}, std::pair{25, 32}, std::pair{33, 48},
                                           std::pair{48, 48}, std::pair{49, 64},
                                           std::pair{64, 64}));

TEST(KernelLayout, ClassicFrameIsSixteenBytesWithZeroedRest) {
    KernelBuffer out;
    out.fill(0xEE);
    ASSERT_EQ(to_kernel(classic(0x7FF, {1, 2, 3}), out), kClassicMtu);
    const std::uint8_t expected[16] = {0xFF, 0x07, 0, 0, 3, 0, 0, 0, 1, 2, 3, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(out.data(), expected, 16), 0);
}

TEST(KernelLayout, ExtendedIdCarriesFlagAndFdFlagsFollowBrs) {
    KernelBuffer out;
    CanFrame frame{{9}, CanId::Extended(0x1FFFFFFF), true, true};
    ASSERT_EQ(to_kernel(frame, out), kFdMtu);
    canfd_frame fd;
    std::memcpy(&fd, out.data(), sizeof fd);
    EXPECT_EQ(fd.can_id, 0x1FFFFFFFU | CAN_EFF_FLAG);
    EXPECT_EQ(fd.flags, CANFD_FDF | CANFD_BRS);
    frame.brs = false;
    ASSERT_EQ(to_kernel(frame, out), kFdMtu);
    std::memcpy(&fd, out.data(), sizeof fd);
    EXPECT_EQ(fd.flags, CANFD_FDF);
}

TEST(KernelLayout, RejectsInvalidIdsAndOversizedPayloads) {
    KernelBuffer out;
    EXPECT_EQ(to_kernel(classic(0x800, {}), out).error(), CanError::invalid_id());
    EXPECT_EQ(to_kernel(CanFrame{{}, CanId::Extended(0x20000000), false, false}, out).error(),
              CanError::invalid_id());
    // An invalid id wins over an oversized payload: the id is checked first.
    EXPECT_EQ(to_kernel(classic(0x800, std::vector<std::uint8_t>(70)), out).error(),
              CanError::invalid_id());
    EXPECT_EQ(to_kernel(classic(1, std::vector<std::uint8_t>(9)), out).error(),
              CanError::frame_too_large(9));
    EXPECT_EQ(
        to_kernel(CanFrame{std::vector<std::uint8_t>(65), CanId::Standard(1), true, false}, out)
            .error(),
        CanError::frame_too_large(65));
}

std::vector<std::uint8_t> classic_bytes(canid_t id, std::uint8_t len, std::uint8_t fill) {
    can_frame f{};
    f.can_id = id;
    f.len = len;
    std::memset(f.data, fill, sizeof f.data);
    std::vector<std::uint8_t> bytes(sizeof f);
    std::memcpy(bytes.data(), &f, sizeof f);
    return bytes;
}

TEST(KernelLayout, ConvertsEachReceivedKind) {
    const auto data = from_kernel(classic_bytes(0x123, 3, 7));
    ASSERT_TRUE(data.has_value());
    EXPECT_EQ(*data, (CanFrame{{7, 7, 7}, CanId::Standard(0x123), false, false}));

    const auto remote = from_kernel(classic_bytes(0x42 | CAN_RTR_FLAG, 2, 5));
    ASSERT_TRUE(remote.has_value());
    EXPECT_EQ(*remote, (CanFrame{{5, 5}, CanId::Standard(0x42), false, false}));

    // Error frames keep all eight data bytes, whatever their length byte says.
    const auto error = from_kernel(classic_bytes(CAN_ERR_FLAG | 0x4, 0, 1));
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->data.size(), 8U);
    EXPECT_EQ(error->id, CanId::Standard(0x4));

    const auto extended = from_kernel(classic_bytes(CAN_EFF_FLAG | 0x1ABCDEF, 1, 0));
    ASSERT_TRUE(extended.has_value());
    EXPECT_EQ(extended->id, CanId::Extended(0x1ABCDEF));

    canfd_frame fd{};
    fd.can_id = 0x55;
    fd.len = 12;
    fd.flags = CANFD_FDF | CANFD_BRS;
    std::memset(fd.data, 3, sizeof fd.data);
    std::vector<std::uint8_t> fd_bytes(sizeof fd);
    std::memcpy(fd_bytes.data(), &fd, sizeof fd);
    const auto fd_frame = from_kernel(fd_bytes);
    ASSERT_TRUE(fd_frame.has_value());
    EXPECT_EQ(*fd_frame,
              (CanFrame{std::vector<std::uint8_t>(12, 3), CanId::Standard(0x55), true, true}));
}

TEST(KernelLayout, OtherReadSizesAreIoErrors) {
    for (std::size_t n : {0, 8, 15, 17, 71}) {
        const auto result = from_kernel(std::vector<std::uint8_t>(n));
        ASSERT_FALSE(result.has_value());
        EXPECT_TRUE(result.error().is<CanError::Io>()) << n;
    }
}

TEST(SocketCanOpen, RejectsNameWithNulByte) {
    const auto opened = SocketCanTransport::open(std::string_view("can\0x", 5));
    ASSERT_FALSE(opened.has_value());
    EXPECT_EQ(opened.error().message(), "backend error: Invalid argument (os error 22)");
}

TEST(SocketCanOpen, NonCanInterfaceFailsWithIo) {
    // Without AF_CAN the socket call fails; with it, binding to a non-CAN device does.
    const auto opened = SocketCanTransport::open("lo");
    ASSERT_FALSE(opened.has_value());
    EXPECT_TRUE(opened.error().is<CanError::Io>());
}

// --- Shared request over a scripted transport -------------------------------------------

TEST(Request, DiscardsOtherIdsAndReturnsFirstMatch) {
    FakeTransport bus;
    bus.inbox = {classic(0x11, {1}), CanFrame{{2}, CanId::Extended(0x22), false, false},
                 classic(0x22, {3}), classic(0x22, {4})};
    const auto reply =
        bus.request(classic(0x01, {9}), CanId::Standard(0x22), Duration::from_millis(50));
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->data, std::vector<std::uint8_t>{3});
    ASSERT_EQ(bus.sent.size(), 1U);
    EXPECT_EQ(bus.sent[0], classic(0x01, {9}));
    EXPECT_EQ(bus.inbox.size(), 1U) << "frames after the match stay queued";
    // Each wait is bounded by what is left of the time-out.
    for (const auto& t : bus.recv_timeouts) {
        EXPECT_LE(t.to_chrono(), std::chrono::milliseconds(50));
    }
}

TEST(Request, SendFailureIsReturnedWithoutWaiting) {
    FakeTransport bus;
    bus.send_failure = CanError::invalid_id();
    const auto reply =
        bus.request(classic(0x01, {}), CanId::Standard(1), Duration::from_millis(10));
    EXPECT_EQ(reply.error(), CanError::invalid_id());
    EXPECT_TRUE(bus.recv_timeouts.empty());
}

// A bus that never goes quiet: unrelated frames keep arriving every few milliseconds.
class ChattyTransport final : public CanTransport {
  public:
    std::expected<void, CanError> send(const CanFrame&) override { return {}; }
    std::expected<CanFrame, CanError> recv(Duration timeout) override {
        ++received;
        std::this_thread::sleep_for(
            std::min<std::chrono::nanoseconds>(timeout.to_chrono(), std::chrono::milliseconds(3)));
        return classic(0x300, {});
    }
    int received = 0;
};

TEST(Request, UnrelatedTrafficCannotExtendTheDeadline) {
    ChattyTransport bus;
    const auto start = std::chrono::steady_clock::now();
    const auto reply = bus.request(classic(1, {}), CanId::Standard(1), Duration::from_millis(60));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(reply.error(), CanError::timeout());
    EXPECT_GE(elapsed, std::chrono::milliseconds(60));
    // Generous: only that it gave up at all, not how quickly.
    EXPECT_LT(elapsed, std::chrono::seconds(5));
    EXPECT_GT(bus.received, 1);
}

}  // namespace
