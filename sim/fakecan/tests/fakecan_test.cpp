// Raw CAN socket behaviour, written against the plain SocketCAN API only: the same
// executable runs on a kernel with a vcan interface and under the LD_PRELOAD stand-in.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <memory>
#include <string>
#include <vector>

namespace {

std::string iface() {
    const char* name = std::getenv("WENLO_CAN_IFACE");
    return name != nullptr && *name != '\0' ? name : "can0";
}

// An owned raw CAN socket bound to the test interface.
class CanSocket {
  public:
    explicit CanSocket(bool fd_frames = true, int extra_type = 0) {
        fd_ = socket(PF_CAN, SOCK_RAW | extra_type, CAN_RAW);
        if (fd_ < 0)
            return;
        sockaddr_can addr{};
        addr.can_family = AF_CAN;
        addr.can_ifindex = static_cast<int>(if_nametoindex(iface().c_str()));
        if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd_);
            fd_ = -1;
            return;
        }
        int on = fd_frames ? 1 : 0;
        setsockopt(fd_, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on);
        set_timeout(std::chrono::milliseconds(2000));
    }
    ~CanSocket() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    CanSocket(const CanSocket&) = delete;
    CanSocket& operator=(const CanSocket&) = delete;

    int fd() const { return fd_; }
    bool ok() const { return fd_ >= 0; }

    void set_timeout(std::chrono::microseconds t) {
        timeval tv{static_cast<time_t>(t.count() / 1000000),
                   static_cast<suseconds_t>(t.count() % 1000000)};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }

    ssize_t send_classic(canid_t id, std::vector<unsigned char> data) const {
        can_frame f{};
        f.can_id = id;
        f.len = static_cast<unsigned char>(data.size());
        if (!data.empty()) std::memcpy(f.data, data.data(), data.size());
        return ::write(fd_, &f, sizeof f);
    }

    ssize_t send_fd(canid_t id, unsigned char len) const {
        canfd_frame f{};
        f.can_id = id;
        f.len = len;
        f.flags = CANFD_FDF;
        for (unsigned i = 0; i < len; ++i)
            f.data[i] = static_cast<unsigned char>(i);
        return ::write(fd_, &f, sizeof f);
    }

    // Returns the byte count, or -errno.
    ssize_t receive(canfd_frame& f) const {
        std::memset(&f, 0, sizeof f);
        ssize_t n = ::recv(fd_, &f, sizeof f, 0);
        return n < 0 ? -errno : n;
    }

  private:
    int fd_ = -1;
};

using Clock = std::chrono::steady_clock;

bool under_stand_in() {
    const char* p = std::getenv("LD_PRELOAD");
    return p != nullptr && std::strstr(p, "fakecan") != nullptr;
}

// A vcan created without "mtu 72" refuses FD frames; such a bus cannot run the FD cases.
#define REQUIRE_FD_BUS(sock)                                                        \
    do {                                                                            \
        if ((sock).send_fd(0x7F0, 0) < 0 && errno == EINVAL && !under_stand_in()) { \
            GTEST_SKIP() << "interface MTU is 16: create the vcan with mtu 72";     \
        }                                                                           \
    } while (0)

TEST(InterfaceLookup, ServedNameHasStableIndexThatMapsBack) {
    unsigned index = if_nametoindex(iface().c_str());
    ASSERT_NE(index, 0u) << std::strerror(errno);
    EXPECT_EQ(if_nametoindex(iface().c_str()), index);
    char name[IF_NAMESIZE] = {};
    ASSERT_NE(if_indextoname(index, name), nullptr);
    EXPECT_EQ(std::string(name), iface());
}

TEST(InterfaceLookup, UnknownNameFailsWithNoSuchDevice) {
    errno = 0;
    EXPECT_EQ(if_nametoindex("nosuchcan7"), 0u);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(if_nametoindex("a-name-far-too-long-for-linux"), 0u);
}

TEST(Bind, RejectsUnknownIndexAndWrongFamily) {
    int fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = 0x7FFFFF00;
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), -1);
    EXPECT_EQ(errno, ENODEV);
    addr.can_family = AF_INET;
    addr.can_ifindex = static_cast<int>(if_nametoindex(iface().c_str()));
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), -1);
    EXPECT_EQ(errno, EINVAL);
    addr.can_family = AF_CAN;
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    int type = 0;
    socklen_t len = sizeof type;
    EXPECT_EQ(getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len), 0);
    EXPECT_EQ(type, SOCK_RAW);
    ::close(fd);
}

TEST(Bind, UnboundSocketCannotSend) {
    int fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    ASSERT_GE(fd, 0);
    can_frame f{};
    f.can_id = 0x10;
    EXPECT_EQ(::write(fd, &f, sizeof f), -1);
    EXPECT_EQ(errno, ENXIO);
    ::close(fd);
}

TEST(Delivery, TwoSocketsSeeEachOtherButNotThemselves) {
    CanSocket a, b;
    ASSERT_TRUE(a.ok() && b.ok()) << std::strerror(errno);
    ASSERT_EQ(a.send_classic(0x123, {1, 2, 3}), static_cast<ssize_t>(CAN_MTU));
    canfd_frame f;
    ASSERT_EQ(b.receive(f), static_cast<ssize_t>(CAN_MTU));
    EXPECT_EQ(f.can_id, 0x123u);
    ASSERT_EQ(f.len, 3);
    EXPECT_EQ(f.data[0], 1);
    EXPECT_EQ(f.data[2], 3);

    // a's first frame must be b's answer: its own frame was never queued for it.
    ASSERT_EQ(b.send_classic(0x321, {9}), static_cast<ssize_t>(CAN_MTU));
    ASSERT_EQ(a.receive(f), static_cast<ssize_t>(CAN_MTU));
    EXPECT_EQ(f.can_id, 0x321u);
    b.set_timeout(std::chrono::milliseconds(100));
    EXPECT_EQ(b.receive(f), -EAGAIN);
}

// The stand-in's namespaces: two runs on one machine, each with its own "can0". A socket
// stays in the namespace it was created in, whatever the environment says later.
TEST(Namespace, SocketsOfOtherNamespacesNeverMeet) {
    if (!under_stand_in())
        GTEST_SKIP() << "namespaces belong to the stand-in";
    const char* before = std::getenv("WENLO_FAKECAN_DIR");
    const std::string saved = before != nullptr ? before : "";
    char first_dir[] = "/tmp/fakecan-ns-XXXXXX";
    char second_dir[] = "/tmp/fakecan-ns-XXXXXX";
    ASSERT_NE(mkdtemp(first_dir), nullptr);
    ASSERT_NE(mkdtemp(second_dir), nullptr);
    setenv("WENLO_FAKECAN_DIR", first_dir, 1);
    auto first = std::make_unique<CanSocket>();
    setenv("WENLO_FAKECAN_DIR", second_dir, 1);
    CanSocket second, second_peer;
    setenv("WENLO_FAKECAN_DIR", first_dir, 1);
    CanSocket first_peer;
    setenv("WENLO_FAKECAN_DIR", saved.c_str(), 1);
    ASSERT_TRUE(first->ok() && second.ok() && second_peer.ok() && first_peer.ok());

    canfd_frame f;
    for (CanSocket* s : {&second, &second_peer, &first_peer})
        s->set_timeout(std::chrono::milliseconds(100));
    ASSERT_EQ(first->send_classic(0x11, {1}), static_cast<ssize_t>(CAN_MTU));
    EXPECT_EQ(first_peer.receive(f), static_cast<ssize_t>(CAN_MTU));
    EXPECT_EQ(second.receive(f), -EAGAIN);
    EXPECT_EQ(second_peer.receive(f), -EAGAIN);
    ASSERT_EQ(second.send_classic(0x22, {2}), static_cast<ssize_t>(CAN_MTU));
    ASSERT_EQ(second_peer.receive(f), static_cast<ssize_t>(CAN_MTU));
    EXPECT_EQ(f.can_id, 0x22u);
    first->set_timeout(std::chrono::milliseconds(100));
    EXPECT_EQ(first->receive(f), -EAGAIN);
    EXPECT_EQ(first_peer.receive(f), -EAGAIN);
    first.reset();
    std::string cleanup = std::string("rm -rf ") + first_dir + " " + second_dir;
    EXPECT_EQ(std::system(cleanup.c_str()), 0);
}

TEST(Delivery, OneFrameReachesEveryOtherSocket) {
    CanSocket a, b, c;
    ASSERT_TRUE(a.ok() && b.ok() && c.ok());
    ASSERT_EQ(a.send_classic(CAN_EFF_FLAG | 0x1ABCDE, {7, 7}), static_cast<ssize_t>(CAN_MTU));
    for (const CanSocket* s : {&b, &c}) {
        canfd_frame f;
        ASSERT_EQ(s->receive(f), static_cast<ssize_t>(CAN_MTU));
        EXPECT_EQ(f.can_id, CAN_EFF_FLAG | 0x1ABCDEu);
    }
}

// A sender on a quiet bus keeps the members' FIFOs open between sends: members that join or
// leave later must still be found, on the stand-in as on a kernel.
TEST(Delivery, MembersThatJoinOrLeaveAQuietBusAreSeenByTheNextSend) {
    CanSocket a;
    auto b = std::make_unique<CanSocket>();
    ASSERT_TRUE(a.ok() && b->ok());
    canfd_frame f;
    for (int round = 0; round < 3; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(80));  // the bus is quiet
        ASSERT_EQ(a.send_classic(0x100 + round, {1}), static_cast<ssize_t>(CAN_MTU));
        ASSERT_EQ(b->receive(f), static_cast<ssize_t>(CAN_MTU));
        EXPECT_EQ(f.can_id, 0x100u + round);
        b.reset();  // leaves...
        b = std::make_unique<CanSocket>();  // ...and a new member joins at once
        ASSERT_TRUE(b->ok());
        ASSERT_EQ(a.send_classic(0x200 + round, {2}), static_cast<ssize_t>(CAN_MTU));
        ASSERT_EQ(b->receive(f), static_cast<ssize_t>(CAN_MTU));
        EXPECT_EQ(f.can_id, 0x200u + round);
    }
}

TEST(Delivery, OwnFramesOnRequestAreMarkedConfirmed) {
    CanSocket a, b;
    int on = 1;
    ASSERT_EQ(setsockopt(a.fd(), SOL_CAN_RAW, CAN_RAW_RECV_OWN_MSGS, &on, sizeof on), 0);
    ASSERT_EQ(a.send_classic(0x55, {}), static_cast<ssize_t>(CAN_MTU));
    can_frame f{};
    iovec iov{&f, sizeof f};
    sockaddr_can from{};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    ASSERT_EQ(recvmsg(a.fd(), &msg, 0), static_cast<ssize_t>(CAN_MTU));
    EXPECT_EQ(f.can_id, 0x55u);
    EXPECT_NE(msg.msg_flags & MSG_CONFIRM, 0);
    EXPECT_EQ(from.can_family, AF_CAN);
    EXPECT_EQ(from.can_ifindex, static_cast<int>(if_nametoindex(iface().c_str())));
    canfd_frame g;
    ASSERT_EQ(b.receive(g), static_cast<ssize_t>(CAN_MTU));
}

TEST(Delivery, LoopbackOffReachesNoLocalSocket) {
    CanSocket a, b;
    int off = 0;
    ASSERT_EQ(setsockopt(a.fd(), SOL_CAN_RAW, CAN_RAW_LOOPBACK, &off, sizeof off), 0);
    ASSERT_EQ(a.send_classic(0x77, {}), static_cast<ssize_t>(CAN_MTU));
    CanSocket c;
    ASSERT_EQ(c.send_classic(0x78, {}), static_cast<ssize_t>(CAN_MTU));
    canfd_frame f;
    ASSERT_EQ(b.receive(f), static_cast<ssize_t>(CAN_MTU));
    EXPECT_EQ(f.can_id, 0x78u);
}

TEST(Delivery, FilterKeepsOnlyMatchingIds) {
    CanSocket a, b;
    can_filter filter{0x123, CAN_SFF_MASK | CAN_EFF_FLAG};
    ASSERT_EQ(setsockopt(b.fd(), SOL_CAN_RAW, CAN_RAW_FILTER, &filter, sizeof filter), 0);
    ASSERT_EQ(a.send_classic(0x124, {1}), static_cast<ssize_t>(CAN_MTU));
    ASSERT_EQ(a.send_classic(0x123, {2}), static_cast<ssize_t>(CAN_MTU));
    canfd_frame f;
    ASSERT_EQ(b.receive(f), static_cast<ssize_t>(CAN_MTU));
    EXPECT_EQ(f.can_id, 0x123u);
    EXPECT_EQ(f.data[0], 2);
}

TEST(Delivery, ManyUnreadFramesAreKeptInOrder) {
    CanSocket a, b;
    constexpr int kFrames = 100;
    for (int i = 0; i < kFrames; ++i) {
        ASSERT_EQ(a.send_classic(0x200, {static_cast<unsigned char>(i)}),
                  static_cast<ssize_t>(CAN_MTU));
    }
    for (int i = 0; i < kFrames; ++i) {
        canfd_frame f;
        ASSERT_EQ(b.receive(f), static_cast<ssize_t>(CAN_MTU)) << "frame " << i;
        EXPECT_EQ(f.data[0], i);
    }
}

TEST(Delivery, CrossesIntoAForkedProcess) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    CanSocket parent;
    ASSERT_TRUE(parent.ok());
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Child: its own socket, answers the parent's frame with id + 1.
        int code = 1;
        {
            CanSocket child;
            char byte = 'r';
            if (child.ok() && ::write(ready[1], &byte, 1) == 1) {
                canfd_frame f;
                if (child.receive(f) == static_cast<ssize_t>(CAN_MTU) && f.can_id == 0x300 &&
                    child.send_classic(0x301, {f.data[0]}) == static_cast<ssize_t>(CAN_MTU)) {
                    code = 0;
                }
            }
        }
        _exit(code);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ASSERT_EQ(parent.send_classic(0x300, {42}), static_cast<ssize_t>(CAN_MTU));
    canfd_frame f;
    EXPECT_EQ(parent.receive(f), static_cast<ssize_t>(CAN_MTU));
    EXPECT_EQ(f.can_id, 0x301u);
    EXPECT_EQ(f.data[0], 42);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ::close(ready[0]);
    ::close(ready[1]);
}

// A vfork() child (how Python 3.10 starts a subprocess) closes the fds it inherited in the
// parent's memory; the parent's sockets must go on working.
TEST(Delivery, VforkChildClosingInheritedFdsLeavesTheParentsSockets) {
    CanSocket a, b;
    ASSERT_TRUE(a.ok() && b.ok());
    const int fds[2] = {a.fd(), b.fd()};
    pid_t pid = vfork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_EQ(a.send_classic(0x310, {7}), static_cast<ssize_t>(CAN_MTU));
    canfd_frame f;
    ASSERT_EQ(b.receive(f), static_cast<ssize_t>(CAN_MTU));
    EXPECT_EQ(f.can_id, 0x310u);
}

class RefusedSize : public ::testing::TestWithParam<size_t> {};

TEST_P(RefusedSize, WriteFailsWithInvalidArgument) {
    CanSocket a;
    unsigned char buf[128] = {};
    errno = 0;
    EXPECT_EQ(::write(a.fd(), buf, GetParam()), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(::send(a.fd(), buf, GetParam(), 0), -1);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RefusedSize, ::testing::Values(0, 8, 15, 17, 64, 71, 73, 128));

TEST(FrameSize, ClassicLengthAboveEightIsRefused) {
    CanSocket a;
    can_frame f{};
    f.len = 9;
    EXPECT_EQ(::write(a.fd(), &f, sizeof f), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(FrameSize, FdFramesNeedTheOptionOnTheSender) {
    CanSocket classic(false);
    EXPECT_EQ(classic.send_fd(0x10, 12), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(FrameSize, FdFramesAreDeliveredWhole) {
    CanSocket a, b;
    REQUIRE_FD_BUS(a);
    canfd_frame f;
    ASSERT_EQ(b.receive(f), static_cast<ssize_t>(CANFD_MTU));  // the probe above
    ASSERT_EQ(a.send_fd(0x11, 48), static_cast<ssize_t>(CANFD_MTU));
    ASSERT_EQ(b.receive(f), static_cast<ssize_t>(CANFD_MTU));
    EXPECT_EQ(f.len, 48);
    EXPECT_EQ(f.data[47], 47);
    ASSERT_EQ(a.send_classic(0x12, {5}), static_cast<ssize_t>(CAN_MTU));
    ASSERT_EQ(b.receive(f), static_cast<ssize_t>(CAN_MTU));
}

TEST(FrameSize, FdFrameSkipsSocketWithoutFdAndKeepsItUnreadable) {
    CanSocket a, classic(false);
    REQUIRE_FD_BUS(a);
    ASSERT_EQ(a.send_fd(0x20, 8), static_cast<ssize_t>(CANFD_MTU));
    pollfd p{classic.fd(), POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 200), 0);
    ASSERT_EQ(a.send_classic(0x21, {}), static_cast<ssize_t>(CAN_MTU));
    canfd_frame f;
    ASSERT_EQ(classic.receive(f), static_cast<ssize_t>(CAN_MTU));
    EXPECT_EQ(f.can_id, 0x21u);
}

TEST(Timeout, ExpiredReceiveFailsWithAgainAfterAtLeastTheTimeout) {
    CanSocket a;
    a.set_timeout(std::chrono::milliseconds(150));
    timeval tv{};
    socklen_t len = sizeof tv;
    ASSERT_EQ(getsockopt(a.fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, &len), 0);
    EXPECT_EQ(tv.tv_sec, 0);
    // The kernel reads the value back rounded up to its clock tick.
    EXPECT_GE(tv.tv_usec, 150000);
    EXPECT_LT(tv.tv_usec, 160000);
    auto start = Clock::now();
    canfd_frame f;
    EXPECT_EQ(a.receive(f), -EAGAIN);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(149));
}

TEST(Timeout, NonBlockingSocketFailsAtOnce) {
    CanSocket a(true, SOCK_NONBLOCK);
    a.set_timeout(std::chrono::seconds(0));
    canfd_frame f;
    EXPECT_EQ(a.receive(f), -EAGAIN);
    EXPECT_EQ(::recv(a.fd(), &f, sizeof f, MSG_DONTWAIT), -1);
}

TEST(Readiness, PollAndSelectReportAWaitingFrame) {
    CanSocket a, b;
    pollfd p{b.fd(), POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0);
    ASSERT_EQ(a.send_classic(0x40, {}), static_cast<ssize_t>(CAN_MTU));
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    EXPECT_NE(p.revents & POLLIN, 0);
    fd_set set;
    FD_ZERO(&set);
    FD_SET(b.fd(), &set);
    timeval tv{2, 0};
    ASSERT_EQ(select(b.fd() + 1, &set, nullptr, nullptr, &tv), 1);
    EXPECT_TRUE(FD_ISSET(b.fd(), &set));
    canfd_frame f;
    ASSERT_EQ(b.receive(f), static_cast<ssize_t>(CAN_MTU));
    EXPECT_EQ(poll(&p, 1, 0), 0);
}

// SO_TIMESTAMPNS: the receiver learns when the frame was sent, not when it read it; without
// the option no ancillary data comes.
TEST(Messages, TimeStampIsTheMomentOfSending) {
    CanSocket a, b, c;
    int on = 1;
    ASSERT_EQ(setsockopt(b.fd(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on), 0);
    auto real_ns = [] {
        timespec t;
        clock_gettime(CLOCK_REALTIME, &t);
        return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
    };
    const std::int64_t before = real_ns();
    ASSERT_EQ(a.send_classic(0x42, {1}), static_cast<ssize_t>(CAN_MTU));
    const std::int64_t after = real_ns();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    for (const CanSocket* s : {&b, &c}) {
        can_frame f{};
        iovec io{&f, sizeof f};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        msghdr msg{};
        msg.msg_iov = &io;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ASSERT_EQ(recvmsg(s->fd(), &msg, 0), static_cast<ssize_t>(CAN_MTU));
        cmsghdr* stamp = CMSG_FIRSTHDR(&msg);
        if (s == &c) {
            EXPECT_EQ(stamp, nullptr);
            continue;
        }
        ASSERT_NE(stamp, nullptr);
        EXPECT_EQ(stamp->cmsg_level, SOL_SOCKET);
        ASSERT_EQ(stamp->cmsg_type, SCM_TIMESTAMPNS);
        timespec t;
        std::memcpy(&t, CMSG_DATA(stamp), sizeof t);
        const std::int64_t at = static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
        // On a kernel the stamp is taken on the receive path, a little after the send.
        EXPECT_GE(at, before);
        EXPECT_LT(at, after + 10'000'000);
    }
}

TEST(Messages, ScatterGatherAndPeek) {
    CanSocket a, b;
    can_frame f{};
    f.can_id = 0x66;
    f.len = 2;
    f.data[0] = 0xAB;
    iovec out[2] = {{&f, 8}, {reinterpret_cast<char*>(&f) + 8, 8}};
    msghdr msg{};
    msg.msg_iov = out;
    msg.msg_iovlen = 2;
    ASSERT_EQ(sendmsg(a.fd(), &msg, 0), static_cast<ssize_t>(CAN_MTU));
    can_frame g{};
    ASSERT_EQ(::recv(b.fd(), &g, sizeof g, MSG_PEEK), static_cast<ssize_t>(CAN_MTU));
    EXPECT_EQ(g.can_id, 0x66u);
    can_frame h{};
    ASSERT_EQ(::read(b.fd(), &h, sizeof h), static_cast<ssize_t>(CAN_MTU));
    EXPECT_EQ(h.data[0], 0xAB);
    EXPECT_EQ(h.len, 2);
}

TEST(FallThrough, OtherFdsBehaveAsBefore) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, sv), 0);
    ASSERT_EQ(::send(sv[0], "hello", 5, 0), 5);
    char buf[8] = {};
    ASSERT_EQ(::recv(sv[1], buf, sizeof buf, 0), 5);
    EXPECT_STREQ(buf, "hello");
    ::close(sv[0]);
    ::close(sv[1]);
    EXPECT_GE(socket(AF_INET, SOCK_DGRAM, 0), 0);
}

}  // namespace
