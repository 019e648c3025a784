// The real SocketCanTransport on a live interface (WENLO_CAN_IFACE, default "can0"): a vcan
// interface, or the user-space stand-in loaded with LD_PRELOAD.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <linux/can/error.h>

#include "candrive/damiao/driver.hpp"
#include "candrive/transport/socketcan_backend/socketcan_transport.hpp"
#include "raw_peer.hpp"

namespace {

using namespace candrive::transport;
using candrive::testing::can_interface;
using candrive::testing::RawPeer;
using socketcan_backend::SocketCanTransport;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

CanFrame classic(CanId id, Bytes data) {
    return CanFrame{std::move(data), id, false, false};
}

class SocketCan : public ::testing::Test {
  protected:
    void SetUp() override {
        auto opened = SocketCanTransport::open(can_interface());
        ASSERT_TRUE(opened.has_value())
            << "cannot open " << can_interface() << ": " << opened.error().message();
        bus_.emplace(std::move(*opened));
        ASSERT_TRUE(peer_.ok()) << peer_.error();
    }

    SocketCanTransport& bus() { return *bus_; }

    std::optional<SocketCanTransport> bus_;
    RawPeer peer_{can_interface()};
};

TEST_F(SocketCan, InvalidFramesWriteNothing) {
    EXPECT_EQ(bus().send(classic(CanId::Standard(0x800), {1})).error(), CanError::invalid_id());
    EXPECT_EQ(bus().send(classic(CanId::Extended(0x20000000), {1})).error(),
              CanError::invalid_id());
    EXPECT_EQ(bus().send(classic(CanId::Standard(1), Bytes(9))).error(),
              CanError::frame_too_large(9));
    EXPECT_EQ(bus().send(CanFrame{Bytes(65), CanId::Standard(1), true, false}).error(),
              CanError::frame_too_large(65));
    // The first frame the peer sees is the marker sent after the refusals.
    ASSERT_TRUE(bus().send(classic(CanId::Standard(0x7FF), {0xAA})).has_value());
    const auto seen = peer_.read_classic();
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(seen->can_id, 0x7FFU);
    EXPECT_EQ(seen->len, 1);
    EXPECT_EQ(seen->data[0], 0xAA);
}

TEST_F(SocketCan, SentFramesAsSeenByAnotherSocket) {
    ASSERT_TRUE(bus().send(classic(CanId::Extended(0x1234567), {1, 2, 3})).has_value());
    const auto classic_bytes = peer_.read();
    ASSERT_TRUE(classic_bytes.has_value());
    ASSERT_EQ(classic_bytes->size(), CAN_MTU);
    can_frame c;
    std::memcpy(&c, classic_bytes->data(), sizeof c);
    EXPECT_EQ(c.can_id, 0x1234567U | CAN_EFF_FLAG);
    EXPECT_EQ(c.len, 3);
    EXPECT_EQ(Bytes(c.data, c.data + 3), (Bytes{1, 2, 3}));

    Bytes payload(13);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<std::uint8_t>(i + 1);
    }
    ASSERT_TRUE(bus().send(CanFrame{payload, CanId::Standard(0x42), true, true}).has_value());
    const auto fd_bytes = peer_.read();
    ASSERT_TRUE(fd_bytes.has_value());
    ASSERT_EQ(fd_bytes->size(), CANFD_MTU);
    canfd_frame f;
    std::memcpy(&f, fd_bytes->data(), sizeof f);
    EXPECT_EQ(f.can_id, 0x42U);
    EXPECT_EQ(f.len, 16) << "13 bytes round up to 16";
    EXPECT_EQ(Bytes(f.data, f.data + 13), payload);
    EXPECT_EQ(Bytes(f.data + 13, f.data + 16), (Bytes{0, 0, 0})) << "zero padding";
    EXPECT_NE(f.flags & CANFD_BRS, 0);
}

TEST_F(SocketCan, ReceivedFramesOfEachKind) {
    ASSERT_TRUE(peer_.write_classic(0x1ABCDEF | CAN_EFF_FLAG, {9, 8, 7, 6, 5, 4, 3, 2}));
    ASSERT_TRUE(peer_.write_classic(0x123 | CAN_RTR_FLAG, {}));
    ASSERT_TRUE(peer_.write_fd(0x55, Bytes(20, 0x5A), CANFD_BRS));
    ASSERT_TRUE(peer_.write_fd(0x56, {1, 2}, 0));

    const auto timeout = Duration::from_millis(1000);
    auto data = bus().recv(timeout);
    ASSERT_TRUE(data.has_value()) << data.error().message();
    EXPECT_EQ(*data, classic(CanId::Extended(0x1ABCDEF), {9, 8, 7, 6, 5, 4, 3, 2}));

    auto remote = bus().recv(timeout);
    ASSERT_TRUE(remote.has_value()) << remote.error().message();
    EXPECT_EQ(*remote, classic(CanId::Standard(0x123), {}));

    auto fd = bus().recv(timeout);
    ASSERT_TRUE(fd.has_value()) << fd.error().message();
    EXPECT_EQ(*fd, (CanFrame{Bytes(20, 0x5A), CanId::Standard(0x55), true, true}));

    auto fd_plain = bus().recv(timeout);
    ASSERT_TRUE(fd_plain.has_value()) << fd_plain.error().message();
    EXPECT_EQ(*fd_plain, (CanFrame{{1, 2}, CanId::Standard(0x56), true, false}));
}

TEST_F(SocketCan, ErrorFramesKeepAllEightBytes) {
    // Raw sockets get error frames only once asked to (this is not part of the transport).
    const can_err_mask_t mask = CAN_ERR_MASK;
    if (::setsockopt(bus().native_handle(), SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &mask, sizeof mask) !=
        0) {
        GTEST_SKIP() << "interface offers no error-frame filter: " << std::strerror(errno);
    }
    ASSERT_TRUE(peer_.write_classic(CAN_ERR_FLAG | CAN_ERR_BUSOFF, {}));
    auto frame = bus().recv(Duration::from_millis(500));
    if (!frame && frame.error().is<CanError::Timeout>()) {
        GTEST_SKIP() << "interface does not loop error frames back";
    }
    ASSERT_TRUE(frame.has_value()) << frame.error().message();
    EXPECT_EQ(frame->id, CanId::Standard(CAN_ERR_BUSOFF & CAN_SFF_MASK));
    EXPECT_EQ(frame->data.size(), 8U);
    EXPECT_FALSE(frame->fd);
}

TEST_F(SocketCan, RecvTimesOutAfterAtLeastTheTimeout) {
    const auto start = Clock::now();
    const auto frame = bus().recv(Duration::from_millis(100));
    const auto elapsed = Clock::now() - start;
    ASSERT_FALSE(frame.has_value());
    EXPECT_EQ(frame.error().message(), "timeout waiting for frame");
    // One millisecond of slack for clock granularity in the interface's wait.
    EXPECT_GE(elapsed, std::chrono::milliseconds(99));
}

TEST_F(SocketCan, ZeroTimeoutPollsInsteadOfBlocking) {
    // A zero SO_RCVTIMEO would block forever; ctest's time-out catches a regression here.
    EXPECT_EQ(bus().recv(Duration{}).error(), CanError::timeout());
    EXPECT_EQ(bus().recv(Duration{0, 999}).error(), CanError::timeout());
}

// Answers the first frame it sees with `replies`, in order.
std::thread reply_once(RawPeer& peer, std::vector<std::pair<canid_t, Bytes>> replies,
                       std::atomic<bool>& saw_request) {
    return std::thread([&peer, &saw_request, replies = std::move(replies)] {
        if (!peer.read()) {
            return;
        }
        saw_request = true;
        for (const auto& [id, data] : replies) {
            peer.write_classic(id, data);
        }
    });
}

TEST_F(SocketCan, UnansweredRequestTimesOutAndDiscardsOtherIds) {
    std::atomic<bool> saw_request{false};
    auto responder = reply_once(
        peer_,
        {{0x124, {1}}, {0x122, {2}}, {0x123 | CAN_EFF_FLAG, {3}}, {0x7FF, {4}}, {0x001, {5}}},
        saw_request);
    const auto start = Clock::now();
    const auto reply = bus().request(classic(CanId::Standard(0x001), {0}), CanId::Standard(0x123),
                                     Duration::from_millis(300));
    const auto elapsed = Clock::now() - start;
    responder.join();
    ASSERT_TRUE(saw_request);
    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(reply.error().message(), "timeout waiting for frame");
    EXPECT_GE(elapsed, std::chrono::milliseconds(299));
    // Everything that came meanwhile was consumed by the request.
    EXPECT_EQ(bus().recv(Duration::from_millis(50)).error(), CanError::timeout());
}

TEST_F(SocketCan, RequestMatchesIdVariantAndNumber) {
    std::atomic<bool> saw_request{false};
    auto responder = reply_once(
        peer_, {{0x123 | CAN_EFF_FLAG, {0xE}}, {0x123, {0x5}}, {0x123, {0x6}}}, saw_request);
    const auto reply = bus().request(classic(CanId::Standard(0x001), {0}), CanId::Standard(0x123),
                                     Duration::from_millis(2000));
    responder.join();
    ASSERT_TRUE(reply.has_value()) << reply.error().message();
    EXPECT_EQ(*reply, classic(CanId::Standard(0x123), {0x5}));
    // The frame after the match is left for the next read.
    const auto next = bus().recv(Duration::from_millis(1000));
    ASSERT_TRUE(next.has_value()) << next.error().message();
    EXPECT_EQ(next->data, Bytes{0x6});
}

TEST_F(SocketCan, MovedTransportKeepsTheSocket) {
    const int fd = bus().native_handle();
    SocketCanTransport moved = std::move(*bus_);
    EXPECT_EQ(moved.native_handle(), fd);
    EXPECT_EQ(bus_->native_handle(), -1);
    ASSERT_TRUE(moved.send(classic(CanId::Standard(0x10), {1})).has_value());
    const auto seen = peer_.read_classic();
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(seen->can_id, 0x10U);
}

TEST(SocketCanOpen, MissingInterfaceIsNoSuchDevice) {
    const auto opened = SocketCanTransport::open("cdnosuch9");
    ASSERT_FALSE(opened.has_value());
    EXPECT_EQ(opened.error().message(), "backend error: No such device (os error 19)");
}

}  // namespace
