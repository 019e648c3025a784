#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <expected>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

// Feetech bus servos behind the master side of a pseudo-terminal. Clients open slave_path() like
// a USB serial adapter. Everything runs on one native thread; every public call is thread-safe.
namespace servosim {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

enum class ServoModel : std::uint8_t { SM40BL, STS3025BL };

// Register addresses the simulated servos give meaning to; all others are plain storage.
inline constexpr std::uint8_t FIRMWARE_MAJOR = 0;
inline constexpr std::uint8_t FIRMWARE_MINOR = 1;
inline constexpr std::uint8_t MODEL_NUMBER = 3;
inline constexpr std::uint8_t MIN_ANGLE_LIMIT = 9;
inline constexpr std::uint8_t MAX_ANGLE_LIMIT = 11;
inline constexpr std::uint8_t MAX_TEMPERATURE = 13;
inline constexpr std::uint8_t P_GAIN = 21;
inline constexpr std::uint8_t D_GAIN = 22;
inline constexpr std::uint8_t I_GAIN = 23;
inline constexpr std::uint8_t TORQUE_ENABLE = 40;
inline constexpr std::uint8_t GOAL_POSITION = 42;
inline constexpr std::uint8_t PRESENT_POSITION = 56;
inline constexpr std::uint8_t PRESENT_SPEED = 58;
inline constexpr std::uint8_t PRESENT_LOAD = 60;
inline constexpr std::uint8_t PRESENT_VOLTAGE = 62;
inline constexpr std::uint8_t PRESENT_TEMPERATURE = 63;

inline constexpr std::uint8_t kNominalVoltage = 120;  // 12.0 V
inline constexpr double kAmbientTemperature = 30.0;   // degrees Celsius
inline constexpr std::uint8_t kMaxTemperature = 70;   // the overheat limit a servo starts with
inline constexpr std::int16_t kCentrePosition = 2048;
inline constexpr std::int16_t kFullTurn = 4095;  // the largest position of one turn

// How a servo follows its goal: at up to `speed` steps per second, slowing down near the goal
// as its position loop does, with `time_constant` seconds. A speed of 0 reaches any goal at once.
struct Motion {
    double speed = 0.0;
    double time_constant = 0.0;
};
// Roughly a loaded SM40BL or STS3025BL at 12 V: 5.2 rad/s, 40 ms to close most of a small gap.
inline constexpr Motion kRealisticMotion{3400.0, 0.040};
inline constexpr Motion kInstantMotion{0.0, 0.0};

// Misbehaviour of one servo, applied to every answer it gives until changed.
struct ServoFaults {
    bool unpowered = false;                     // hears nothing, answers nothing
    std::chrono::microseconds answer_delay{0};  // extra wait before each answer
    bool corrupt_checksum = false;              // answers carry a wrong checksum
    std::optional<std::uint8_t> answer_id;      // answers carry this id instead of the servo's
    Bytes noise_before;                         // sent just before each answer
    std::size_t piece_size = 0;                 // > 0: answers go out in pieces of this size...
    std::chrono::microseconds piece_gap{0};     // ...separated by this gap
    std::size_t truncate_to = 0;                // > 0: only this many bytes of each answer go out
    bool duplicate = false;                     // each answer goes out twice, back to back
    bool answer_sync_write = false;             // sends an unsolicited status after a sync write
    std::uint8_t status_error = 0;              // error byte of its answers
};

struct SimulatorOptions {
    // Emulate the line at 1 Mbaud: 10 us per byte, answers after return_delay, one talker at once.
    bool wire_time = false;
    std::chrono::microseconds return_delay{20};
    // A partial packet is given up when no byte has come for this long, so garbage with a large
    // length byte cannot swallow the packets after it.
    std::chrono::microseconds partial_packet_timeout{std::chrono::milliseconds(5)};
    // How every servo added follows its goal; a simulator kinder than the robot hides bugs.
    Motion motion = kRealisticMotion;
};

class SimulatorError {
  public:
    explicit SimulatorError(std::string text) : text_(std::move(text)) {}
    [[nodiscard]] std::string message() const { return text_; }

  private:
    std::string text_;
};

class ServoBusSimulator {
  public:
    // Opens the pseudo-terminal and starts the bus thread. No servo is attached yet.
    [[nodiscard]] static std::expected<std::unique_ptr<ServoBusSimulator>, SimulatorError> start(
        SimulatorOptions options = {});
    // The robot's bus: SM40BL ids 1 to 4 and STS3025BL ids 5 to 7.
    [[nodiscard]] static std::expected<std::unique_ptr<ServoBusSimulator>, SimulatorError>
    start_robot_bus(SimulatorOptions options = {});

    ServoBusSimulator(const ServoBusSimulator&) = delete;
    ServoBusSimulator& operator=(const ServoBusSimulator&) = delete;
    ~ServoBusSimulator();

    // Joins the bus thread and closes the pseudo-terminal; idempotent.
    void stop();

    // The pseudo-terminal clients open now; a replug gives a new one.
    [[nodiscard]] std::string slave_path() const;

    // The line taken away as a vanished USB adapter takes it: the pseudo-terminal is closed, so
    // a client's writes and ioctls fail with EIO, its reads see end of input and poll reports a
    // hang-up. The servos keep their state, as servos on their own supply do; answers still on
    // their way are lost. False when already unplugged.
    bool unplug();
    // The line back, behind a new pseudo-terminal (slave_path() says which). False when it was
    // not unplugged or no pseudo-terminal could be made.
    bool replug();
    [[nodiscard]] bool plugged() const;

    // Servos. Registers start at: angle limits 0 and 4095 (the full turn), temperature limit 70,
    // torque off, gains 32/32/0, goal and present position 2048, voltage 120, temperature 30.
    // Goals are clamped to the angle limits when the maximum is above the minimum. Present
    // speed follows the motion and present load what the servo holds; the temperature rises
    // with the load and falls back toward 30 degrees, and at the limit or above the servo sets
    // its overheat bit (bit 2) in every answer, as a real one does. Adding an existing id resets
    // it.
    void add_servo(std::uint8_t id, ServoModel model);
    bool remove_servo(std::uint8_t id);
    [[nodiscard]] bool has_servo(std::uint8_t id) const;
    [[nodiscard]] std::optional<ServoModel> model(std::uint8_t id) const;

    // Register access as the servo itself sees it (writes to the goal start a move).
    [[nodiscard]] std::optional<Bytes> read_registers(std::uint8_t id, std::uint8_t address,
                                                      std::size_t length) const;
    bool write_registers(std::uint8_t id, std::uint8_t address, std::span<const std::uint8_t> data);
    // How much later than due the simulator put bytes on the line, at worst, since the last
    // call: its own thread's scheduling delay, which makes an answer later than it was meant.
    [[nodiscard]] std::chrono::microseconds take_delivery_lag();
    // When the simulator took in the last request, if it took one in since the last call.
    [[nodiscard]] std::optional<std::chrono::steady_clock::time_point> take_request_time();
    [[nodiscard]] std::optional<std::int16_t> present_position(std::uint8_t id) const;
    [[nodiscard]] std::optional<std::int16_t> goal_position(std::uint8_t id) const;
    // Places the servo at `raw` at once, goal included.
    bool set_position(std::uint8_t id, std::int16_t raw);
    // How it follows its goal from now on (the default comes from the options).
    bool set_motion(std::uint8_t id, Motion motion);
    // Only the speed: 0 makes the present position follow the goal at once.
    bool set_motion_speed(std::uint8_t id, double steps_per_second);
    // The load the servo holds against while its torque is on, in tenths of a percent of full
    // load (-1000 to 1000; default 0): an arm held out, a finger pushing back.
    bool set_external_load(std::uint8_t id, int permille);
    // Places its temperature (degrees Celsius); it goes on rising or cooling from there.
    bool set_temperature(std::uint8_t id, double celsius);
    // How long the servo stays silent after answering a reboot (default 50 ms).
    bool set_reboot_silence(std::uint8_t id, std::chrono::microseconds silence);

    // Faults.
    bool set_faults(std::uint8_t id, ServoFaults faults);
    [[nodiscard]] std::optional<ServoFaults> faults(std::uint8_t id) const;
    bool clear_faults(std::uint8_t id);
    bool set_unpowered(std::uint8_t id, bool unpowered);
    // The supply rises linearly from 0 to `nominal` over `duration`, starting now.
    bool start_voltage_ramp(std::uint8_t id, std::chrono::microseconds duration,
                            std::uint8_t nominal = kNominalVoltage);
    bool set_voltage(std::uint8_t id, std::uint8_t voltage);
    // Puts arbitrary bytes on the line after `delay`, as if a device had sent them.
    void inject(std::span<const std::uint8_t> bytes,
                std::chrono::microseconds delay = std::chrono::microseconds(0));

    // Everything the clients sent, in order.
    [[nodiscard]] Bytes received() const;
    void clear_received();
    // Waits until at least `count` bytes have been received since the last clear.
    [[nodiscard]] bool wait_for_received(std::size_t count,
                                         std::chrono::milliseconds timeout) const;
    // Valid instruction packets handled so far (also reset by clear_received).
    [[nodiscard]] std::size_t packets_handled() const;

  private:
    struct Servo;
    struct Transmission {
        Clock::time_point due;
        Bytes bytes;
    };

    ServoBusSimulator(int master_fd, int slave_fd, int wake_fd, std::string slave_path,
                      SimulatorOptions options);

    void run();
    void wake() const;
    Servo* find(std::uint8_t id);
    const Servo* find(std::uint8_t id) const;

    // Called with mutex_ held.
    void take_input(std::span<const std::uint8_t> bytes, Clock::time_point now);
    void parse_input(Clock::time_point now);
    void handle_packet(std::uint8_t id, std::uint8_t instruction,
                       std::span<const std::uint8_t> params, Clock::time_point now);
    // Schedules one servo's answer from `earliest` on; returns when the line is free again.
    Clock::time_point answer(Servo& servo, std::span<const std::uint8_t> data,
                             Clock::time_point earliest);
    void schedule(Clock::time_point due, Bytes bytes);
    [[nodiscard]] std::optional<Clock::time_point> next_deadline() const;
    void release_due(Clock::time_point now);
    void write_out();

    // The line, replaced by a replug: written only while the bus thread is stopped, under
    // plug_mutex_; slave_path_ also under mutex_, for slave_path().
    int master_fd_;
    int slave_fd_;  // held so that the master never sees a hang-up; never read
    const int wake_fd_;
    std::string slave_path_;
    mutable std::mutex plug_mutex_;
    const SimulatorOptions options_;

    mutable std::mutex mutex_;
    mutable std::condition_variable received_changed_;
    std::map<std::uint8_t, std::unique_ptr<Servo>> servos_;
    Bytes received_;
    std::size_t packets_handled_ = 0;
    Bytes input_;
    Clock::time_point last_input_{};
    std::vector<Transmission> scheduled_;  // ordered by due time, stable
    std::chrono::steady_clock::duration delivery_lag_{};
    std::optional<std::chrono::steady_clock::time_point> last_request_at_;
    Bytes output_;                         // released, not yet accepted by the master
    Clock::time_point line_free_{};
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace servosim
