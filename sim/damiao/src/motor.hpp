// One simulated motor: registers, enable state, commands and dynamics. No I/O and no lock;
// the bus that owns it serialises every call.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>

#include "damiaosim/motor_bus.hpp"
#include "protocol.hpp"

namespace damiaosim {

struct OutFrame {
    std::uint16_t id = 0;
    protocol::Payload data{};
    std::uint8_t len = 8;
};

class SimMotor {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;

    explicit SimMotor(const MotorConfig& config);

    std::uint16_t motor_id() const { return config_.motor_id; }
    std::uint16_t master_id() const { return config_.master_id; }

    // Whether a frame with this standard id and payload is addressed to this motor.
    bool addressed(std::uint16_t id, const std::uint8_t* data, std::size_t len) const;
    // Handles a frame addressed to it, heard at `heard`; returns the answer, if any.
    std::optional<OutFrame> handle(std::uint16_t id, const protocol::Payload& data,
                                   TimePoint heard, WatchdogFeeds feeds);
    void step(double dt);

    // Communication time-out: when the motor leaves its enabled state unless a frame feeds it
    // first; nullopt while it cannot (disabled, or TIMEOUT 0).
    std::optional<TimePoint> watchdog_deadline() const;
    // Trips if the deadline is at or before `at`, recording `now` as the moment it stopped.
    void check_watchdog(TimePoint at, TimePoint now);

    MotorSnapshot snapshot() const;
    std::optional<std::uint32_t> register_word(std::uint8_t reg) const;

    // Faults.
    bool connected = true;
    std::chrono::microseconds reply_delay{0};
    std::optional<std::uint32_t> stuck_mode;
    std::size_t reply_bytes = 8;
    std::optional<std::uint8_t> error_code;
    double mos_temperature = 35;
    double rotor_temperature = 30;

    void set_position(double position);
    void power_cycle(double position);

  private:
    enum class Drive { None, Mit, PosVel, Vel };

    void heat(double dt);
    MitRanges live_ranges() const;
    float reg_float(std::uint8_t reg) const;
    std::uint32_t mode() const;
    OutFrame state_frame() const;
    OutFrame register_frame(std::uint8_t code, std::uint8_t reg) const;
    std::uint8_t error_nibble() const;
    static bool feeds_watchdog(std::uint16_t id, std::uint16_t base, const protocol::Payload& d,
                               WatchdogFeeds feeds);

    MotorConfig config_;
    std::array<std::uint32_t, protocol::kRegisterSlots> regs_{};
    double position_;
    double velocity_ = 0;
    double torque_ = 0;
    bool enabled_ = false;
    Drive drive_ = Drive::None;
    MitSetpoint mit_{};
    std::optional<MitSetpoint> last_mit_;
    float target_position_ = 0;  // position-velocity mode
    float target_velocity_ = 0;  // position-velocity and velocity modes
    MotorSnapshot counters_{};
    // TIMEOUT lives in RAM: a power cycle brings back what the save command (0xAA) stored.
    std::uint32_t saved_timeout_ = 0;
    bool comm_lost_ = false;  // tripped; cleared by the next enable
    std::optional<TimePoint> last_feed_;
    std::optional<TimePoint> tripped_at_;
};

}  // namespace damiaosim
