// The C library entry points that a SocketCAN program calls, interposed with LD_PRELOAD.
// Served fds and interface names are handled here; everything else goes to the real libc.
#include <errno.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>

#include "fake_socket.hpp"
#include "real_libc.hpp"
#include "served_interfaces.hpp"

#define FAKECAN_EXPORT extern "C" __attribute__((visibility("default")))

extern "C" [[noreturn]] void __chk_fail(void);

using fakecan::lookup;

namespace {

// Gathers a message into one frame buffer; the kernel also sees the whole message at once.
ssize_t gather(const msghdr* msg, unsigned char* out, std::size_t cap, std::size_t* total) {
    *total = 0;
    for (std::size_t i = 0; i < msg->msg_iovlen; ++i)
        *total += msg->msg_iov[i].iov_len;
    if (*total != CAN_MTU && *total != CANFD_MTU)
        return 0;
    std::size_t off = 0;
    for (std::size_t i = 0; i < msg->msg_iovlen && off < cap; ++i) {
        std::size_t n = std::min(msg->msg_iov[i].iov_len, cap - off);
        std::memcpy(out + off, msg->msg_iov[i].iov_base, n);
        off += n;
    }
    return static_cast<ssize_t>(off);
}

timespec from_ms(int ms) {
    return timespec{ms / 1000, static_cast<long>(ms % 1000) * 1000000};
}

// Where sendmsg and recvmsg part from the real calls: a fake socket's message call, with
// EFAULT for a missing message as the kernel answers.
template <typename Msg, typename Real, typename Fake>
ssize_t message_call(int fd, Msg* msg, Real real, Fake fake) {
    auto* s = lookup(fd);
    if (s == nullptr)
        return real();
    if (msg == nullptr) {
        errno = EFAULT;
        return -1;
    }
    return fake(*s);
}

ssize_t send_message(int fd, fakecan::Socket& s, const msghdr* msg) {
    unsigned char frame[CANFD_MTU];
    std::size_t total;
    if (gather(msg, frame, sizeof frame, &total) == 0) {
        errno = EINVAL;
        return -1;
    }
    return fakecan::send_frame(fd, s, frame, total, static_cast<const sockaddr*>(msg->msg_name),
                               msg->msg_namelen);
}

ssize_t receive_message(int fd, fakecan::Socket& s, msghdr* msg, int flags) {
    unsigned char frame[CANFD_MTU];
    socklen_t name_len = msg->msg_name ? msg->msg_namelen : 0;
    int out_flags = 0;
    timespec stamp{-1, 0};
    ssize_t n = fakecan::recv_frame(fd, s, frame, sizeof frame, flags & ~MSG_TRUNC,
                                    static_cast<sockaddr*>(msg->msg_name),
                                    msg->msg_name ? &name_len : nullptr, &out_flags, &stamp);
    if (n < 0)
        return n;
    std::size_t off = 0;
    for (std::size_t i = 0; i < msg->msg_iovlen && off < static_cast<std::size_t>(n); ++i) {
        std::size_t k = std::min(msg->msg_iov[i].iov_len, static_cast<std::size_t>(n) - off);
        std::memcpy(msg->msg_iov[i].iov_base, frame + off, k);
        off += k;
    }
    if (off < static_cast<std::size_t>(n))
        out_flags |= MSG_TRUNC;
    if (msg->msg_name)
        msg->msg_namelen = name_len;
    // The only ancillary data is the time stamp, when asked for with SO_TIMESTAMPNS.
    std::size_t control = 0;
    if (stamp.tv_sec >= 0) {
        if (msg->msg_control != nullptr && msg->msg_controllen >= CMSG_SPACE(sizeof stamp)) {
            cmsghdr* c = CMSG_FIRSTHDR(msg);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_TIMESTAMPNS;
            c->cmsg_len = CMSG_LEN(sizeof stamp);
            std::memcpy(CMSG_DATA(c), &stamp, sizeof stamp);
            control = CMSG_SPACE(sizeof stamp);
        } else {
            out_flags |= MSG_CTRUNC;
        }
    }
    msg->msg_controllen = control;
    msg->msg_flags = out_flags;
    return (flags & MSG_TRUNC) ? n : static_cast<ssize_t>(off);
}

}  // namespace

// For the simulated robot, found with dlsym: the link of a served interface, down or up, and
// whether anybody acknowledges (fake_socket.hpp).
FAKECAN_EXPORT int wenlo_fakecan_set_link(const char* iface, int up, int ack) {
    return fakecan::set_link(iface, up, ack);
}

// The adapter of a served interface unplugged (0) or plugged back (1) (fake_socket.hpp).
FAKECAN_EXPORT int wenlo_fakecan_set_presence(const char* iface, int present) {
    return fakecan::set_presence(iface, present);
}

FAKECAN_EXPORT unsigned int if_nametoindex(const char* name) {
    if (fakecan::serves(name)) {
        if (!fakecan::present(name)) {
            errno = ENODEV;
            return 0;
        }
        return fakecan::index_of(name);
    }
    return FAKECAN_REAL(if_nametoindex)(name);
}

FAKECAN_EXPORT char* if_indextoname(unsigned int index, char* name) {
    if (name != nullptr && fakecan::name_of(index, name))
        return name;
    return FAKECAN_REAL(if_indextoname)(index, name);
}

FAKECAN_EXPORT int socket(int domain, int type, int protocol) {
    if (domain == PF_CAN && fakecan::active()) {
        int base = type & ~(SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (base == SOCK_RAW && protocol == CAN_RAW)
            return fakecan::create_socket(type);
        errno = EPROTONOSUPPORT;  // broadcast manager, ISO-TP, J1939: not served
        return -1;
    }
    return FAKECAN_REAL(socket)(domain, type, protocol);
}

FAKECAN_EXPORT int bind(int fd, const sockaddr* addr, socklen_t len) {
    if (auto* s = lookup(fd))
        return fakecan::bind_socket(*s, addr, len);
    return FAKECAN_REAL(bind)(fd, addr, len);
}

FAKECAN_EXPORT int connect(int fd, const sockaddr* addr, socklen_t len) {
    if (lookup(fd) != nullptr) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return FAKECAN_REAL(connect)(fd, addr, len);
}

FAKECAN_EXPORT int getsockname(int fd, sockaddr* addr, socklen_t* len) {
    if (auto* s = lookup(fd))
        return fakecan::socket_name(*s, addr, len);
    return FAKECAN_REAL(getsockname)(fd, addr, len);
}

FAKECAN_EXPORT int setsockopt(int fd, int level, int name, const void* value, socklen_t len) {
    if (auto* s = lookup(fd))
        return fakecan::set_option(*s, level, name, value, len);
    return FAKECAN_REAL(setsockopt)(fd, level, name, value, len);
}

FAKECAN_EXPORT int getsockopt(int fd, int level, int name, void* value, socklen_t* len) {
    if (auto* s = lookup(fd))
        return fakecan::get_option(*s, level, name, value, len);
    return FAKECAN_REAL(getsockopt)(fd, level, name, value, len);
}

FAKECAN_EXPORT ssize_t send(int fd, const void* buf, size_t len, int flags) {
    if (auto* s = lookup(fd))
        return fakecan::send_frame(fd, *s, buf, len, nullptr, 0);
    return FAKECAN_REAL(send)(fd, buf, len, flags);
}

FAKECAN_EXPORT ssize_t sendto(int fd, const void* buf, size_t len, int flags, const sockaddr* to,
                              socklen_t to_len) {
    if (auto* s = lookup(fd))
        return fakecan::send_frame(fd, *s, buf, len, to, to_len);
    return FAKECAN_REAL(sendto)(fd, buf, len, flags, to, to_len);
}

FAKECAN_EXPORT ssize_t write(int fd, const void* buf, size_t len) {
    if (auto* s = lookup(fd))
        return fakecan::send_frame(fd, *s, buf, len, nullptr, 0);
    return FAKECAN_REAL(write)(fd, buf, len);
}

FAKECAN_EXPORT ssize_t sendmsg(int fd, const msghdr* msg, int flags) {
    return message_call(
        fd, msg, [&] { return FAKECAN_REAL(sendmsg)(fd, msg, flags); },
        [&](fakecan::Socket& s) { return send_message(fd, s, msg); });
}

FAKECAN_EXPORT ssize_t recv(int fd, void* buf, size_t len, int flags) {
    if (auto* s = lookup(fd))
        return fakecan::recv_frame(fd, *s, buf, len, flags, nullptr, nullptr, nullptr);
    return FAKECAN_REAL(recv)(fd, buf, len, flags);
}

FAKECAN_EXPORT ssize_t recvfrom(int fd, void* buf, size_t len, int flags, sockaddr* from,
                                socklen_t* from_len) {
    if (auto* s = lookup(fd))
        return fakecan::recv_frame(fd, *s, buf, len, flags, from, from_len, nullptr);
    return FAKECAN_REAL(recvfrom)(fd, buf, len, flags, from, from_len);
}

FAKECAN_EXPORT ssize_t read(int fd, void* buf, size_t len) {
    if (auto* s = lookup(fd))
        return fakecan::recv_frame(fd, *s, buf, len, 0, nullptr, nullptr, nullptr);
    return FAKECAN_REAL(read)(fd, buf, len);
}

FAKECAN_EXPORT ssize_t recvmsg(int fd, msghdr* msg, int flags) {
    return message_call(
        fd, msg, [&] { return FAKECAN_REAL(recvmsg)(fd, msg, flags); },
        [&](fakecan::Socket& s) { return receive_message(fd, s, msg, flags); });
}

FAKECAN_EXPORT int close(int fd) {
    return fakecan::close_fd(fd);
}

FAKECAN_EXPORT int dup(int fd) {
    int r = FAKECAN_REAL(dup)(fd);
    if (r >= 0)
        fakecan::share_fd(fd, r);
    return r;
}

FAKECAN_EXPORT int dup2(int fd, int fd2) {
    int r = FAKECAN_REAL(dup2)(fd, fd2);
    if (r >= 0)
        fakecan::share_fd(fd, r);
    return r;
}

FAKECAN_EXPORT int dup3(int fd, int fd2, int flags) {
    int r = FAKECAN_REAL(dup3)(fd, fd2, flags);
    if (r >= 0)
        fakecan::share_fd(fd, r);
    return r;
}

FAKECAN_EXPORT int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (lookup(fd) != nullptr || fakecan::active()) {
        // Interface lookups through a socket, as can-utils does them.
        auto* ifr = static_cast<ifreq*>(arg);
        if (request == SIOCGIFINDEX && ifr != nullptr && fakecan::serves(ifr->ifr_name)) {
            if (!fakecan::present(ifr->ifr_name)) {
                errno = ENODEV;
                return -1;
            }
            ifr->ifr_ifindex = static_cast<int>(fakecan::index_of(ifr->ifr_name));
            return 0;
        }
        if (request == SIOCGIFNAME && ifr != nullptr &&
            fakecan::name_of(static_cast<unsigned>(ifr->ifr_ifindex), ifr->ifr_name)) {
            return 0;
        }
        if (request == SIOCGIFMTU && ifr != nullptr && fakecan::serves(ifr->ifr_name)) {
            ifr->ifr_mtu = CANFD_MTU;
            return 0;
        }
    }
    return FAKECAN_REAL(ioctl)(fd, request, arg);
}

FAKECAN_EXPORT int poll(pollfd* fds, nfds_t n, int timeout_ms) {
    timespec ts = from_ms(timeout_ms);
    return fakecan::poll_fds(fds, n, timeout_ms < 0 ? nullptr : &ts, nullptr);
}

FAKECAN_EXPORT int ppoll(pollfd* fds, nfds_t n, const timespec* timeout, const sigset_t* mask) {
    return fakecan::poll_fds(fds, n, timeout, mask);
}

FAKECAN_EXPORT int select(int nfds, fd_set* r, fd_set* w, fd_set* e, timeval* timeout) {
    if (!fakecan::any_fake(nfds, r, w, e))
        return FAKECAN_REAL(select)(nfds, r, w, e, timeout);
    timespec ts{};
    if (timeout != nullptr)
        ts = timespec{timeout->tv_sec, timeout->tv_usec * 1000};
    int res = fakecan::select_fds(nfds, r, w, e, timeout ? &ts : nullptr, nullptr);
    if (res == 0 && timeout != nullptr)
        *timeout = timeval{0, 0};  // Linux reports the time left
    return res;
}

FAKECAN_EXPORT int pselect(int nfds, fd_set* r, fd_set* w, fd_set* e, const timespec* timeout,
                           const sigset_t* mask) {
    if (!fakecan::any_fake(nfds, r, w, e))
        return FAKECAN_REAL(pselect)(nfds, r, w, e, timeout, mask);
    return fakecan::select_fds(nfds, r, w, e, timeout, mask);
}

// The checked variants that -D_FORTIFY_SOURCE makes programs call.
FAKECAN_EXPORT ssize_t __recv_chk(int fd, void* buf, size_t len, size_t buflen, int flags) {
    if (len > buflen)
        __chk_fail();
    return recv(fd, buf, len, flags);
}

FAKECAN_EXPORT ssize_t __recvfrom_chk(int fd, void* buf, size_t len, size_t buflen, int flags,
                                      sockaddr* from, socklen_t* from_len) {
    if (len > buflen)
        __chk_fail();
    return recvfrom(fd, buf, len, flags, from, from_len);
}

FAKECAN_EXPORT ssize_t __read_chk(int fd, void* buf, size_t len, size_t buflen) {
    if (len > buflen)
        __chk_fail();
    return read(fd, buf, len);
}

FAKECAN_EXPORT int __poll_chk(pollfd* fds, nfds_t n, int timeout_ms, size_t fdslen) {
    if (fdslen / sizeof(*fds) < n)
        __chk_fail();
    return poll(fds, n, timeout_ms);
}

FAKECAN_EXPORT int __ppoll_chk(pollfd* fds, nfds_t n, const timespec* timeout, const sigset_t* mask,
                               size_t fdslen) {
    if (fdslen / sizeof(*fds) < n)
        __chk_fail();
    return ppoll(fds, n, timeout, mask);
}
