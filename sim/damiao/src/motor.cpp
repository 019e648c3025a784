#include "motor.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace damiaosim {
namespace {

std::uint32_t float_word(float f) {
    return std::bit_cast<std::uint32_t>(f);
}

float le_float(const std::uint8_t* p) {
    std::uint32_t w = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
    return std::bit_cast<float>(w);
}

bool is_motor_command(const protocol::Payload& d, std::uint8_t code) {
    for (int i = 0; i < 7; ++i) {
        if (d[i] != 0xFF)
            return false;
    }
    return d[7] == code;
}

}  // namespace

SimMotor::SimMotor(const MotorConfig& config)
    : connected(config.connected), config_(config), position_(config.start_position) {
    for (std::uint8_t reg = 0; reg < protocol::kRegisterSlots; ++reg) {
        auto def = protocol::register_default(reg);
        if (!def)
            continue;
        regs_[reg] =
            def->is_float ? float_word(def->value) : static_cast<std::uint32_t>(def->value);
    }
    regs_[protocol::kMstId] = config.master_id;
    regs_[protocol::kEscId] = config.motor_id;
    regs_[protocol::kPmax] = float_word(config.ranges.position);
    regs_[protocol::kVmax] = float_word(config.ranges.velocity);
    regs_[protocol::kTmax] = float_word(config.ranges.torque);
}

bool SimMotor::addressed(std::uint16_t id, const std::uint8_t* data, std::size_t len) const {
    if (!connected || len != 8)
        return false;  // the firmware ignores short frames
    if (id == protocol::kManagementId) {
        return (data[0] | (data[1] << 8)) == config_.motor_id;
    }
    std::uint16_t base = config_.motor_id;
    return id == base || id == ((base + 0x100) & 0x7FF) || id == ((base + 0x200) & 0x7FF) ||
           id == ((base + 0x300) & 0x7FF);
}

bool SimMotor::feeds_watchdog(std::uint16_t id, std::uint16_t base, const protocol::Payload& d,
                              WatchdogFeeds feeds) {
    if (feeds == WatchdogFeeds::Any)
        return true;
    if (id == protocol::kManagementId)
        return false;
    if (id != base)
        return true;  // position-velocity, velocity and force-position commands
    // On the motor's own id: enable and MIT commands, not disable, set zero or clear error.
    return is_motor_command(d, protocol::kEnable) ||
           !(is_motor_command(d, protocol::kDisable) || is_motor_command(d, protocol::kSetZero) ||
             is_motor_command(d, protocol::kClearError));
}

std::optional<OutFrame> SimMotor::handle(std::uint16_t id, const protocol::Payload& d,
                                         TimePoint heard, WatchdogFeeds feeds) {
    ++counters_.frames_received;
    std::uint16_t base = config_.motor_id;
    if (feeds_watchdog(id, base, d, feeds))
        last_feed_ = heard;
    if (id == protocol::kManagementId) {
        std::uint8_t reg = d[3];
        auto def = protocol::register_default(reg);
        switch (d[2]) {
            case protocol::kRequestFeedback:
                ++counters_.feedback_requests;
                return state_frame();
            case protocol::kReadRegister:
                ++counters_.register_reads;
                if (!def)
                    return std::nullopt;
                return register_frame(protocol::kReadRegister, reg);
            case protocol::kWriteRegister: {
                ++counters_.register_writes;
                if (!def)
                    return std::nullopt;
                std::uint32_t value =
                    d[4] | (d[5] << 8) | (d[6] << 16) | (static_cast<std::uint32_t>(d[7]) << 24);
                if (def->writable) {
                    if (reg != protocol::kCtrlMode) {
                        regs_[reg] = value;
                    } else if (!stuck_mode && value >= 1 && value <= 4) {
                        regs_[reg] = value;
                        drive_ = Drive::None;
                    }
                }
                // The answer echoes what the register now holds.
                return register_frame(protocol::kWriteRegister, reg);
            }
            case protocol::kSaveRegisters:
                saved_timeout_ = regs_[protocol::kTimeout];
                return std::nullopt;
            default:
                return std::nullopt;  // save and unknown codes: no answer
        }
    }
    if (id == base) {
        if (is_motor_command(d, protocol::kEnable)) {
            ++counters_.enables;
            enabled_ = true;
            comm_lost_ = false;
            return state_frame();
        }
        if (is_motor_command(d, protocol::kDisable)) {
            ++counters_.disables;
            enabled_ = false;
            drive_ = Drive::None;
            return state_frame();
        }
        if (is_motor_command(d, protocol::kSetZero)) {
            position_ = 0;
            return state_frame();
        }
        if (is_motor_command(d, protocol::kClearError)) {
            error_code.reset();
            return state_frame();
        }
        ++counters_.mit_commands;
        MitSetpoint cmd = protocol::decode_mit(live_ranges(), d);
        last_mit_ = cmd;
        if (enabled_ && mode() == 1) {
            mit_ = cmd;
            drive_ = Drive::Mit;
        }
        return state_frame();
    }
    if (id == ((base + 0x100) & 0x7FF) && enabled_ && mode() == 2) {
        target_position_ = le_float(d.data());
        target_velocity_ = std::fabs(le_float(d.data() + 4));
        drive_ = Drive::PosVel;
    } else if (id == ((base + 0x200) & 0x7FF) && enabled_ && mode() == 3) {
        target_velocity_ = le_float(d.data());
        drive_ = Drive::Vel;
    }
    return state_frame();
}

// Each temperature settles above its resting value in proportion to the share of the maximum
// torque the motor gives (the rotor more than the MOS), with half a minute's lag.
void SimMotor::heat(double dt) {
    const double t_max = std::max(1e-6, static_cast<double>(live_ranges().torque));
    const double share = std::min(1.0, std::fabs(torque_) / t_max);
    const double approach = 1.0 - std::exp(-dt / 30.0);
    mos_temperature += (35.0 + 25.0 * share - mos_temperature) * approach;
    rotor_temperature += (30.0 + 60.0 * share - rotor_temperature) * approach;
}

void SimMotor::step(double dt) {
    heat(dt);
    if (!enabled_ || drive_ == Drive::None) {
        // Free shaft: friction brings it to rest.
        torque_ = 0;
        velocity_ -= velocity_ * std::min(1.0, config_.damping / config_.inertia * dt);
        position_ += velocity_ * dt;
        return;
    }
    const MitRanges r = live_ranges();
    if (drive_ == Drive::Mit) {
        double tau = mit_.kp * (mit_.position - position_) + mit_.kd * (mit_.velocity - velocity_) +
                     mit_.torque;
        tau = std::clamp(tau, -static_cast<double>(r.torque), static_cast<double>(r.torque));
        torque_ = tau;
        velocity_ += (tau - config_.damping * velocity_) / config_.inertia * dt;
        const auto top_speed = static_cast<double>(r.velocity);
        velocity_ = std::clamp(velocity_, -top_speed, top_speed);
        position_ += velocity_ * dt;
        return;
    }
    if (drive_ == Drive::Vel) {
        velocity_ = target_velocity_;
        position_ += velocity_ * dt;
        return;
    }
    // Position-velocity mode: travel at the commanded speed and stop on the target.
    double err = target_position_ - position_;
    double stride = target_velocity_ * dt;
    if (std::fabs(err) <= stride) {
        position_ = target_position_;
        velocity_ = 0;
    } else {
        velocity_ = std::copysign(target_velocity_, err);
        position_ += velocity_ * dt;
    }
}

std::optional<SimMotor::TimePoint> SimMotor::watchdog_deadline() const {
    const std::uint32_t timeout = regs_[protocol::kTimeout];
    if (!enabled_ || timeout == 0)
        return std::nullopt;
    // Enabling feeds it, so an enabled motor has been fed at least once.
    return last_feed_.value_or(TimePoint{}) + timeout * protocol::kTimeoutUnit;
}

void SimMotor::check_watchdog(TimePoint at, TimePoint now) {
    const auto deadline = watchdog_deadline();
    if (!deadline || *deadline > at)
        return;
    // It stops as disable stops it, and says why until it is enabled again.
    enabled_ = false;
    drive_ = Drive::None;
    comm_lost_ = true;
    tripped_at_ = now;
    ++counters_.watchdog_trips;
}

MotorSnapshot SimMotor::snapshot() const {
    MotorSnapshot s = counters_;
    s.position = position_;
    s.velocity = velocity_;
    s.torque = torque_;
    s.enabled = enabled_;
    s.mode = mode();
    s.last_command = last_mit_;
    s.mos_temperature = mos_temperature;
    s.rotor_temperature = rotor_temperature;
    s.error_code = error_nibble();
    s.timeout = regs_[protocol::kTimeout];
    s.last_feed_at = last_feed_;
    s.tripped_at = tripped_at_;
    return s;
}

std::optional<std::uint32_t> SimMotor::register_word(std::uint8_t reg) const {
    auto def = protocol::register_default(reg);
    if (!def)
        return std::nullopt;
    if (reg == protocol::kCtrlMode)
        return mode();
    if (reg == protocol::kPosOutput)
        return float_word(static_cast<float>(position_));
    if (reg == protocol::kPosMotor) {
        return float_word(static_cast<float>(position_) * reg_float(0x14));
    }
    return regs_[reg];
}

void SimMotor::set_position(double position) {
    position_ = position;
    velocity_ = 0;
}

void SimMotor::power_cycle(double position) {
    set_position(position);
    enabled_ = false;
    drive_ = Drive::None;
    torque_ = 0;
    comm_lost_ = false;
    regs_[protocol::kTimeout] = saved_timeout_;
}

MitRanges SimMotor::live_ranges() const {
    return MitRanges{reg_float(protocol::kPmax), reg_float(protocol::kVmax), config_.ranges.kp,
                     config_.ranges.kd, reg_float(protocol::kTmax)};
}

float SimMotor::reg_float(std::uint8_t reg) const {
    return std::bit_cast<float>(regs_[reg]);
}

std::uint32_t SimMotor::mode() const {
    return stuck_mode ? *stuck_mode : regs_[protocol::kCtrlMode];
}

// An injected fault code wins over the motor's own state.
std::uint8_t SimMotor::error_nibble() const {
    if (error_code)
        return *error_code & 0x0F;
    if (comm_lost_)
        return protocol::kCommLost;
    return enabled_ ? 1 : 0;
}

OutFrame SimMotor::state_frame() const {
    const std::uint8_t err = error_nibble();
    const auto celsius = [](double t) {
        return static_cast<std::uint8_t>(std::clamp(std::lround(t), 0L, 255L));
    };
    OutFrame f;
    f.id = config_.master_id & 0x7FF;
    f.data = protocol::encode_state(
        live_ranges(),
        protocol::StateFields{position_, velocity_, torque_, static_cast<std::uint8_t>(err & 0x0F),
                              static_cast<std::uint8_t>(config_.motor_id & 0x0F),
                              celsius(mos_temperature), celsius(rotor_temperature)});
    f.len = static_cast<std::uint8_t>(std::min<std::size_t>(reply_bytes, 8));
    return f;
}

OutFrame SimMotor::register_frame(std::uint8_t code, std::uint8_t reg) const {
    std::uint32_t v = register_word(reg).value_or(0);
    OutFrame f;
    f.id = config_.master_id & 0x7FF;
    f.data = protocol::Payload{static_cast<std::uint8_t>(config_.motor_id & 0xFF),
                               static_cast<std::uint8_t>(config_.motor_id >> 8),
                               code,
                               reg,
                               static_cast<std::uint8_t>(v),
                               static_cast<std::uint8_t>(v >> 8),
                               static_cast<std::uint8_t>(v >> 16),
                               static_cast<std::uint8_t>(v >> 24)};
    return f;
}

}  // namespace damiaosim
