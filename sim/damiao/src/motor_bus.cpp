#include <errno.h>
#include <fcntl.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "damiaosim/can_timing.hpp"
#include "damiaosim/motor_bus.hpp"
#include "motor.hpp"

namespace damiaosim {

using Clock = std::chrono::steady_clock;

SimError::SimError(std::string text, int os_error) : text_(std::move(text)), os_error_(os_error) {}

std::string SimError::message() const {
    if (os_error_ == 0)
        return text_;
    return text_ + ": " + std::system_category().message(os_error_) + " (os error " +
           std::to_string(os_error_) + ")";
}

namespace {

constexpr auto kPhysicsStep = std::chrono::milliseconds(1);
constexpr std::size_t kLogLimit = 10000;

SimError os_failure(const std::string& call) {
    return SimError(call + " failed", errno);
}

SimError unknown_motor(std::uint16_t id) {
    return SimError("no simulated motor with motor_id " + std::to_string(id));
}

}  // namespace

struct MotorBus::Impl {
    std::string iface;
    int sock = -1;
    int wake = -1;  // eventfd that interrupts the bus thread's wait
    // The interface was unregistered under the socket (an adapter unplugged): the motors are
    // still on the bus, so the socket is opened again by name once the interface is back.
    bool cut_off = false;
    Clock::time_point next_reopen{};
    std::thread thread;
    mutable std::mutex mutex;  // guards everything below
    bool stop_requested = false;
    std::map<std::uint16_t, SimMotor> motors;
    struct Pending {
        Clock::time_point due;
        OutFrame frame;
        std::uint16_t motor_id;
    };
    std::deque<Pending> pending;  // late answers, in due order per motor
    std::vector<std::uint32_t> chatter_ids;
    std::chrono::microseconds chatter_period{0};
    Clock::time_point next_chatter{};
    std::size_t chatter_index = 0;
    std::uint8_t chatter_counter = 0;
    std::deque<BusFrame> log;
    std::uint64_t frames = 0;
    bool wire_time = false;
    std::chrono::microseconds processing{kMotorProcessing};
    Clock::time_point bus_free{};  // with wire time: when the last frame heard or sent ends
    WatchdogFeeds feeds = WatchdogFeeds::Control;

    ~Impl() {
        if (sock >= 0)
            ::close(sock);
        if (wake >= 0)
            ::close(wake);
    }

    void poke() const {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake, &one, sizeof one);
    }

    // The socket a bus thread reads and answers on, by interface name.
    static Result<int> open_socket(const std::string& iface) {
        unsigned index = if_nametoindex(iface.c_str());
        if (index == 0)
            return std::unexpected(os_failure("if_nametoindex(" + iface + ")"));
        int sock = ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, CAN_RAW);
        if (sock < 0)
            return std::unexpected(os_failure("socket"));
        sockaddr_can addr{};
        addr.can_family = AF_CAN;
        addr.can_ifindex = static_cast<int>(index);
        int on = 1;
        Result<int> opened = sock;
        if (::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            opened = std::unexpected(os_failure("bind"));
        } else if (::setsockopt(sock, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on) != 0) {
            // Hear FD traffic too, so the log shows everything on the bus.
            opened = std::unexpected(os_failure("setsockopt(CAN_RAW_FD_FRAMES)"));
        } else if (::setsockopt(sock, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0) {
            // When each frame went on the bus, not when this thread got round to reading it.
            opened = std::unexpected(os_failure("setsockopt(SO_TIMESTAMPNS)"));
        }
        if (!opened)
            ::close(sock);
        return opened;
    }

    // A socket cut off by an unplug: ENODEV from a receive, ENXIO or ENODEV from a send.
    void note_cut_off(int error) {
        if (!cut_off && (error == ENODEV || error == ENXIO)) {
            cut_off = true;
            next_reopen = Clock::now();
        }
    }

    // Tries again every 50 ms while the interface is away; the caller holds the mutex.
    void reopen(Clock::time_point now) {
        if (!cut_off || now < next_reopen)
            return;
        next_reopen = now + std::chrono::milliseconds(50);
        if (auto opened = open_socket(iface)) {
            ::close(sock);
            sock = *opened;
            cut_off = false;
        }
    }

    bool send_frame(std::uint32_t can_id, const std::uint8_t* data, std::size_t len) {
        can_frame f{};
        f.can_id = can_id;
        f.len = static_cast<std::uint8_t>(len);
        std::memcpy(f.data, data, len);
        for (;;) {
            ssize_t n = ::write(sock, &f, sizeof f);
            if (n == static_cast<ssize_t>(sizeof f))
                return true;
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                note_cut_off(errno);
            return false;  // a full bus drops the answer
        }
    }

    void send_out(const OutFrame& f) { send_frame(f.id, f.data.data(), f.len); }

    // The moment a frame went on the bus, from its receive time stamp, on the steady clock; the
    // moment it is read when it carries none. Taken per frame, not from the wake-up: frames read
    // in one batch may have been sent after it.
    static Clock::time_point on_bus_at(msghdr& msg) {
        const auto read_at = Clock::now();
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS)
                continue;
            timespec stamp;
            std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
            timespec real;
            clock_gettime(CLOCK_REALTIME, &real);
            const auto age = std::chrono::seconds(real.tv_sec - stamp.tv_sec) +
                             std::chrono::nanoseconds(real.tv_nsec - stamp.tv_nsec);
            // A clock set back cannot put a frame in the future, nor far into the past.
            if (age < Clock::duration::zero() || age > std::chrono::seconds(1))
                return read_at;
            return read_at - std::chrono::duration_cast<Clock::duration>(age);
        }
        return read_at;
    }

    void on_frame(const canfd_frame& f, bool fd, Clock::time_point now) {
        ++frames;
        BusFrame logged{f.can_id,
                        std::vector<std::uint8_t>(f.data, f.data + std::min<int>(f.len, 64)), fd,
                        now};
        log.push_back(std::move(logged));
        if (log.size() > kLogLimit)
            log.pop_front();
        // With wire time the frame was on the bus until its last bit, after any frame before it.
        auto heard = now;
        if (wire_time && !fd) {
            heard = std::max(now, bus_free) +
                    frame_time(f.can_id, std::span(f.data, std::min<std::size_t>(f.len, 8)));
            bus_free = heard;
        }
        if (fd || (f.can_id & (CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_ERR_FLAG)) != 0)
            return;
        auto id = static_cast<std::uint16_t>(f.can_id & CAN_SFF_MASK);
        for (auto& [motor_id, motor] : motors) {
            if (!motor.addressed(id, f.data, f.len))
                continue;
            // A time-out that ran out before the frame's last bit stops the motor first, even
            // when this thread reads the frame late.
            const auto detected = Clock::now();
            motor.check_watchdog(std::min(heard, detected), detected);
            protocol::Payload payload;
            std::memcpy(payload.data(), f.data, 8);
            auto answer = motor.handle(id, payload, heard, feeds);
            if (!answer)
                continue;
            if (wire_time) {
                const auto due = std::max(heard + processing + motor.reply_delay, bus_free) +
                                 frame_time(answer->id, std::span(answer->data.data(), answer->len));
                bus_free = due;
                pending.push_back(Pending{due, *answer, motor_id});
            } else if (motor.reply_delay.count() > 0) {
                pending.push_back(Pending{now + motor.reply_delay, *answer, motor_id});
            } else {
                send_out(*answer);
                ++replies[motor_id];
            }
        }
    }

    std::map<std::uint16_t, std::uint64_t> replies;

    void run() {
        // Answers are due to the microsecond; the default 50 us timer slack would blur them.
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        auto next_step = Clock::now() + kPhysicsStep;
        for (;;) {
            Clock::time_point wake_at = next_step;
            {
                std::lock_guard lock(mutex);
                if (stop_requested)
                    return;
                for (const Pending& p : pending)
                    wake_at = std::min(wake_at, p.due);
                if (!chatter_ids.empty())
                    wake_at = std::min(wake_at, next_chatter);
                // Wake at a time-out's deadline itself, not at the next physics step.
                for (const auto& [id, motor] : motors) {
                    if (auto deadline = motor.watchdog_deadline())
                        wake_at = std::min(wake_at, *deadline);
                }
            }
            auto wait = std::max(Clock::duration::zero(), wake_at - Clock::now());
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
            timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
            pollfd fds[2] = {{sock, POLLIN, 0}, {wake, POLLIN, 0}};
            int r = ::ppoll(fds, 2, &ts, nullptr);
            if (r < 0 && errno != EINTR)
                return;
            std::lock_guard lock(mutex);
            if (stop_requested)
                return;
            if (fds[1].revents & POLLIN) {
                std::uint64_t v;
                [[maybe_unused]] ssize_t n = ::read(wake, &v, sizeof v);
            }
            auto now = Clock::now();
            // A kernel reports a link that went down as a socket error (POLLERR) until a read
            // takes it; reading it here keeps the thread from waking for it again and again.
            if (fds[0].revents & (POLLIN | POLLERR)) {
                for (int i = 0; i < 256; ++i) {
                    canfd_frame f{};
                    iovec io{&f, sizeof f};
                    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
                    msghdr msg{};
                    msg.msg_iov = &io;
                    msg.msg_iovlen = 1;
                    msg.msg_control = control;
                    msg.msg_controllen = sizeof control;
                    ssize_t n = ::recvmsg(sock, &msg, MSG_DONTWAIT);
                    if (n < 0)
                        note_cut_off(errno);
                    if (n != static_cast<ssize_t>(CAN_MTU) &&
                        n != static_cast<ssize_t>(CANFD_MTU)) {
                        break;
                    }
                    on_frame(f, n == static_cast<ssize_t>(CANFD_MTU), on_bus_at(msg));
                }
            }
            reopen(now);
            const auto checked = Clock::now();
            for (auto& [id, motor] : motors)
                motor.check_watchdog(checked, checked);
            // Fixed physics steps; after a long stall, catch up at most 50 ms at once.
            int steps = 0;
            while (next_step <= now && steps < 50) {
                for (auto& [id, motor] : motors)
                    motor.step(0.001);
                next_step += kPhysicsStep;
                ++steps;
            }
            if (next_step <= now)
                next_step = now + kPhysicsStep;
            std::stable_sort(pending.begin(), pending.end(),
                             [](const Pending& a, const Pending& b) { return a.due < b.due; });
            while (!pending.empty() && pending.front().due <= now) {
                Pending p = pending.front();
                pending.pop_front();
                auto it = motors.find(p.motor_id);
                // A cable pulled while the answer was on its way loses it.
                if (it != motors.end() && it->second.connected) {
                    send_out(p.frame);
                    ++replies[p.motor_id];
                }
            }
            if (!chatter_ids.empty() && next_chatter <= now) {
                std::uint32_t id = chatter_ids[chatter_index++ % chatter_ids.size()];
                std::uint8_t data[8] = {chatter_counter++, 0x5A, 0xA5, 0, 0, 0, 0, 0};
                send_frame(id, data, 8);
                next_chatter += chatter_period;
                if (next_chatter <= now)
                    next_chatter = now + chatter_period;
            }
        }
    }

    template <typename F>
    Result<void> with_motor(std::uint16_t id, F&& f) {
        std::lock_guard lock(mutex);
        auto it = motors.find(id);
        if (it == motors.end())
            return std::unexpected(unknown_motor(id));
        f(it->second);
        return {};
    }
};

MotorBus::MotorBus(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

MotorBus::~MotorBus() {
    stop();
}

Result<std::unique_ptr<MotorBus>> MotorBus::open(const std::string& iface,
                                                 std::vector<MotorConfig> motors) {
    auto impl = std::make_unique<Impl>();
    for (const MotorConfig& m : motors) {
        if (!impl->motors.try_emplace(m.motor_id, m).second) {
            return std::unexpected(SimError("duplicate motor_id " + std::to_string(m.motor_id)));
        }
    }
    auto sock = Impl::open_socket(iface);
    if (!sock)
        return std::unexpected(sock.error());
    impl->iface = iface;
    impl->sock = *sock;
    impl->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (impl->wake < 0)
        return std::unexpected(os_failure("eventfd"));
    return std::unique_ptr<MotorBus>(new MotorBus(std::move(impl)));
}

Result<void> MotorBus::start() {
    if (impl_->thread.joinable())
        return {};
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stop_requested = false;
    }
    try {
        impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
    } catch (const std::system_error& e) {
        return std::unexpected(SimError("cannot start the bus thread", e.code().value()));
    }
    return {};
}

void MotorBus::stop() {
    if (!impl_ || !impl_->thread.joinable())
        return;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stop_requested = true;
    }
    impl_->poke();
    impl_->thread.join();
}

bool MotorBus::running() const {
    return impl_->thread.joinable();
}

Result<void> MotorBus::set_connected(std::uint16_t id, bool connected) {
    return impl_->with_motor(id, [&](SimMotor& m) { m.connected = connected; });
}

Result<void> MotorBus::set_reply_delay(std::uint16_t id, std::chrono::microseconds d) {
    return impl_->with_motor(id, [&](SimMotor& m) { m.reply_delay = d; });
}

Result<void> MotorBus::set_stuck_mode(std::uint16_t id, std::optional<std::uint32_t> reported) {
    return impl_->with_motor(id, [&](SimMotor& m) { m.stuck_mode = reported; });
}

Result<void> MotorBus::set_short_reply(std::uint16_t id, std::size_t bytes) {
    return impl_->with_motor(id,
                             [&](SimMotor& m) { m.reply_bytes = std::min<std::size_t>(bytes, 8); });
}

Result<void> MotorBus::set_error_code(std::uint16_t id, std::optional<std::uint8_t> code) {
    return impl_->with_motor(id, [&](SimMotor& m) { m.error_code = code; });
}

Result<void> MotorBus::set_temperatures(std::uint16_t id, double mos, double rotor) {
    return impl_->with_motor(id, [&](SimMotor& m) {
        m.mos_temperature = mos;
        m.rotor_temperature = rotor;
    });
}

Result<void> MotorBus::set_position(std::uint16_t id, double position) {
    return impl_->with_motor(id, [&](SimMotor& m) { m.set_position(position); });
}

Result<void> MotorBus::power_cycle(std::uint16_t id, double position) {
    return impl_->with_motor(id, [&](SimMotor& m) { m.power_cycle(position); });
}

Result<MotorSnapshot> MotorBus::snapshot(std::uint16_t id) const {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->motors.find(id);
    if (it == impl_->motors.end())
        return std::unexpected(unknown_motor(id));
    MotorSnapshot s = it->second.snapshot();
    auto r = impl_->replies.find(id);
    s.replies_sent = r == impl_->replies.end() ? 0 : r->second;
    return s;
}

Result<std::uint32_t> MotorBus::register_word(std::uint16_t id, std::uint8_t reg) const {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->motors.find(id);
    if (it == impl_->motors.end())
        return std::unexpected(unknown_motor(id));
    auto v = it->second.register_word(reg);
    if (!v)
        return std::unexpected(SimError("register " + std::to_string(reg) + " does not exist"));
    return *v;
}

void MotorBus::start_chatter(std::vector<std::uint32_t> ids, std::chrono::microseconds period) {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->chatter_ids = std::move(ids);
        impl_->chatter_period = std::max(period, std::chrono::microseconds(100));
        impl_->next_chatter = Clock::now();
    }
    impl_->poke();
}

void MotorBus::stop_chatter() {
    std::lock_guard lock(impl_->mutex);
    impl_->chatter_ids.clear();
}

Result<void> MotorBus::inject(std::uint32_t can_id, std::span<const std::uint8_t> data) {
    if (data.size() > 8)
        return std::unexpected(SimError("a classic frame carries at most 8 bytes"));
    std::lock_guard lock(impl_->mutex);
    if (!impl_->send_frame(can_id, data.data(), data.size()))
        return std::unexpected(os_failure("write"));
    return {};
}

void MotorBus::set_watchdog_feeds(WatchdogFeeds feeds) {
    std::lock_guard lock(impl_->mutex);
    impl_->feeds = feeds;
}

WatchdogFeeds MotorBus::watchdog_feeds() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->feeds;
}

void MotorBus::set_wire_time(bool on, std::chrono::microseconds processing) {
    std::lock_guard lock(impl_->mutex);
    impl_->wire_time = on;
    impl_->processing = processing;
}

std::vector<BusFrame> MotorBus::received_frames() const {
    std::lock_guard lock(impl_->mutex);
    return {impl_->log.begin(), impl_->log.end()};
}

std::uint64_t MotorBus::frame_count() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->frames;
}

void MotorBus::clear_log() {
    std::lock_guard lock(impl_->mutex);
    impl_->log.clear();
}

}  // namespace damiaosim
