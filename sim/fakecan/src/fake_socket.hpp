// Raw CAN sockets served in user space.
//
// Each fake socket is a FIFO opened read-write: the fd is real, so poll, select, fork and
// close work on it, and a pipe buffers hundreds of frames (a datagram socket would queue
// only net.unix.max_dgram_qlen of them). A bound socket's FIFO sits in its interface's
// directory; a send writes one fixed-size record to every other member's FIFO. A sender keeps
// those FIFOs open while the directory stays unchanged, and scans it again when it changes.
// A member whose reader is gone refuses the open (ENXIO) and is removed.
#pragma once

#include <linux/can.h>
#include <poll.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>

namespace fakecan {

struct Socket;

// The socket behind `fd`, or nullptr for every fd this library does not serve.
Socket* lookup(int fd);

// socket(PF_CAN, SOCK_RAW | flags, CAN_RAW); returns the fd or -1 with errno.
int create_socket(int type_flags);

int bind_socket(Socket& s, const sockaddr* addr, socklen_t len);
int socket_name(Socket& s, sockaddr* addr, socklen_t* len);
int set_option(Socket& s, int level, int name, const void* value, socklen_t len);
int get_option(Socket& s, int level, int name, void* value, socklen_t* len);

// Sends one 16- or 72-byte frame to every other socket bound to the interface.
ssize_t send_frame(int fd, Socket& s, const void* data, std::size_t len, const sockaddr* dest,
                   socklen_t dest_len);

// Receives one frame; `msg_flags` (may be null) gets the flags a kernel would report, and
// `stamp` (may be null) the moment the frame was sent when the socket asked for SO_TIMESTAMPNS
// (tv_sec -1 otherwise).
ssize_t recv_frame(int fd, Socket& s, void* buf, std::size_t len, int flags, sockaddr* addr,
                   socklen_t* addr_len, int* msg_flags, timespec* stamp = nullptr);

int close_fd(int fd);

// The link of interface `iface` in the current namespace, for every process in it: `up` 0
// takes it down (sends fail with ENETDOWN, queued frames are dropped), 1 brings it up; `ack` 0
// makes the bus unacknowledged (frames wait in a transmit queue of 10, then sends fail with
// ENOBUFS), 1 acknowledged again (the queued frames go out first). -1 leaves either as it is.
// Returns 0, or -1 with errno.
int set_link(const char* iface, int up, int ack);

// The adapter of interface `iface` unplugged (`present` 0) or plugged back (1), as a USB CAN
// adapter is: while it is away, sends fail with ENXIO and binds and index lookups with ENODEV;
// a socket bound to it before is cut off for good (its next receive fails once with ENODEV,
// its sends with ENXIO) and must be opened again once the interface is back. The calling
// process's own sockets (the simulated robot's motors, the bus's far side) stay bound.
// Returns 0, or -1 with errno.
int set_presence(const char* iface, int present);

// False while the served interface `name` is unplugged.
bool present(const char* name);

// Makes `new_fd` (already a copy of `old_fd` in the kernel) refer to the same socket.
void share_fd(int old_fd, int new_fd);

// poll/ppoll with CAN readiness: a fd is readable only when a frame it would deliver waits.
int poll_fds(pollfd* fds, nfds_t n, const timespec* timeout, const sigset_t* mask);

// True if any fd below `nfds` in the sets is served here.
bool any_fake(int nfds, const fd_set* r, const fd_set* w, const fd_set* e);
int select_fds(int nfds, fd_set* r, fd_set* w, fd_set* e, const timespec* timeout,
               const sigset_t* mask);

}  // namespace fakecan
