#include "fake_socket.hpp"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "real_libc.hpp"
#include "served_interfaces.hpp"

namespace fakecan {

// One frame as it travels through a FIFO. Writes up to PIPE_BUF bytes are atomic, so
// records from concurrent senders never interleave and every read gets one whole record.
struct Record {
    std::uint8_t size;   // 16 (classic) or 72 (FD)
    std::uint8_t flags;  // kOwnFrame: written by the receiving socket itself; kCutOff
    std::uint8_t pad[6];
    unsigned char frame[CANFD_MTU];
    std::int64_t sent_ns;  // CLOCK_REALTIME when it went on the bus: SO_TIMESTAMPNS
};
static_assert(sizeof(Record) == 88);
constexpr std::uint8_t kOwnFrame = 1;
// No frame: the socket's interface was unplugged. It wakes a wait already under way, as the
// kernel's error report does.
constexpr std::uint8_t kCutOff = 2;

constexpr int kMaxSockets = 1024;
constexpr int kMaxFds = 65536;
constexpr int kFifoSize = 256 * 1024;
constexpr std::size_t kPathMax = kMaxBase + 64;  // base, interface and member names
constexpr int kMaxPeers = 16;
// A directory's mtime comes from a coarse clock (a tick of up to 10 ms). Only an mtime older
// than this before the scan proves that a change after the scan would show as a new mtime.
constexpr std::int64_t kCoarseClockNs = 50'000'000;

struct Socket {
    std::atomic<int> refs{0};  // fds of this process referring to it
    std::atomic<unsigned> ifindex{0};
    std::atomic<bool> fd_frames{false};
    std::atomic<bool> loopback{true};
    std::atomic<bool> recv_own{false};
    std::atomic<bool> join_filters{false};
    std::atomic<bool> stamp_ns{false};  // SO_TIMESTAMPNS
    std::atomic<std::uint32_t> err_mask{0};
    std::atomic<std::int64_t> rcvtimeo_us{0};  // 0: wait for ever; <0: do not wait
    std::atomic<std::int64_t> sndtimeo_us{0};
    std::atomic<bool> cut_off_told{false};  // its interface was unplugged: ENODEV once
    std::atomic<int> rcvbuf{kFifoSize};
    std::atomic<int> sndbuf{kFifoSize};
    pid_t owner = 0;   // only the creating process removes the FIFO
    std::mutex mutex;  // guards everything below
    char base[kMaxBase] = {};  // the namespace it was created in, for good
    char iface[IFNAMSIZ] = {};
    char member[32] = {};
    char path[kPathMax] = {};
    bool filter_all = true;  // the kernel's default filter: everything
    int filter_count = 0;
    can_filter filters[CAN_RAW_FILTER_MAX];
    bool has_stash = false;  // a frame already read while answering poll or MSG_PEEK
    Record stash;
    // The members' FIFOs of the interface last sent to, kept open between sends while its
    // directory is unchanged, so a send costs a stat and the writes instead of a directory
    // scan and an open and close per member.
    struct Peers {
        bool valid = false;
        char dir[kPathMax] = {};
        dev_t dev = 0;
        ino_t ino = 0;
        timespec mtime{};
        int count = 0;
        int fds[kMaxPeers] = {};
        bool self[kMaxPeers] = {};
    } peers;
};

namespace {
bool gone(const char* dir);
bool untold_cut(Socket& s);
}  // namespace

namespace {

Socket g_pool[kMaxSockets];
std::atomic<std::uint16_t> g_table[kMaxFds];  // pool index + 1; 0: not served

// The process whose memory these tables are. A child made with vfork() (Python 3.10's
// subprocess) shares its parent's memory until it execs and runs no fork handler: its close()
// and dup2() of inherited fds must not touch the parent's tables.
pid_t g_tables_pid = 0;
struct TablesOwner {
    TablesOwner() {
        g_tables_pid = getpid();
        pthread_atfork(nullptr, nullptr, [] { g_tables_pid = getpid(); });
    }
} g_tables_owner;

bool tables_are_ours() {
    return getpid() == g_tables_pid;
}
std::mutex g_pool_mutex;
std::atomic<unsigned> g_counter{0};

std::int64_t now_us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

timespec to_timespec(std::int64_t us) {
    if (us < 0)
        us = 0;
    return timespec{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
}

int fail(int err) {
    errno = err;
    return -1;
}

int real_ppoll(pollfd* fds, nfds_t n, const timespec* timeout, const sigset_t* mask) {
    return FAKECAN_REAL(ppoll)(fds, n, timeout, mask);
}

bool readable_within(int fd, std::int64_t us) {
    pollfd p{fd, POLLIN, 0};
    timespec ts = to_timespec(us);
    return real_ppoll(&p, 1, &ts, nullptr) > 0 && (p.revents & POLLIN) != 0;
}

bool filter_matches(const can_filter& f, canid_t id) {
    bool inverted = (f.can_id & CAN_INV_FILTER) != 0;
    bool match = (id & f.can_mask) == (f.can_id & ~CAN_INV_FILTER & f.can_mask);
    return inverted ? !match : match;
}

// Whether the kernel would hand this frame to this socket.
bool deliverable(Socket& s, const Record& rec) {
    if (rec.size != CAN_MTU && rec.size != CANFD_MTU)
        return false;
    if (rec.size == CANFD_MTU && !s.fd_frames.load())
        return false;
    canid_t id;
    std::memcpy(&id, rec.frame, sizeof id);
    if ((id & CAN_ERR_FLAG) != 0)
        return (s.err_mask.load() & id & CAN_ERR_MASK) != 0;
    std::lock_guard lock(s.mutex);
    if (s.filter_all)
        return true;
    if (s.filter_count == 0)
        return false;
    bool join = s.join_filters.load();
    for (int i = 0; i < s.filter_count; ++i) {
        bool m = filter_matches(s.filters[i], id);
        if (m && !join)
            return true;
        if (!m && join)
            return false;
    }
    return join;
}

bool take_stash(Socket& s, Record& out, bool keep) {
    std::lock_guard lock(s.mutex);
    if (!s.has_stash)
        return false;
    out = s.stash;
    s.has_stash = keep;
    return true;
}

void put_stash(Socket& s, const Record& rec) {
    std::lock_guard lock(s.mutex);
    s.stash = rec;
    s.has_stash = true;
}

bool has_stash(Socket& s) {
    std::lock_guard lock(s.mutex);
    return s.has_stash;
}

// Reads records that this socket would drop; true once one it delivers waits in the stash.
bool ready_frame(int fd, Socket& s) {
    if (has_stash(s))
        return true;
    Record rec;
    while (readable_within(fd, 0)) {
        if (FAKECAN_REAL(read)(fd, &rec, sizeof rec) != static_cast<ssize_t>(sizeof rec))
            continue;
        if (deliverable(s, rec)) {
            put_stash(s, rec);
            return true;
        }
    }
    return false;
}

// Every record queued so far is delivered as it arrives: nothing to drop ahead of poll.
bool takes_everything(Socket& s) {
    std::lock_guard lock(s.mutex);
    return s.fd_frames.load() && s.filter_all;
}

void fill_address(Socket& s, sockaddr* addr, socklen_t* len) {
    if (addr == nullptr || len == nullptr)
        return;
    sockaddr_can can{};
    can.can_family = AF_CAN;
    can.can_ifindex = static_cast<int>(s.ifindex.load());
    std::memcpy(addr, &can, std::min<std::size_t>(*len, sizeof can));
    *len = sizeof can;
}

int set_int_flag(std::atomic<bool>& flag, const void* value, socklen_t len) {
    if (value == nullptr || len != sizeof(int))
        return fail(EINVAL);
    int v;
    std::memcpy(&v, value, sizeof v);
    flag.store(v != 0);
    return 0;
}

int set_timeout(std::atomic<std::int64_t>& slot, const void* value, socklen_t len) {
    if (value == nullptr || len < static_cast<socklen_t>(sizeof(timeval)))
        return fail(EINVAL);
    timeval tv;
    std::memcpy(&tv, value, sizeof tv);
    if (tv.tv_usec < 0 || tv.tv_usec >= 1000000)
        return fail(EDOM);
    if (tv.tv_sec < 0) {
        slot.store(-1);
        return 0;
    }
    slot.store(static_cast<std::int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec);
    return 0;
}

int put_value(void* value, socklen_t* len, const void* src, std::size_t size) {
    if (value == nullptr || len == nullptr)
        return fail(EFAULT);
    std::size_t n = std::min<std::size_t>(*len, size);
    std::memcpy(value, src, n);
    *len = static_cast<socklen_t>(n);
    return 0;
}

int put_int(void* value, socklen_t* len, int v) {
    return put_value(value, len, &v, sizeof v);
}

int put_timeout(void* value, socklen_t* len, std::int64_t us) {
    timeval tv{};
    if (us > 0)
        tv = timeval{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
    return put_value(value, len, &tv, sizeof tv);
}

}  // namespace

Socket* lookup(int fd) {
    if (fd < 0 || fd >= kMaxFds)
        return nullptr;
    unsigned slot = g_table[fd].load(std::memory_order_acquire);
    return slot == 0 ? nullptr : &g_pool[slot - 1];
}

int create_socket(int type_flags) {
    char base[kMaxBase];
    char dir[kPathMax];
    if (!current_base(base) || !unbound_dir(base, dir, sizeof dir))
        return -1;
    char member[32];
    std::snprintf(member, sizeof member, "%d-%u", static_cast<int>(getpid()), ++g_counter);
    char path[kPathMax];
    if (std::snprintf(path, sizeof path, "%s/%s", dir, member) >= static_cast<int>(sizeof path)) {
        return fail(ENAMETOOLONG);
    }
    unlink(path);  // left behind by a crashed process with the same pid
    if (mkfifo(path, 0666) != 0)
        return -1;
    chmod(path, 0666);
    int oflags = O_RDWR | ((type_flags & SOCK_NONBLOCK) ? O_NONBLOCK : 0) |
                 ((type_flags & SOCK_CLOEXEC) ? O_CLOEXEC : 0);
    int fd = open(path, oflags);
    if (fd < 0) {
        int err = errno;
        unlink(path);
        return fail(err);
    }
    fcntl(fd, F_SETPIPE_SZ, kFifoSize);
    if (fd >= kMaxFds) {
        FAKECAN_REAL(close)(fd);
        unlink(path);
        return fail(EMFILE);
    }
    std::lock_guard lock(g_pool_mutex);
    for (int i = 0; i < kMaxSockets; ++i) {
        Socket& s = g_pool[i];
        if (s.refs.load() != 0)
            continue;
        s.refs.store(1);
        s.ifindex.store(0);
        s.fd_frames.store(false);
        s.loopback.store(true);
        s.recv_own.store(false);
        s.join_filters.store(false);
        s.stamp_ns.store(false);
        s.err_mask.store(0);
        s.rcvtimeo_us.store(0);
        s.sndtimeo_us.store(0);
        s.rcvbuf.store(kFifoSize);
        s.sndbuf.store(kFifoSize);
        s.owner = getpid();
        std::lock_guard slock(s.mutex);
        std::strcpy(s.base, base);
        s.iface[0] = '\0';
        std::strcpy(s.member, member);
        std::strcpy(s.path, path);
        s.filter_all = true;
        s.filter_count = 0;
        s.has_stash = false;
        g_table[fd].store(static_cast<std::uint16_t>(i + 1), std::memory_order_release);
        return fd;
    }
    FAKECAN_REAL(close)(fd);
    unlink(path);
    return fail(ENFILE);
}

int bind_socket(Socket& s, const sockaddr* addr, socklen_t len) {
    if (addr == nullptr || len < static_cast<socklen_t>(offsetof(sockaddr_can, can_addr))) {
        return fail(EINVAL);
    }
    sockaddr_can can{};
    std::memcpy(&can, addr, std::min<std::size_t>(len, sizeof can));
    if (can.can_family != AF_CAN)
        return fail(EINVAL);
    // Binding to every interface at once (index 0) is not served.
    if (can.can_ifindex <= 0)
        return fail(EINVAL);
    char name[IFNAMSIZ];
    if (!name_of(static_cast<unsigned>(can.can_ifindex), name, s.base))
        return fail(ENODEV);
    char dir[kPathMax];
    if (!interface_dir(s.base, name, dir, sizeof dir))
        return -1;
    if (gone(dir))
        return fail(ENODEV);
    std::lock_guard lock(s.mutex);
    char path[kPathMax];
    if (std::snprintf(path, sizeof path, "%s/%s", dir, s.member) >= static_cast<int>(sizeof path)) {
        return fail(ENAMETOOLONG);
    }
    // The FIFO keeps its inode across the rename, so the open fd moves with it.
    if (std::strcmp(path, s.path) != 0 && rename(s.path, path) != 0)
        return -1;
    std::strcpy(s.path, path);
    std::strcpy(s.iface, name);
    s.ifindex.store(static_cast<unsigned>(can.can_ifindex));
    return 0;
}

int socket_name(Socket& s, sockaddr* addr, socklen_t* len) {
    if (addr == nullptr || len == nullptr)
        return fail(EFAULT);
    fill_address(s, addr, len);
    return 0;
}

int set_option(Socket& s, int level, int name, const void* value, socklen_t len) {
    if (level == SOL_CAN_RAW) {
        switch (name) {
            case CAN_RAW_FILTER: {
                if (len % sizeof(can_filter) != 0)
                    return fail(EINVAL);
                std::size_t count = len / sizeof(can_filter);
                if (count > CAN_RAW_FILTER_MAX)
                    return fail(EINVAL);
                if (count > 0 && value == nullptr)
                    return fail(EFAULT);
                std::lock_guard lock(s.mutex);
                if (count > 0)
                    std::memcpy(s.filters, value, len);
                s.filter_count = static_cast<int>(count);
                s.filter_all = false;
                s.has_stash = false;
                return 0;
            }
            case CAN_RAW_ERR_FILTER: {
                if (value == nullptr || len != sizeof(can_err_mask_t))
                    return fail(EINVAL);
                can_err_mask_t m;
                std::memcpy(&m, value, sizeof m);
                s.err_mask.store(m & CAN_ERR_MASK);
                return 0;
            }
            case CAN_RAW_LOOPBACK:
                return set_int_flag(s.loopback, value, len);
            case CAN_RAW_RECV_OWN_MSGS:
                return set_int_flag(s.recv_own, value, len);
            case CAN_RAW_FD_FRAMES:
                return set_int_flag(s.fd_frames, value, len);
            case CAN_RAW_JOIN_FILTERS:
                return set_int_flag(s.join_filters, value, len);
            default:
                return fail(ENOPROTOOPT);
        }
    }
    if (level == SOL_SOCKET) {
        switch (name) {
            case SO_RCVTIMEO_OLD:
                return set_timeout(s.rcvtimeo_us, value, len);
            case SO_SNDTIMEO_OLD:
                return set_timeout(s.sndtimeo_us, value, len);
            case SO_RCVBUF:
            case SO_RCVBUFFORCE:
            case SO_SNDBUF:
            case SO_SNDBUFFORCE: {
                if (value == nullptr || len < static_cast<socklen_t>(sizeof(int)))
                    return fail(EINVAL);
                int v;
                std::memcpy(&v, value, sizeof v);
                // The FIFO's own size stays; the value is remembered as the kernel reports it.
                bool rcv = name == SO_RCVBUF || name == SO_RCVBUFFORCE;
                (rcv ? s.rcvbuf : s.sndbuf).store(v > 0 ? 2 * v : 0);
                return 0;
            }
            case SO_TIMESTAMPNS_OLD:
                return set_int_flag(s.stamp_ns, value, len);
            default:
                return 0;  // other time stamps, priorities and the like: accepted, without effect
        }
    }
    return fail(ENOPROTOOPT);
}

int get_option(Socket& s, int level, int name, void* value, socklen_t* len) {
    if (level == SOL_CAN_RAW) {
        switch (name) {
            case CAN_RAW_FILTER: {
                if (value == nullptr || len == nullptr)
                    return fail(EFAULT);
                std::lock_guard lock(s.mutex);
                can_filter all{0, 0};
                const can_filter* src = s.filter_all ? &all : s.filters;
                socklen_t need = static_cast<socklen_t>((s.filter_all ? 1 : s.filter_count) *
                                                        sizeof(can_filter));
                if (*len < need) {
                    *len = need;
                    return fail(ERANGE);
                }
                std::memcpy(value, src, need);
                *len = need;
                return 0;
            }
            case CAN_RAW_ERR_FILTER: {
                can_err_mask_t m = s.err_mask.load();
                return put_value(value, len, &m, sizeof m);
            }
            case CAN_RAW_LOOPBACK:
                return put_int(value, len, s.loopback.load());
            case CAN_RAW_RECV_OWN_MSGS:
                return put_int(value, len, s.recv_own.load());
            case CAN_RAW_FD_FRAMES:
                return put_int(value, len, s.fd_frames.load());
            case CAN_RAW_JOIN_FILTERS:
                return put_int(value, len, s.join_filters.load());
            default:
                return fail(ENOPROTOOPT);
        }
    }
    if (level == SOL_SOCKET) {
        switch (name) {
            case SO_RCVTIMEO_OLD:
                return put_timeout(value, len, s.rcvtimeo_us.load());
            case SO_SNDTIMEO_OLD:
                return put_timeout(value, len, s.sndtimeo_us.load());
            case SO_TYPE:
                return put_int(value, len, SOCK_RAW);
            case SO_DOMAIN:
                return put_int(value, len, AF_CAN);
            case SO_PROTOCOL:
                return put_int(value, len, CAN_RAW);
            case SO_RCVBUF:
                return put_int(value, len, s.rcvbuf.load());
            case SO_SNDBUF:
                return put_int(value, len, s.sndbuf.load());
            case SO_ERROR:
                return put_int(value, len, 0);
            case SO_TIMESTAMPNS_OLD:
                return put_int(value, len, s.stamp_ns.load());
            default:
                return fail(ENOPROTOOPT);
        }
    }
    return fail(ENOPROTOOPT);
}

namespace {

// The link of an interface, shared by every process of the namespace as marker files in its
// directory (a member scan skips dot names): ".down", the link is down; ".noack", no node
// acknowledges, so frames wait in ".txqueue" as a controller's transmit queue holds them.
constexpr char kDownMarker[] = ".down";
constexpr char kGoneMarker[] = ".gone";  // the adapter is unplugged
constexpr char kNoAckMarker[] = ".noack";
constexpr char kTxQueue[] = ".txqueue";
constexpr off_t kTxQueueLen = 10;  // a CAN interface's default txqueuelen

struct TxEntry {
    char member[32];  // the sender's FIFO, which does not hear its own frame
    Record rec;
};

enum class Link { Open, Down, Queued, QueueFull };

bool dir_file(const char* dir, const char* file, char* out, std::size_t size) {
    return std::snprintf(out, size, "%s/%s", dir, file) < static_cast<int>(size);
}

bool has_marker(const char* dir, const char* marker) {
    char path[kPathMax + 16];
    return dir_file(dir, marker, path, sizeof path) && access(path, F_OK) == 0;
}

void set_marker(const char* dir, const char* marker, bool present) {
    char path[kPathMax + 16];
    if (!dir_file(dir, marker, path, sizeof path))
        return;
    if (!present) {
        unlink(path);
        return;
    }
    int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0)
        FAKECAN_REAL(close)(fd);
}

// The transmit queue, locked; -1 if it cannot be opened.
int lock_tx_queue(const char* dir) {
    char path[kPathMax + 16];
    if (!dir_file(dir, kTxQueue, path, sizeof path))
        return -1;
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0 && flock(fd, LOCK_EX) != 0) {
        FAKECAN_REAL(close)(fd);
        return -1;
    }
    return fd;
}

void unlock_tx_queue(int fd) {
    flock(fd, LOCK_UN);
    FAKECAN_REAL(close)(fd);
}

bool gone(const char* dir) {
    return has_marker(dir, kGoneMarker);
}

// A bound socket whose FIFO an unplug took out of its interface's directory.
bool cut_off(Socket& s) {
    char path[kPathMax];
    {
        std::lock_guard lock(s.mutex);
        if (s.iface[0] == '\0')
            return false;
        std::strcpy(path, s.path);
    }
    return access(path, F_OK) != 0 && errno == ENOENT;
}

// Cut off, and its next receive has not yet said so.
bool untold_cut(Socket& s) {
    return !s.cut_off_told.load() && cut_off(s);
}

// What the link does with a frame about to be sent. Costs two access() calls while it is up
// and acknowledged.
Link link_gate(const char* dir, const char* member, const Record& rec) {
    if (has_marker(dir, kDownMarker))
        return Link::Down;
    if (!has_marker(dir, kNoAckMarker))
        return Link::Open;
    int q = lock_tx_queue(dir);
    if (q < 0)
        return Link::QueueFull;
    Link result = Link::Open;  // acknowledged again meanwhile: the queue has gone out
    struct stat st {};
    if (has_marker(dir, kNoAckMarker) && fstat(q, &st) == 0) {
        const off_t queued = st.st_size / static_cast<off_t>(sizeof(TxEntry));
        if (queued >= kTxQueueLen) {
            result = Link::QueueFull;
        } else {
            TxEntry e{};
            std::snprintf(e.member, sizeof e.member, "%s", member);
            e.rec = rec;
            result = pwrite(q, &e, sizeof e, queued * static_cast<off_t>(sizeof e)) ==
                             static_cast<ssize_t>(sizeof e)
                         ? Link::Queued
                         : Link::QueueFull;
        }
    }
    unlock_tx_queue(q);
    return result;
}

// Writes records into FIFOs whose reader may vanish between open and write: SIGPIPE stays
// blocked meanwhile, and one that a write raised is taken before the mask is restored, so that
// it never kills the writer.
class FifoWriter {
  public:
    FifoWriter() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~FifoWriter() {
        int err = errno;
        if (broken_) {
            timespec zero{};
            sigtimedwait(&pipe_, nullptr, &zero);
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
        errno = err;
    }
    FifoWriter(const FifoWriter&) = delete;
    FifoWriter& operator=(const FifoWriter&) = delete;
    // A full FIFO drops the record, as a receive queue that overflows does.
    void write(int fd, const Record& rec) {
        if (FAKECAN_REAL(write)(fd, &rec, sizeof rec) < 0 && errno == EPIPE)
            broken_ = true;
    }
    // A reader was gone.
    bool broken() const { return broken_; }

  private:
    sigset_t pipe_{}, old_{};
    bool broken_ = false;
};

// One frame to every member of the bus but its sender, as it goes on the bus now.
void deliver_to_members(const char* dir, const TxEntry& e) {
    Record rec = e.rec;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    rec.sent_ns = static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
    rec.flags = 0;
    DIR* d = opendir(dir);
    if (d == nullptr)
        return;
    FifoWriter writer;
    while (dirent* ent = readdir(d)) {
        if (ent->d_name[0] == '.' || std::strcmp(ent->d_name, e.member) == 0)
            continue;
        char path[kPathMax + 256 + 2];
        if (!dir_file(dir, ent->d_name, path, sizeof path))
            continue;
        int w = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (w < 0)
            continue;
        writer.write(w, rec);
        FAKECAN_REAL(close)(w);
    }
    closedir(d);
}

// Runs change(dir, queue) on an interface's directory with its transmit queue locked, as every
// change of the link's state must be, so that no send sees half of one.
template <typename Change>
int change_interface(const char* iface, Change&& change) {
    char base[kMaxBase];
    char dir[kPathMax];
    if (!current_base(base) || !interface_dir(base, iface, dir, sizeof dir))
        return -1;
    int q = lock_tx_queue(dir);
    if (q < 0)
        return -1;
    change(dir, q);
    unlock_tx_queue(q);
    return 0;
}

}  // namespace

int set_link(const char* iface, int up, int ack) {
    return change_interface(iface, [&](const char* dir, int q) {
        if (up == 0) {
            set_marker(dir, kDownMarker, true);
            (void)ftruncate(q, 0);  // a link taken down drops what waits to be sent
        } else if (up == 1) {
            set_marker(dir, kDownMarker, false);
        }
        if (ack == 0) {
            set_marker(dir, kNoAckMarker, true);
        } else if (ack == 1 && has_marker(dir, kNoAckMarker)) {
            // A node acknowledges again: the queued frames go out first, in order, as the
            // controller's retransmissions succeed; then new frames go straight out.
            TxEntry e{};
            for (off_t at = 0; pread(q, &e, sizeof e, at) == static_cast<ssize_t>(sizeof e);
                 at += static_cast<off_t>(sizeof e)) {
                deliver_to_members(dir, e);
            }
            (void)ftruncate(q, 0);
            set_marker(dir, kNoAckMarker, false);
        }
    });
}

int set_presence(const char* iface, int present) {
    return change_interface(iface, [&](const char* dir, int q) {
        set_marker(dir, kGoneMarker, present == 0);
        if (present == 0) {
            (void)ftruncate(q, 0);  // what waited in the adapter goes with it
            // Every other process's sockets are cut off: their FIFOs leave the directory, and
            // then each gets the record that wakes its reader.
            char own[24];
            std::snprintf(own, sizeof own, "%d-", static_cast<int>(getpid()));
            DIR* d = opendir(dir);
            if (d == nullptr)
                return;
            FifoWriter writer;
            Record wake{};
            wake.flags = kCutOff;
            while (dirent* ent = readdir(d)) {
                char path[kPathMax + 64];
                if (ent->d_name[0] == '.' ||
                    std::strncmp(ent->d_name, own, std::strlen(own)) == 0 ||
                    !dir_file(dir, ent->d_name, path, sizeof path))
                    continue;
                int w = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                unlink(path);
                if (w < 0)
                    continue;
                writer.write(w, wake);
                FAKECAN_REAL(close)(w);
            }
            closedir(d);
        }
    });
}

bool present(const char* name) {
    char base[kMaxBase];
    char dir[kPathMax];
    return !current_base(base) || !interface_path(base, name, dir, sizeof dir) || !gone(dir);
}

namespace {

// Closes the kept FIFOs; the caller holds s.mutex.
void drop_peers(Socket& s) {
    for (int i = 0; i < s.peers.count; ++i)
        FAKECAN_REAL(close)(s.peers.fds[i]);
    s.peers.count = 0;
    s.peers.valid = false;
}

std::int64_t ns_of(const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

}  // namespace

ssize_t send_frame(int, Socket& s, const void* data, std::size_t len, const sockaddr* dest,
                   socklen_t dest_len) {
    unsigned ifindex = s.ifindex.load();
    if (dest != nullptr) {
        if (dest_len < static_cast<socklen_t>(offsetof(sockaddr_can, can_addr)))
            return fail(EINVAL);
        sockaddr_can can{};
        std::memcpy(&can, dest, std::min<std::size_t>(dest_len, sizeof can));
        if (can.can_family != AF_CAN)
            return fail(EINVAL);
        ifindex = static_cast<unsigned>(can.can_ifindex);
    }
    if (len == CANFD_MTU) {
        if (!s.fd_frames.load())
            return fail(EINVAL);
    } else if (len != CAN_MTU) {
        return fail(EINVAL);
    }
    if (data == nullptr)
        return fail(EFAULT);
    Record rec{};
    timespec sent{};
    clock_gettime(CLOCK_REALTIME, &sent);
    rec.sent_ns = static_cast<std::int64_t>(sent.tv_sec) * 1'000'000'000 + sent.tv_nsec;
    rec.size = static_cast<std::uint8_t>(len);
    std::memcpy(rec.frame, data, len);
    // The length byte sits at offset 4 in both layouts.
    if (rec.frame[4] > (len == CAN_MTU ? CAN_MAX_DLEN : CANFD_MAX_DLEN))
        return fail(EINVAL);
    char name[IFNAMSIZ];
    if (ifindex == 0 || !name_of(ifindex, name, s.base))
        return fail(ENXIO);
    char dir[kPathMax];
    if (!interface_path(s.base, name, dir, sizeof dir))
        return -1;
    if (gone(dir) || (std::strcmp(s.iface, name) == 0 && cut_off(s)))
        return fail(ENXIO);
    switch (link_gate(dir, std::strcmp(s.iface, name) == 0 ? s.member : "", rec)) {
        case Link::Down:
            return fail(ENETDOWN);
        case Link::QueueFull:
            return fail(ENOBUFS);
        case Link::Queued:
            return static_cast<ssize_t>(len);
        case Link::Open:
            break;
    }
    // Without loopback a frame only goes to the wire, and a virtual bus has no other end.
    if (!s.loopback.load())
        return static_cast<ssize_t>(len);

    // Taken before any scan, so that a member joining or leaving after it changes the mtime.
    struct stat before {};
    const bool have_dir = stat(dir, &before) == 0;
    timespec scan_time{};
    clock_gettime(CLOCK_REALTIME, &scan_time);
    bool own = s.recv_own.load();
    FifoWriter writer;
    auto deliver = [&](int w, bool self) {
        rec.flags = self ? kOwnFrame : 0;
        writer.write(w, rec);
    };
    std::lock_guard lock(s.mutex);
    Socket::Peers& peers = s.peers;
    if (have_dir && peers.valid && std::strcmp(peers.dir, dir) == 0 && peers.dev == before.st_dev &&
        peers.ino == before.st_ino && ns_of(peers.mtime) == ns_of(before.st_mtim)) {
        for (int i = 0; i < peers.count; ++i) {
            if (!peers.self[i] || own)
                deliver(peers.fds[i], peers.self[i]);
        }
        if (writer.broken())
            drop_peers(s);  // a reader is gone: the next send scans again and removes it
    } else {
        drop_peers(s);
        if (!have_dir && !interface_dir(s.base, name, dir, sizeof dir))
            return -1;
        const char* member = std::strcmp(s.iface, name) == 0 ? s.member : "";
        DIR* d = opendir(dir);
        if (d == nullptr)
            return -1;
        bool keep = have_dir && ns_of(before.st_mtim) < ns_of(scan_time) - kCoarseClockNs;
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            if (e->d_type != DT_FIFO && e->d_type != DT_UNKNOWN)
                continue;
            bool self = std::strcmp(e->d_name, member) == 0;
            char path[kPathMax + 256 + 2];
            if (std::snprintf(path, sizeof path, "%s/%s", dir, e->d_name) >=
                static_cast<int>(sizeof path)) {
                continue;
            }
            int w = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (w < 0) {
                if (errno == ENXIO)
                    unlink(path);  // nobody reads it any more
                keep = false;
                continue;
            }
            if (!self || own)
                deliver(w, self);
            if (keep && peers.count < kMaxPeers) {
                peers.fds[peers.count] = w;
                peers.self[peers.count] = self;
                ++peers.count;
            } else {
                keep = false;
                FAKECAN_REAL(close)(w);
            }
        }
        closedir(d);
        if (keep && !writer.broken()) {
            std::strcpy(peers.dir, dir);
            peers.dev = before.st_dev;
            peers.ino = before.st_ino;
            peers.mtime = before.st_mtim;
            peers.valid = true;
        } else {
            drop_peers(s);
        }
    }
    return static_cast<ssize_t>(len);
}

ssize_t recv_frame(int fd, Socket& s, void* buf, std::size_t len, int flags, sockaddr* addr,
                   socklen_t* addr_len, int* msg_flags, timespec* stamp) {
    bool peek = (flags & MSG_PEEK) != 0;
    int fl = fcntl(fd, F_GETFL);
    bool dont_wait = (flags & MSG_DONTWAIT) != 0 || (fl >= 0 && (fl & O_NONBLOCK) != 0);
    std::int64_t timeout = s.rcvtimeo_us.load();
    if (timeout < 0)
        dont_wait = true;
    std::int64_t deadline = timeout > 0 ? now_us() + timeout : 0;
    // As the kernel tells a socket whose device was unregistered: once.
    if (untold_cut(s)) {
        s.cut_off_told.store(true);
        return fail(ENODEV);
    }
    Record rec;
    for (;;) {
        if (!take_stash(s, rec, peek)) {
            if (dont_wait) {
                if (!readable_within(fd, 0))
                    return fail(EAGAIN);
            } else if (deadline != 0) {
                // As the kernel does, a frame already queued is taken however short the
                // time-out, even one that has run out while the caller got here.
                pollfd p{fd, POLLIN, 0};
                timespec ts = to_timespec(deadline - now_us());  // none left: a look, no wait
                int r = real_ppoll(&p, 1, &ts, nullptr);
                if (r < 0)
                    return -1;
                if (r == 0)
                    return fail(EAGAIN);
            }
            ssize_t n = FAKECAN_REAL(read)(fd, &rec, sizeof rec);
            if (n < 0) {
                if (errno == EAGAIN && !dont_wait)
                    continue;
                return -1;
            }
            if (n != static_cast<ssize_t>(sizeof rec))
                continue;
            if ((rec.flags & kCutOff) != 0 && untold_cut(s)) {
                s.cut_off_told.store(true);
                return fail(ENODEV);
            }
            if (!deliverable(s, rec))
                continue;
            if (peek)
                put_stash(s, rec);
        } else if (!deliverable(s, rec)) {
            // Options changed since it was read.
            if (peek)
                take_stash(s, rec, false);
            continue;
        }
        std::size_t n = std::min<std::size_t>(len, rec.size);
        if (n > 0 && buf == nullptr)
            return fail(EFAULT);
        if (n > 0)
            std::memcpy(buf, rec.frame, n);
        fill_address(s, addr, addr_len);
        if (stamp != nullptr) {
            *stamp = s.stamp_ns.load()
                         ? timespec{static_cast<time_t>(rec.sent_ns / 1'000'000'000),
                                    static_cast<long>(rec.sent_ns % 1'000'000'000)}
                         : timespec{-1, 0};
        }
        if (msg_flags != nullptr) {
            // Frames from this host carry MSG_DONTROUTE; one's own frames also MSG_CONFIRM.
            *msg_flags = MSG_DONTROUTE | ((rec.flags & kOwnFrame) ? MSG_CONFIRM : 0) |
                         (n < rec.size ? MSG_TRUNC : 0);
        }
        return static_cast<ssize_t>((flags & MSG_TRUNC) ? rec.size : n);
    }
}

int close_fd(int fd) {
    Socket* s = lookup(fd);
    if (s == nullptr || !tables_are_ours())
        return FAKECAN_REAL(close)(fd);
    g_table[fd].store(0, std::memory_order_release);
    int r = FAKECAN_REAL(close)(fd);
    int err = errno;
    std::lock_guard lock(g_pool_mutex);
    if (s->refs.fetch_sub(1) == 1) {
        std::lock_guard slock(s->mutex);
        if (s->owner == getpid())
            unlink(s->path);
        s->has_stash = false;
        drop_peers(*s);
    }
    errno = err;
    return r;
}

void share_fd(int old_fd, int new_fd) {
    Socket* s = lookup(old_fd);
    if (new_fd < 0 || new_fd >= kMaxFds || new_fd == old_fd || !tables_are_ours())
        return;
    if (lookup(new_fd) != nullptr) {
        // dup2 closed the fake socket that new_fd was.
        Socket* gone = lookup(new_fd);
        g_table[new_fd].store(0);
        std::lock_guard lock(g_pool_mutex);
        if (gone->refs.fetch_sub(1) == 1) {
            std::lock_guard slock(gone->mutex);
            if (gone->owner == getpid())
                unlink(gone->path);
            drop_peers(*gone);
        }
    }
    if (s == nullptr)
        return;
    s->refs.fetch_add(1);
    g_table[new_fd].store(static_cast<std::uint16_t>(s - g_pool + 1), std::memory_order_release);
}

int poll_fds(pollfd* fds, nfds_t n, const timespec* timeout, const sigset_t* mask) {
    bool any = false;
    for (nfds_t i = 0; i < n && !any; ++i) {
        any = (fds[i].events & POLLIN) != 0 && lookup(fds[i].fd) != nullptr;
    }
    if (!any)
        return real_ppoll(fds, n, timeout, mask);
    std::int64_t deadline = -1;
    if (timeout != nullptr)
        deadline = now_us() + timeout->tv_sec * 1000000 + timeout->tv_nsec / 1000;
    for (;;) {
        // Frames already taken out of a FIFO make their fd ready at once, and so does the
        // error of a socket an unplug cut off (a wait already under way is woken by its record).
        bool stashed = false;
        for (nfds_t i = 0; i < n; ++i) {
            Socket* s = lookup(fds[i].fd);
            if (s != nullptr && (fds[i].events & POLLIN) && (has_stash(*s) || untold_cut(*s)))
                stashed = true;
        }
        timespec zero{};
        timespec left = deadline < 0 ? timespec{} : to_timespec(deadline - now_us());
        int r = real_ppoll(fds, n, stashed ? &zero : (deadline < 0 ? nullptr : &left), mask);
        if (r < 0)
            return r;
        int count = 0;
        for (nfds_t i = 0; i < n; ++i) {
            Socket* s = lookup(fds[i].fd);
            if (s != nullptr && (fds[i].events & POLLIN)) {
                bool ready =
                    has_stash(*s) || ((fds[i].revents & POLLIN) &&
                                      (takes_everything(*s) || ready_frame(fds[i].fd, *s)));
                fds[i].revents = static_cast<short>(ready ? (fds[i].revents | POLLIN)
                                                          : (fds[i].revents & ~POLLIN));
                if (untold_cut(*s))
                    fds[i].revents = static_cast<short>(fds[i].revents | POLLERR);
            }
            if (fds[i].revents != 0)
                ++count;
        }
        if (count > 0)
            return count;
        if (deadline >= 0 && now_us() >= deadline)
            return 0;
    }
}

bool any_fake(int nfds, const fd_set* r, const fd_set* w, const fd_set* e) {
    for (int fd = 0; fd < nfds && fd < FD_SETSIZE; ++fd) {
        bool in = (r && FD_ISSET(fd, r)) || (w && FD_ISSET(fd, w)) || (e && FD_ISSET(fd, e));
        if (in && lookup(fd) != nullptr)
            return true;
    }
    return false;
}

int select_fds(int nfds, fd_set* r, fd_set* w, fd_set* e, const timespec* timeout,
               const sigset_t* mask) {
    if (nfds < 0 || nfds > FD_SETSIZE)
        return fail(EINVAL);
    pollfd fds[FD_SETSIZE];
    nfds_t n = 0;
    for (int fd = 0; fd < nfds; ++fd) {
        short ev = static_cast<short>(((r && FD_ISSET(fd, r)) ? POLLIN : 0) |
                                      ((w && FD_ISSET(fd, w)) ? POLLOUT : 0) |
                                      ((e && FD_ISSET(fd, e)) ? POLLPRI : 0));
        if (ev != 0)
            fds[n++] = pollfd{fd, ev, 0};
    }
    int res = poll_fds(fds, n, timeout, mask);
    if (res < 0)
        return res;
    if (r)
        FD_ZERO(r);
    if (w)
        FD_ZERO(w);
    if (e)
        FD_ZERO(e);
    int count = 0;
    for (nfds_t i = 0; i < n; ++i) {
        if (fds[i].revents & POLLNVAL)
            return fail(EBADF);
        short got = fds[i].revents;
        if (r && (got & (POLLIN | POLLHUP | POLLERR)) && (fds[i].events & POLLIN)) {
            FD_SET(fds[i].fd, r);
            ++count;
        }
        if (w && (got & (POLLOUT | POLLERR)) && (fds[i].events & POLLOUT)) {
            FD_SET(fds[i].fd, w);
            ++count;
        }
        if (e && (got & POLLPRI) && (fds[i].events & POLLPRI)) {
            FD_SET(fds[i].fd, e);
            ++count;
        }
    }
    return count;
}

}  // namespace fakecan
