#include "servosim/servo_bus_simulator.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace servosim {

namespace {

using std::chrono::microseconds;

constexpr std::uint8_t kBroadcastId = 0xFE;
constexpr std::uint8_t kPing = 0x01;
constexpr std::uint8_t kRead = 0x02;
constexpr std::uint8_t kWrite = 0x03;
constexpr std::uint8_t kReboot = 0x08;
constexpr std::uint8_t kSyncRead = 0x82;
constexpr std::uint8_t kSyncWrite = 0x83;
constexpr microseconds kByteTime{10};  // 10 bits at 1 Mbaud
constexpr std::chrono::milliseconds kIdlePoll{50};

std::uint8_t checksum(std::span<const std::uint8_t> bytes) {
    unsigned sum = 0;
    for (std::uint8_t byte : bytes) {
        sum += byte;
    }
    return static_cast<std::uint8_t>(~sum);
}

// Where a servo that stood at `present` is after `elapsed` seconds of following `target`: at
// full speed while far away, then closing the gap exponentially. Both pieces meet at the same
// velocity, so the motion has no jump.
double follow(double present, double target, double elapsed, const Motion& motion) {
    if (motion.speed <= 0.0) {
        return target;
    }
    const double sign = target < present ? -1.0 : 1.0;
    double distance = std::abs(target - present);
    const double band = motion.speed * motion.time_constant;
    if (distance > band) {
        const double full_speed_time = (distance - band) / motion.speed;
        if (elapsed <= full_speed_time) {
            return present + sign * motion.speed * elapsed;
        }
        elapsed -= full_speed_time;
        distance = band;
    }
    if (motion.time_constant <= 0.0) {
        return target;
    }
    return target - sign * distance * std::exp(-elapsed / motion.time_constant);
}

std::string errno_text(const char* call) {
    return std::string(call) + ": " + std::strerror(errno);
}

}  // namespace

struct ServoBusSimulator::Servo {
    Servo(std::uint8_t servo_id, ServoModel servo_model, Motion servo_motion,
          Clock::time_point now)
        : id(servo_id), model(servo_model), motion(servo_motion), last_update(now) {
        registers.fill(0);
        // The simulator's own firmware 3.10 and model numbers, one per model.
        registers[FIRMWARE_MAJOR] = 3;
        registers[FIRMWARE_MINOR] = 10;
        store_position(MODEL_NUMBER, servo_model == ServoModel::SM40BL ? 1540 : 3081);
        store_position(MIN_ANGLE_LIMIT, 0);
        store_position(MAX_ANGLE_LIMIT, kFullTurn);
        registers[MAX_TEMPERATURE] = kMaxTemperature;
        registers[P_GAIN] = 32;
        registers[D_GAIN] = 32;
        registers[I_GAIN] = 0;
        store_position(GOAL_POSITION, kCentrePosition);
        store_position(PRESENT_POSITION, kCentrePosition);
        registers[PRESENT_VOLTAGE] = kNominalVoltage;
        present = kCentrePosition;
        registers[PRESENT_TEMPERATURE] = static_cast<std::uint8_t>(kAmbientTemperature);
    }

    void store_position(std::uint8_t address, std::int16_t raw) {
        const auto bits = static_cast<std::uint16_t>(raw);
        registers[address] = static_cast<std::uint8_t>(bits & 0xFF);
        registers[address + 1] = static_cast<std::uint8_t>(bits >> 8);
    }
    [[nodiscard]] std::int16_t load_position(std::uint8_t address) const {
        return static_cast<std::int16_t>(registers[address] | (registers[address + 1] << 8));
    }

    // The goal as the servo pursues it: clamped to its angle limits, as a real one does.
    [[nodiscard]] double target() const {
        const double goal = load_position(GOAL_POSITION);
        const double low = load_position(MIN_ANGLE_LIMIT);
        const double high = load_position(MAX_ANGLE_LIMIT);
        return high > low ? std::clamp(goal, low, high) : goal;
    }

    // Brings the time-dependent registers up to `now`.
    void update(Clock::time_point now) {
        const double elapsed = std::chrono::duration<double>(now - last_update).count();
        last_update = now;
        const double goal = target();
        present = follow(present, goal, elapsed, motion);
        store_position(PRESENT_POSITION, static_cast<std::int16_t>(std::lround(present)));
        update_telemetry(goal, elapsed);
        if (ramp) {
            const double fraction = ramp->duration.count() <= 0
                                        ? 1.0
                                        : std::chrono::duration<double>(now - ramp->start) /
                                              std::chrono::duration<double>(ramp->duration);
            const double level = std::clamp(fraction, 0.0, 1.0) * ramp->nominal;
            registers[PRESENT_VOLTAGE] = static_cast<std::uint8_t>(level);
            if (fraction >= 1.0) {
                ramp.reset();
            }
        }
    }

    // Speed, load and temperature after `elapsed` seconds of following `goal`.
    void update_telemetry(double goal, double elapsed) {
        const double gap = goal - present;
        double speed = 0.0;  // steps per second, at the end of the interval
        if (motion.speed > 0.0 && gap != 0.0) {
            speed = motion.time_constant > 0.0
                        ? std::min(motion.speed, std::abs(gap) / motion.time_constant)
                        : motion.speed;
            speed = std::copysign(speed, gap);
        }
        // A loaded servo works harder; moving adds a share in proportion to its speed.
        const bool holding = registers[TORQUE_ENABLE] != 0;
        const double moving = motion.speed > 0.0 ? 300.0 * speed / motion.speed : 0.0;
        const double load = holding ? std::clamp(external_load + moving, -1000.0, 1000.0) : 0.0;
        // First order: at full load it settles 50 degrees above ambient, with a minute's lag.
        constexpr double kThermalTime = 60.0;
        const double settled = kAmbientTemperature + 50.0 * std::abs(load) / 1000.0;
        temperature = settled + (temperature - settled) * std::exp(-elapsed / kThermalTime);
        store_signed(PRESENT_SPEED, speed, 15);
        store_signed(PRESENT_LOAD, load, 10);
        registers[PRESENT_TEMPERATURE] =
            static_cast<std::uint8_t>(std::clamp(std::lround(temperature), 0L, 255L));
    }

    // A magnitude with the direction in bit `sign_bit`, as the servos encode speed and load.
    void store_signed(std::uint8_t address, double value, int sign_bit) {
        const auto magnitude = static_cast<std::uint16_t>(
            std::min(std::lround(std::abs(value)), (1L << sign_bit) - 1));
        const auto bits =
            static_cast<std::uint16_t>(magnitude | (value < 0 ? (1u << sign_bit) : 0u));
        registers[address] = static_cast<std::uint8_t>(bits & 0xFF);
        registers[address + 1] = static_cast<std::uint8_t>(bits >> 8);
    }

    // The error byte of its answers: what a fault injected, and the overheat bit at its limit.
    [[nodiscard]] std::uint8_t status_error() const {
        const bool hot = registers[PRESENT_TEMPERATURE] >= registers[MAX_TEMPERATURE];
        return static_cast<std::uint8_t>(faults.status_error | (hot ? 0x04 : 0x00));
    }

    void write(std::size_t address, std::span<const std::uint8_t> data, Clock::time_point now) {
        update(now);
        for (std::size_t i = 0; i < data.size() && address + i < registers.size(); ++i) {
            registers[address + i] = data[i];
        }
        update(now);
    }

    [[nodiscard]] Bytes read(std::size_t address, std::size_t length) const {
        Bytes data(length, 0);
        for (std::size_t i = 0; i < length && address + i < registers.size(); ++i) {
            data[i] = registers[address + i];
        }
        return data;
    }

    [[nodiscard]] bool answers(Clock::time_point now) const {
        return !faults.unpowered && now >= silent_until;
    }

    struct Ramp {
        Clock::time_point start;
        microseconds duration;
        std::uint8_t nominal;
    };

    std::uint8_t id;
    ServoModel model;
    std::array<std::uint8_t, 256> registers{};
    double present = 0.0;
    double external_load = 0.0;  // tenths of a percent
    double temperature = kAmbientTemperature;
    Motion motion;
    Clock::time_point last_update;
    std::optional<Ramp> ramp;
    ServoFaults faults;
    microseconds reboot_silence{std::chrono::milliseconds(50)};
    Clock::time_point silent_until{};
};

namespace {

struct Line {
    int master;
    int slave;
    std::string slave_path;
};

// A new pseudo-terminal, raw from the start, so that nothing sent before a client configures
// the line is echoed.
std::expected<Line, SimulatorError> open_line() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) {
        return std::unexpected(SimulatorError(errno_text("posix_openpt")));
    }
    auto fail = [&](const char* call, int slave = -1) {
        SimulatorError error(errno_text(call));
        if (slave >= 0) {
            ::close(slave);
        }
        ::close(master);
        return std::unexpected(std::move(error));
    };
    if (fcntl(master, F_SETFD, FD_CLOEXEC) != 0 || fcntl(master, F_SETFL, O_NONBLOCK) != 0) {
        return fail("fcntl");
    }
    if (grantpt(master) != 0) {
        return fail("grantpt");
    }
    if (unlockpt(master) != 0) {
        return fail("unlockpt");
    }
    std::array<char, 128> name{};
    if (ptsname_r(master, name.data(), name.size()) != 0) {
        return fail("ptsname_r");
    }
    const int slave = ::open(name.data(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (slave < 0) {
        return fail("open");
    }
    termios tio{};
    if (tcgetattr(slave, &tio) != 0) {
        return fail("tcgetattr", slave);
    }
    cfmakeraw(&tio);
    if (tcsetattr(slave, TCSANOW, &tio) != 0) {
        return fail("tcsetattr", slave);
    }
    return Line{master, slave, name.data()};
}

}  // namespace

std::expected<std::unique_ptr<ServoBusSimulator>, SimulatorError> ServoBusSimulator::start(
    SimulatorOptions options) {
    auto line = open_line();
    if (!line) {
        return std::unexpected(line.error());
    }
    const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        SimulatorError error(errno_text("eventfd"));
        ::close(line->slave);
        ::close(line->master);
        return std::unexpected(std::move(error));
    }
    std::unique_ptr<ServoBusSimulator> simulator(
        new ServoBusSimulator(line->master, line->slave, wake, line->slave_path, options));
    simulator->thread_ = std::thread([raw = simulator.get()] { raw->run(); });
    return simulator;
}

std::string ServoBusSimulator::slave_path() const {
    std::lock_guard lock(mutex_);
    return slave_path_;
}

bool ServoBusSimulator::plugged() const {
    std::lock_guard plug(plug_mutex_);
    return master_fd_ >= 0;
}

bool ServoBusSimulator::unplug() {
    std::lock_guard plug(plug_mutex_);
    if (master_fd_ < 0) {
        return false;
    }
    stop();
    ::close(slave_fd_);
    ::close(master_fd_);
    master_fd_ = slave_fd_ = -1;
    std::lock_guard lock(mutex_);
    input_.clear();
    output_.clear();
    scheduled_.clear();
    return true;
}

bool ServoBusSimulator::replug() {
    std::lock_guard plug(plug_mutex_);
    if (master_fd_ >= 0) {
        return false;
    }
    auto line = open_line();
    if (!line) {
        return false;
    }
    master_fd_ = line->master;
    slave_fd_ = line->slave;
    {
        std::lock_guard lock(mutex_);
        slave_path_ = line->slave_path;
        stopping_ = false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

std::expected<std::unique_ptr<ServoBusSimulator>, SimulatorError>
ServoBusSimulator::start_robot_bus(SimulatorOptions options) {
    auto simulator = start(options);
    if (simulator) {
        for (std::uint8_t id = 1; id <= 7; ++id) {
            (*simulator)->add_servo(id, id <= 4 ? ServoModel::SM40BL : ServoModel::STS3025BL);
        }
    }
    return simulator;
}

ServoBusSimulator::ServoBusSimulator(int master_fd, int slave_fd, int wake_fd,
                                     std::string slave_path, SimulatorOptions options)
    : master_fd_(master_fd),
      slave_fd_(slave_fd),
      wake_fd_(wake_fd),
      slave_path_(std::move(slave_path)),
      options_(options) {}

ServoBusSimulator::~ServoBusSimulator() {
    stop();
    ::close(wake_fd_);
    if (master_fd_ >= 0) {
        ::close(slave_fd_);
        ::close(master_fd_);
    }
}

void ServoBusSimulator::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void ServoBusSimulator::wake() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wake_fd_, &one, sizeof one);
}

ServoBusSimulator::Servo* ServoBusSimulator::find(std::uint8_t id) {
    const auto it = servos_.find(id);
    return it == servos_.end() ? nullptr : it->second.get();
}

const ServoBusSimulator::Servo* ServoBusSimulator::find(std::uint8_t id) const {
    const auto it = servos_.find(id);
    return it == servos_.end() ? nullptr : it->second.get();
}

void ServoBusSimulator::add_servo(std::uint8_t id, ServoModel model) {
    std::lock_guard lock(mutex_);
    servos_[id] = std::make_unique<Servo>(id, model, options_.motion, Clock::now());
}

bool ServoBusSimulator::remove_servo(std::uint8_t id) {
    std::lock_guard lock(mutex_);
    return servos_.erase(id) != 0;
}

bool ServoBusSimulator::has_servo(std::uint8_t id) const {
    std::lock_guard lock(mutex_);
    return find(id) != nullptr;
}

std::optional<ServoModel> ServoBusSimulator::model(std::uint8_t id) const {
    std::lock_guard lock(mutex_);
    const Servo* servo = find(id);
    return servo ? std::optional(servo->model) : std::nullopt;
}

std::optional<Bytes> ServoBusSimulator::read_registers(std::uint8_t id, std::uint8_t address,
                                                       std::size_t length) const {
    std::lock_guard lock(mutex_);
    // Reading brings the moving registers up to date, hence the const_cast on our own state.
    auto* servo = const_cast<Servo*>(find(id));
    if (servo == nullptr) {
        return std::nullopt;
    }
    servo->update(Clock::now());
    return servo->read(address, length);
}

bool ServoBusSimulator::write_registers(std::uint8_t id, std::uint8_t address,
                                        std::span<const std::uint8_t> data) {
    std::lock_guard lock(mutex_);
    Servo* servo = find(id);
    if (servo == nullptr) {
        return false;
    }
    servo->write(address, data, Clock::now());
    return true;
}

std::optional<std::int16_t> ServoBusSimulator::present_position(std::uint8_t id) const {
    auto bytes = read_registers(id, PRESENT_POSITION, 2);
    if (!bytes) {
        return std::nullopt;
    }
    return static_cast<std::int16_t>((*bytes)[0] | ((*bytes)[1] << 8));
}

std::optional<std::int16_t> ServoBusSimulator::goal_position(std::uint8_t id) const {
    auto bytes = read_registers(id, GOAL_POSITION, 2);
    if (!bytes) {
        return std::nullopt;
    }
    return static_cast<std::int16_t>((*bytes)[0] | ((*bytes)[1] << 8));
}

bool ServoBusSimulator::set_position(std::uint8_t id, std::int16_t raw) {
    std::lock_guard lock(mutex_);
    Servo* servo = find(id);
    if (servo == nullptr) {
        return false;
    }
    servo->store_position(GOAL_POSITION, raw);
    servo->present = raw;
    servo->update(Clock::now());
    return true;
}

bool ServoBusSimulator::set_motion_speed(std::uint8_t id, double steps_per_second) {
    std::lock_guard lock(mutex_);
    Servo* servo = find(id);
    if (servo == nullptr) {
        return false;
    }
    servo->update(Clock::now());
    servo->motion.speed = steps_per_second;
    return true;
}

bool ServoBusSimulator::set_motion(std::uint8_t id, Motion motion) {
    std::lock_guard lock(mutex_);
    Servo* servo = find(id);
    if (servo == nullptr) {
        return false;
    }
    servo->update(Clock::now());
    servo->motion = motion;
    return true;
}

bool ServoBusSimulator::set_external_load(std::uint8_t id, int permille) {
    std::lock_guard lock(mutex_);
    Servo* servo = find(id);
    if (servo == nullptr) {
        return false;
    }
    servo->update(Clock::now());
    servo->external_load = std::clamp(permille, -1000, 1000);
    return true;
}

bool ServoBusSimulator::set_temperature(std::uint8_t id, double celsius) {
    std::lock_guard lock(mutex_);
    Servo* servo = find(id);
    if (servo == nullptr) {
        return false;
    }
    servo->update(Clock::now());
    servo->temperature = celsius;
    servo->update(Clock::now());
    return true;
}

bool ServoBusSimulator::set_reboot_silence(std::uint8_t id, microseconds silence) {
    std::lock_guard lock(mutex_);
    Servo* servo = find(id);
    if (servo == nullptr) {
        return false;
    }
    servo->reboot_silence = silence;
    return true;
}

bool ServoBusSimulator::set_faults(std::uint8_t id, ServoFaults faults) {
    std::lock_guard lock(mutex_);
    Servo* servo = find(id);
    if (servo == nullptr) {
        return false;
    }
    servo->faults = std::move(faults);
    return true;
}

std::optional<ServoFaults> ServoBusSimulator::faults(std::uint8_t id) const {
    std::lock_guard lock(mutex_);
    const Servo* servo = find(id);
    return servo ? std::optional(servo->faults) : std::nullopt;
}

bool ServoBusSimulator::clear_faults(std::uint8_t id) {
    return set_faults(id, {});
}

bool ServoBusSimulator::set_unpowered(std::uint8_t id, bool unpowered) {
    std::lock_guard lock(mutex_);
    Servo* servo = find(id);
    if (servo == nullptr) {
        return false;
    }
    servo->faults.unpowered = unpowered;
    return true;
}

bool ServoBusSimulator::start_voltage_ramp(std::uint8_t id, microseconds duration,
                                           std::uint8_t nominal) {
    std::lock_guard lock(mutex_);
    Servo* servo = find(id);
    if (servo == nullptr) {
        return false;
    }
    const auto now = Clock::now();
    servo->ramp = Servo::Ramp{now, duration, nominal};
    servo->update(now);
    return true;
}

bool ServoBusSimulator::set_voltage(std::uint8_t id, std::uint8_t voltage) {
    std::lock_guard lock(mutex_);
    Servo* servo = find(id);
    if (servo == nullptr) {
        return false;
    }
    servo->ramp.reset();
    servo->registers[PRESENT_VOLTAGE] = voltage;
    return true;
}

void ServoBusSimulator::inject(std::span<const std::uint8_t> bytes, microseconds delay) {
    {
        std::lock_guard lock(mutex_);
        schedule(Clock::now() + delay, Bytes(bytes.begin(), bytes.end()));
    }
    wake();
}

Bytes ServoBusSimulator::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

void ServoBusSimulator::clear_received() {
    std::lock_guard lock(mutex_);
    received_.clear();
    packets_handled_ = 0;
}

bool ServoBusSimulator::wait_for_received(std::size_t count,
                                          std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return received_changed_.wait_for(lock, timeout, [&] { return received_.size() >= count; });
}

std::size_t ServoBusSimulator::packets_handled() const {
    std::lock_guard lock(mutex_);
    return packets_handled_;
}

void ServoBusSimulator::schedule(Clock::time_point due, Bytes bytes) {
    if (bytes.empty()) {
        return;
    }
    const auto at = std::upper_bound(
        scheduled_.begin(), scheduled_.end(), due,
        [](Clock::time_point t, const Transmission& other) { return t < other.due; });
    scheduled_.insert(at, Transmission{due, std::move(bytes)});
}

std::optional<Clock::time_point> ServoBusSimulator::next_deadline() const {
    std::optional<Clock::time_point> deadline;
    if (!scheduled_.empty()) {
        deadline = scheduled_.front().due;
    }
    if (!input_.empty()) {
        const auto give_up = last_input_ + options_.partial_packet_timeout;
        deadline = deadline ? std::min(*deadline, give_up) : give_up;
    }
    return deadline;
}

std::optional<std::chrono::steady_clock::time_point> ServoBusSimulator::take_request_time() {
    std::lock_guard lock(mutex_);
    return std::exchange(last_request_at_, std::nullopt);
}

std::chrono::microseconds ServoBusSimulator::take_delivery_lag() {
    std::lock_guard lock(mutex_);
    const auto lag = std::chrono::duration_cast<std::chrono::microseconds>(delivery_lag_);
    delivery_lag_ = {};
    return lag;
}

void ServoBusSimulator::release_due(Clock::time_point now) {
    auto it = scheduled_.begin();
    for (; it != scheduled_.end() && it->due <= now; ++it) {
        output_.insert(output_.end(), it->bytes.begin(), it->bytes.end());
        delivery_lag_ = std::max(delivery_lag_, now - it->due);
    }
    scheduled_.erase(scheduled_.begin(), it);
}

void ServoBusSimulator::write_out() {
    while (!output_.empty()) {
        const ssize_t put = ::write(master_fd_, output_.data(), output_.size());
        if (put <= 0) {
            return;  // full (EAGAIN) or nobody listening yet; retried on the next round
        }
        output_.erase(output_.begin(), output_.begin() + put);
    }
}

void ServoBusSimulator::run() {
    if (options_.wire_time) {
        // Answers are due to the microsecond; the default 50 us timer slack would blur them.
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    }
    std::array<std::uint8_t, 4096> buffer{};
    for (;;) {
        int timeout_ms = static_cast<int>(kIdlePoll.count());
        timespec limit{};
        bool want_out = false;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) {
                return;
            }
            const auto now = Clock::now();
            if (const auto deadline = next_deadline()) {
                const auto wait = std::max(Clock::duration::zero(), *deadline - now);
                timeout_ms = -1;
                const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                    std::min<Clock::duration>(wait, kIdlePoll));
                limit = {static_cast<time_t>(ns.count() / 1'000'000'000),
                         static_cast<long>(ns.count() % 1'000'000'000)};
            }
            want_out = !output_.empty();
        }
        if (timeout_ms >= 0) {
            limit = {0, static_cast<long>(timeout_ms) * 1'000'000};
        }
        std::array<pollfd, 2> fds{
            {{master_fd_, static_cast<short>(POLLIN | (want_out ? POLLOUT : 0)), 0},
             {wake_fd_, POLLIN, 0}}};
        const int ready = ppoll(fds.data(), fds.size(), &limit, nullptr);
        if (ready < 0 && errno != EINTR) {
            return;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            std::uint64_t drained = 0;
            [[maybe_unused]] const auto got = ::read(wake_fd_, &drained, sizeof drained);
        }
        // Bytes are logged and handled under one hold of the lock, so whoever waits for them to
        // arrive also sees what they did (a goal set, an answer scheduled).
        std::unique_lock lock(mutex_, std::defer_lock);
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            const ssize_t got = ::read(master_fd_, buffer.data(), buffer.size());
            if (got > 0) {
                lock.lock();
                take_input(std::span(buffer).first(static_cast<std::size_t>(got)), Clock::now());
            } else if (got < 0 && errno == EIO) {
                // No slave open at the moment; our own slave fd makes this rare, but never spin.
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        if (!lock.owns_lock()) {
            lock.lock();
        }
        const auto now = Clock::now();
        parse_input(now);
        release_due(now);
        write_out();
    }
}

void ServoBusSimulator::take_input(std::span<const std::uint8_t> bytes, Clock::time_point now) {
    received_.insert(received_.end(), bytes.begin(), bytes.end());
    received_changed_.notify_all();
    input_.insert(input_.end(), bytes.begin(), bytes.end());
    last_input_ = now;
}

void ServoBusSimulator::parse_input(Clock::time_point now) {
    for (;;) {
        // Resynchronise on FF FF; an id of FF means the first FF was noise.
        while (!input_.empty()) {
            const bool noise = input_[0] != 0xFF || (input_.size() >= 2 && input_[1] != 0xFF) ||
                               (input_.size() >= 3 && input_[2] == 0xFF);
            if (!noise) {
                break;
            }
            input_.erase(input_.begin());
        }
        const bool stalled = now - last_input_ >= options_.partial_packet_timeout;
        if (input_.size() < 4) {
            if (!input_.empty() && stalled) {
                input_.erase(input_.begin());  // the rest never came: treat the start as noise
                continue;
            }
            break;
        }
        const std::size_t length = input_[3];
        if (length < 2) {
            input_.erase(input_.begin(), input_.begin() + 2);
            continue;
        }
        const std::size_t total = 4 + length;
        if (input_.size() < total) {
            if (stalled) {
                input_.erase(input_.begin());
                continue;
            }
            break;
        }
        const std::span packet(input_.data(), total);
        if (checksum(packet.subspan(2, total - 3)) != packet[total - 1]) {
            input_.erase(input_.begin());
            continue;
        }
        const Bytes params(packet.begin() + 5,
                           packet.begin() + static_cast<std::ptrdiff_t>(total - 1));
        const std::uint8_t id = packet[2];
        const std::uint8_t instruction = packet[4];
        input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(total));
        ++packets_handled_;
        last_request_at_ = now;
        // On a real line the request's last byte arrives 10 us per byte after the line is free;
        // the pseudo-terminal delivered it all at once, so the servos wait for that moment.
        auto heard = now;
        if (options_.wire_time) {
            heard = std::max(now, line_free_) + kByteTime * static_cast<long>(total);
            line_free_ = heard;
        }
        handle_packet(id, instruction, params, heard);
    }
}

Clock::time_point ServoBusSimulator::answer(Servo& servo, std::span<const std::uint8_t> data,
                                            Clock::time_point earliest) {
    const ServoFaults& faults = servo.faults;
    Bytes packet{0xFF, 0xFF, faults.answer_id.value_or(servo.id),
                 static_cast<std::uint8_t>(data.size() + 2), servo.status_error()};
    packet.insert(packet.end(), data.begin(), data.end());
    std::uint8_t sum = checksum(std::span(packet).subspan(2));
    if (faults.corrupt_checksum) {
        sum = static_cast<std::uint8_t>(sum ^ 0x5A);
    }
    packet.push_back(sum);

    auto at = std::max(earliest, line_free_) + faults.answer_delay;
    if (options_.wire_time) {
        at += options_.return_delay;
    }
    auto send = [&](Bytes bytes) {
        if (options_.wire_time) {
            at += kByteTime * static_cast<long>(bytes.size());
        }
        schedule(at, std::move(bytes));
    };
    if (!faults.noise_before.empty()) {
        send(faults.noise_before);
    }
    if (faults.truncate_to > 0 && faults.truncate_to < packet.size()) {
        packet.resize(faults.truncate_to);
    }
    if (faults.duplicate) {
        const Bytes copy = packet;
        packet.insert(packet.end(), copy.begin(), copy.end());
    }
    const std::size_t piece = faults.piece_size == 0 ? packet.size() : faults.piece_size;
    for (std::size_t offset = 0; offset < packet.size(); offset += piece) {
        if (offset != 0) {
            at += faults.piece_gap;
        }
        const auto end = std::min(packet.size(), offset + piece);
        send(Bytes(packet.begin() + static_cast<std::ptrdiff_t>(offset),
                   packet.begin() + static_cast<std::ptrdiff_t>(end)));
    }
    if (options_.wire_time) {
        line_free_ = at;
    }
    return at;
}

void ServoBusSimulator::handle_packet(std::uint8_t id, std::uint8_t instruction,
                                      std::span<const std::uint8_t> params, Clock::time_point now) {
    // With wire time the request itself occupied the line until now.
    if (id == kBroadcastId) {
        if (instruction == kSyncRead && params.size() >= 2) {
            const std::uint8_t address = params[0];
            const std::uint8_t length = params[1];
            auto cursor = now;
            for (std::uint8_t target : params.subspan(2)) {
                Servo* servo = find(target);
                if (servo == nullptr || !servo->answers(now)) {
                    continue;  // the next servo still answers in its turn
                }
                servo->update(now);
                cursor = answer(*servo, servo->read(address, length), cursor);
            }
        } else if (instruction == kSyncWrite && params.size() >= 2) {
            const std::uint8_t address = params[0];
            const std::size_t length = params[1];
            const auto entries = params.subspan(2);
            for (std::size_t offset = 0; offset + length + 1 <= entries.size();
                 offset += length + 1) {
                Servo* servo = find(entries[offset]);
                if (servo == nullptr || servo->faults.unpowered) {
                    continue;
                }
                servo->write(address, entries.subspan(offset + 1, length), now);
                if (servo->faults.answer_sync_write && servo->answers(now)) {
                    answer(*servo, {}, now);
                }
            }
        } else if (instruction == kWrite && !params.empty()) {
            for (auto& [servo_id, servo] : servos_) {
                if (!servo->faults.unpowered) {
                    servo->write(params[0], params.subspan(1), now);
                }
            }
        }
        return;
    }

    Servo* servo = find(id);
    if (servo == nullptr || !servo->answers(now)) {
        return;
    }
    switch (instruction) {
        case kPing:
            answer(*servo, {}, now);
            break;
        case kRead:
            if (params.size() == 2) {
                servo->update(now);
                answer(*servo, servo->read(params[0], params[1]), now);
            }
            break;
        case kWrite:
            if (!params.empty()) {
                servo->write(params[0], params.subspan(1), now);
                answer(*servo, {}, now);
            }
            break;
        case kReboot:
            answer(*servo, {}, now);
            servo->silent_until = now + servo->reboot_silence;
            break;
        default:
            break;  // instructions this bus never uses go unanswered
    }
}

}  // namespace servosim
