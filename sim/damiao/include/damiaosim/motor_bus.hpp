// Simulated Damiao motors on a CAN bus.
//
// A MotorBus is one ordinary SocketCAN node (a raw socket bound to the interface) that answers
// for any number of motors, each with its own ids, MIT ranges, register table, enable state and
// impedance dynamics, on a thread of its own. It runs unchanged on a real vcan interface and on
// the LD_PRELOAD stand-in. Faults can be switched on and off from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace damiaosim {

// The five fields of an MIT command, in the order its frame carries them.
struct MitFields {
    float position = 0;
    float velocity = 0;
    float kp = 0;
    float kd = 0;
    float torque = 0;
};

// One MIT command as the motor decoded it.
using MitSetpoint = MitFields;

// The motor's MIT mapping ranges: the largest magnitude of each field. PMAX, VMAX and TMAX
// start from these values.
using MitRanges = MitFields;
inline constexpr MitRanges kDefaultMitRanges{12.5f, 30.0f, 500.0f, 5.0f, 10.0f};

struct MotorConfig {
    std::uint16_t motor_id = 1;   // receives on this id (ESC_ID)
    std::uint16_t master_id = 1;  // answers from this id (MST_ID)
    MitRanges ranges = kDefaultMitRanges;
    double start_position = 0.0;  // rad, multi-turn
    double inertia = 0.01;        // seen at the output shaft
    double damping = 0.05;        // viscous friction, torque per rad/s
    bool connected = true;        // false: absent from the bus, never answers
};

// Which frames restart a motor's communication time-out (register 9, TIMEOUT). The maker does
// not say, so the simulation offers both: only control frames (enable, MIT and the other
// control modes' commands), or every frame addressed to the motor.
enum class WatchdogFeeds { Control, Any };

struct MotorSnapshot {
    double position = 0;  // rad, multi-turn
    double velocity = 0;
    double torque = 0;
    bool enabled = false;
    std::uint32_t mode = 1;  // the CTRL_MODE the motor reports
    std::optional<MitSetpoint> last_command;
    std::uint64_t frames_received = 0;  // frames addressed to this motor
    std::uint64_t mit_commands = 0;
    std::uint64_t feedback_requests = 0;
    std::uint64_t register_reads = 0;
    std::uint64_t register_writes = 0;
    std::uint64_t enables = 0;
    std::uint64_t disables = 0;
    std::uint64_t replies_sent = 0;
    double mos_temperature = 0;    // degrees Celsius, as its replies report them
    double rotor_temperature = 0;
    std::uint8_t error_code = 0;   // the error nibble its state frames carry now
    std::uint32_t timeout = 0;     // register 9, in 50 us units; 0: off
    std::uint64_t watchdog_trips = 0;
    // The last frame that restarted the time-out, and the moment the bus stopped the motor for
    // it, on the steady clock (CLOCK_MONOTONIC); nullopt if never.
    std::optional<std::chrono::steady_clock::time_point> last_feed_at;
    std::optional<std::chrono::steady_clock::time_point> tripped_at;
};

// A frame the bus heard (from other nodes; its own replies are not heard).
struct BusFrame {
    std::uint32_t can_id = 0;  // as on the socket: flags in the top bits
    std::vector<std::uint8_t> data;
    bool fd = false;
    std::chrono::steady_clock::time_point at;
};

class SimError {
  public:
    explicit SimError(std::string text, int os_error = 0);
    [[nodiscard]] std::string message() const;
    [[nodiscard]] int os_error() const { return os_error_; }

  private:
    std::string text_;
    int os_error_;
};

template <typename T>
using Result = std::expected<T, SimError>;

class MotorBus {
  public:
    // Opens and binds the socket; the bus answers once start() has run.
    [[nodiscard]] static Result<std::unique_ptr<MotorBus>> open(const std::string& iface,
                                                                std::vector<MotorConfig> motors);
    ~MotorBus();
    MotorBus(const MotorBus&) = delete;
    MotorBus& operator=(const MotorBus&) = delete;

    [[nodiscard]] Result<void> start();
    void stop();  // joins the thread; start() may run again
    [[nodiscard]] bool running() const;

    // Faults, per motor (by motor_id). Each fails only for an unknown motor id.
    [[nodiscard]] Result<void> set_connected(std::uint16_t motor_id, bool connected);
    [[nodiscard]] Result<void> set_reply_delay(std::uint16_t motor_id, std::chrono::microseconds d);
    // Refuses every CTRL_MODE write and reports `reported`; nullopt restores normal behaviour.
    [[nodiscard]] Result<void> set_stuck_mode(std::uint16_t motor_id,
                                              std::optional<std::uint32_t> reported);
    // State frames carry only the first `bytes` bytes (8: normal).
    [[nodiscard]] Result<void> set_short_reply(std::uint16_t motor_id, std::size_t bytes);
    // The error nibble of state frames; nullopt: 1 when enabled, 0 when disabled.
    [[nodiscard]] Result<void> set_error_code(std::uint16_t motor_id,
                                              std::optional<std::uint8_t> code);
    [[nodiscard]] Result<void> set_position(std::uint16_t motor_id, double position);
    // Places the MOS and rotor temperatures (degrees Celsius); they go on from there. They
    // start at 35 and 30 and settle higher in proportion to the torque, over half a minute.
    [[nodiscard]] Result<void> set_temperatures(std::uint16_t motor_id, double mos, double rotor);
    // Disabled, at rest at `position`, without a fault of its own; registers keep their values,
    // as the motor's flash does, except TIMEOUT, which lives in RAM: it comes back as last saved
    // (0xAA), 0 if never.
    [[nodiscard]] Result<void> power_cycle(std::uint16_t motor_id, double position);

    [[nodiscard]] Result<MotorSnapshot> snapshot(std::uint16_t motor_id) const;
    [[nodiscard]] Result<std::uint32_t> register_word(std::uint16_t motor_id,
                                                      std::uint8_t reg) const;

    // Which frames feed the motors' communication time-out (Control unless set).
    void set_watchdog_feeds(WatchdogFeeds feeds);
    [[nodiscard]] WatchdogFeeds watchdog_feeds() const;

    // A stream of frames from ids the motors do not use, one id after another.
    void start_chatter(std::vector<std::uint32_t> ids, std::chrono::microseconds period);
    void stop_chatter();
    // Sends one frame from this node (standard id unless CAN_EFF_FLAG is set in can_id).
    [[nodiscard]] Result<void> inject(std::uint32_t can_id, std::span<const std::uint8_t> data);

    // Wire time of classic CAN at 1 Mbit/s: one frame on the bus at a time, each taking its
    // bits (stuffing counted), and a motor answering `processing` after the request's last bit.
    // Off by default: then answers go out as soon as the request is read.
    void set_wire_time(bool on, std::chrono::microseconds processing = kMotorProcessing);
    static constexpr std::chrono::microseconds kMotorProcessing{30};

    [[nodiscard]] std::vector<BusFrame> received_frames() const;  // the last 10000, oldest first
    [[nodiscard]] std::uint64_t frame_count() const;
    void clear_log();

    struct Impl;

  private:
    explicit MotorBus(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace damiaosim
