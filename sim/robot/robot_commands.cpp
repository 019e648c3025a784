#include "robot_commands.h"

#include <dlfcn.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

namespace wenlo::sim {
namespace {

using std::chrono::microseconds;

std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char buf[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        text += buf;
    }
    return text;
}

std::optional<std::vector<std::uint8_t>> unhex(const std::string& text) {
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = text.substr(i, 2);
        const long value = std::strtol(pair.c_str(), &end, 16);
        if (end != pair.c_str() + 2) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return bytes;
}

std::optional<long long> integer(const std::string& text) {
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0') {
        return std::nullopt;
    }
    return value;
}

std::optional<double> number(const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0') {
        return std::nullopt;
    }
    return value;
}

std::optional<bool> on_off(const std::string& text) {
    if (text == "on") {
        return true;
    }
    if (text == "off") {
        return false;
    }
    return std::nullopt;
}

// Nanoseconds on CLOCK_MONOTONIC (the steady clock), the clock of Python's time.monotonic_ns();
// 0 for never.
long long monotonic_ns(const std::optional<std::chrono::steady_clock::time_point>& at) {
    if (!at) {
        return 0;
    }
    return std::chrono::duration_cast<std::chrono::nanoseconds>(at->time_since_epoch()).count();
}

std::string done(bool ok) { return ok ? "ok" : "error no such servo"; }

template <typename T>
std::string done(const damiaosim::Result<T>& result) {
    return result ? "ok" : "error " + result.error().message();
}

std::string servo_command(Robot& robot, const std::vector<std::string>& w) {
    // servo ID VERB [ARGS]
    if (w.size() < 3) {
        return "error usage: servo ID VERB [ARGS]";
    }
    const auto id_value = integer(w[1]);
    if (!id_value || *id_value < 0 || *id_value > 253) {
        return "error bad servo id";
    }
    const auto id = static_cast<std::uint8_t>(*id_value);
    servosim::ServoBusSimulator& bus = *robot.servos;
    const std::string& verb = w[2];
    const std::string arg = w.size() > 3 ? w[3] : "";
    auto faults = bus.faults(id);
    if (!faults && verb != "add") {
        return "error no such servo";
    }
    if (verb == "unpowered") {
        auto on = on_off(arg);
        return on ? done(bus.set_unpowered(id, *on)) : "error expected on or off";
    }
    if (verb == "voltage") {
        auto v = integer(arg);
        return v && *v >= 0 && *v <= 255 ? done(bus.set_voltage(id, static_cast<std::uint8_t>(*v)))
                                         : "error expected a voltage byte";
    }
    if (verb == "voltage_ramp") {  // milliseconds from 0 to the nominal 12.0 V
        auto ms = integer(arg);
        return ms && *ms >= 0 ? done(bus.start_voltage_ramp(id, std::chrono::milliseconds(*ms)))
                              : "error expected milliseconds";
    }
    if (verb == "position") {
        auto raw = integer(arg);
        return raw ? done(bus.set_position(id, static_cast<std::int16_t>(*raw)))
                   : "error expected a raw position";
    }
    if (verb == "motion_speed") {
        auto speed = number(arg);
        return speed ? done(bus.set_motion_speed(id, *speed)) : "error expected steps per second";
    }
    if (verb == "load") {  // tenths of a percent of full load it holds against, signed
        auto permille = integer(arg);
        return permille && *permille >= -1000 && *permille <= 1000
                   ? done(bus.set_external_load(id, static_cast<int>(*permille)))
                   : "error expected a load from -1000 to 1000";
    }
    if (verb == "temperature") {
        auto celsius = number(arg);
        return celsius ? done(bus.set_temperature(id, *celsius)) : "error expected degrees";
    }
    if (verb == "reboot_silence") {
        auto us = integer(arg);
        return us ? done(bus.set_reboot_silence(id, microseconds(*us)))
                  : "error expected microseconds";
    }
    if (verb == "get") {  // present and goal position, torque enable, voltage, temperature
        auto present = bus.present_position(id);
        auto goal = bus.goal_position(id);
        auto torque = bus.read_registers(id, servosim::TORQUE_ENABLE, 1);
        auto voltage = bus.read_registers(id, servosim::PRESENT_VOLTAGE, 2);
        if (!present || !goal || !torque || !voltage) {
            return "error no such servo";
        }
        return "ok present=" + std::to_string(*present) + " goal=" + std::to_string(*goal) +
               " torque=" + std::to_string((*torque)[0]) +
               " voltage=" + std::to_string((*voltage)[0]) +
               " temperature=" + std::to_string((*voltage)[1]);
    }
    if (verb == "read" && w.size() == 5) {
        auto address = integer(w[3]);
        auto length = integer(w[4]);
        if (!address || !length) {
            return "error expected address and length";
        }
        auto bytes = bus.read_registers(id, static_cast<std::uint8_t>(*address),
                                        static_cast<std::size_t>(*length));
        return bytes ? "ok " + hex(*bytes) : "error no such register range";
    }
    if (verb == "write" && w.size() == 5) {
        auto address = integer(w[3]);
        auto bytes = unhex(w[4]);
        if (!address || !bytes) {
            return "error expected address and hex bytes";
        }
        return done(bus.write_registers(id, static_cast<std::uint8_t>(*address), *bytes));
    }
    // The remaining verbs change one fault each.
    if (verb == "clear_faults") {
        return done(bus.clear_faults(id));
    }
    if (verb == "delay") {
        auto us = integer(arg);
        if (!us) {
            return "error expected microseconds";
        }
        faults->answer_delay = microseconds(*us);
    } else if (verb == "bad_checksum") {
        auto on = on_off(arg);
        if (!on) {
            return "error expected on or off";
        }
        faults->corrupt_checksum = *on;
    } else if (verb == "answer_id") {
        auto other = integer(arg);
        if (arg == "off") {
            faults->answer_id.reset();
        } else if (other && *other >= 0 && *other <= 255) {
            faults->answer_id = static_cast<std::uint8_t>(*other);
        } else {
            return "error expected an id or off";
        }
    } else if (verb == "noise") {
        auto bytes = unhex(arg == "off" ? "" : arg);
        if (!bytes) {
            return "error expected hex bytes or off";
        }
        faults->noise_before = *bytes;
    } else if (verb == "pieces" && w.size() == 5) {
        auto size = integer(w[3]);
        auto gap = integer(w[4]);
        if (!size || !gap) {
            return "error expected size and gap";
        }
        faults->piece_size = static_cast<std::size_t>(*size);
        faults->piece_gap = microseconds(*gap);
    } else if (verb == "answer_sync_write") {
        auto on = on_off(arg);
        if (!on) {
            return "error expected on or off";
        }
        faults->answer_sync_write = *on;
    } else if (verb == "status_error") {
        auto code = integer(arg);
        if (!code) {
            return "error expected an error byte";
        }
        faults->status_error = static_cast<std::uint8_t>(*code);
    } else {
        return "error unknown servo command '" + verb + "'";
    }
    return done(bus.set_faults(id, *faults));
}

std::string motor_command(Robot& robot, const std::vector<std::string>& w) {
    // motor ID VERB [ARGS]; ID is the motor_id (1 yaw, 2 pitch, 3 roll)
    if (w.size() < 3) {
        return "error usage: motor ID VERB [ARGS]";
    }
    const auto id_value = integer(w[1]);
    if (!id_value || *id_value < 0 || *id_value > 0x7FF) {
        return "error bad motor id";
    }
    const auto id = static_cast<std::uint16_t>(*id_value);
    damiaosim::MotorBus& bus = *robot.motors;
    const std::string& verb = w[2];
    const std::string arg = w.size() > 3 ? w[3] : "";
    if (verb == "connected") {
        auto on = on_off(arg);
        return on ? done(bus.set_connected(id, *on)) : "error expected on or off";
    }
    if (verb == "delay") {
        auto us = integer(arg);
        return us ? done(bus.set_reply_delay(id, microseconds(*us))) : "error expected microseconds";
    }
    if (verb == "stuck_mode") {
        if (arg == "off") {
            return done(bus.set_stuck_mode(id, std::nullopt));
        }
        auto mode = integer(arg);
        return mode ? done(bus.set_stuck_mode(id, static_cast<std::uint32_t>(*mode)))
                    : "error expected a mode or off";
    }
    if (verb == "short_reply") {
        auto bytes = integer(arg);
        return bytes ? done(bus.set_short_reply(id, static_cast<std::size_t>(*bytes)))
                     : "error expected a byte count";
    }
    if (verb == "position") {
        auto rad = number(arg);
        return rad ? done(bus.set_position(id, *rad)) : "error expected radians";
    }
    if (verb == "power_cycle") {
        auto rad = number(arg);
        return rad ? done(bus.power_cycle(id, *rad)) : "error expected radians";
    }
    if (verb == "error_code") {  // the fault nibble of its replies, e.g. 11 (MOS overheat)
        if (arg == "off") {
            return done(bus.set_error_code(id, std::nullopt));
        }
        auto code = integer(arg);
        return code && *code >= 0 && *code <= 15
                   ? done(bus.set_error_code(id, static_cast<std::uint8_t>(*code)))
                   : "error expected a code from 0 to 15 or off";
    }
    if (verb == "temperatures" && w.size() == 5) {  // MOS and rotor, degrees Celsius
        auto mos = number(w[3]);
        auto rotor = number(w[4]);
        return mos && rotor ? done(bus.set_temperatures(id, *mos, *rotor))
                            : "error expected MOS and rotor degrees";
    }
    if (verb == "state") {
        auto s = bus.snapshot(id);
        if (!s) {
            return "error " + s.error().message();
        }
        std::ostringstream out;
        out.precision(17);
        out << "ok position=" << s->position << " velocity=" << s->velocity
            << " enabled=" << (s->enabled ? 1 : 0) << " mode=" << s->mode
            << " mit_commands=" << s->mit_commands << " enables=" << s->enables
            << " disables=" << s->disables << " feedback_requests=" << s->feedback_requests
            << " register_reads=" << s->register_reads
            << " register_writes=" << s->register_writes
            << " frames_received=" << s->frames_received
            << " mos_temperature=" << s->mos_temperature
            << " rotor_temperature=" << s->rotor_temperature
            << " error_code=" << int{s->error_code} << " timeout=" << s->timeout
            << " watchdog_trips=" << s->watchdog_trips
            << " last_feed_at=" << monotonic_ns(s->last_feed_at)
            << " tripped_at=" << monotonic_ns(s->tripped_at);
        if (s->last_command) {
            out << " cmd_position=" << s->last_command->position
                << " cmd_kp=" << s->last_command->kp << " cmd_kd=" << s->last_command->kd;
        }
        return out.str();
    }
    return "error unknown motor command '" + verb + "'";
}

// serial unplug | replug: the USB adapter pulled out and plugged back. The link goes with the
// line and comes back pointing at the new one, as udev's by-id links do.
std::string serial_command(Robot& robot, const std::vector<std::string>& w) {
    if (w.size() != 2) {
        return "error usage: serial unplug|replug";
    }
    if (w[1] == "unplug") {
        if (!robot.servos->unplug()) {
            return "error already unplugged";
        }
        if (!robot.serial_link.empty()) {
            ::unlink(robot.serial_link.c_str());
        }
        return "ok";
    }
    if (w[1] == "replug") {
        if (!robot.servos->replug()) {
            return "error not unplugged, or no pseudo-terminal";
        }
        if (auto failed = point_serial_link(robot)) {
            return "error " + *failed;
        }
        return "ok " + robot.servos->slave_path();
    }
    return "error usage: serial unplug|replug";
}

std::string can_command(Robot& robot, const std::vector<std::string>& w) {
    // can unplug|replug: the interface's USB adapter pulled out and plugged back. The motors
    // stay on the bus; a program's socket is cut off and must be opened again.
    if (w.size() == 2 && (w[1] == "unplug" || w[1] == "replug")) {
        using SetPresence = int (*)(const char*, int);
        const auto set_presence =
            reinterpret_cast<SetPresence>(dlsym(RTLD_DEFAULT, "wenlo_fakecan_set_presence"));
        if (set_presence == nullptr) {
            return "error the CAN stand-in is not loaded (on a real vcan: ip link del and add)";
        }
        if (set_presence(robot.iface.c_str(), w[1] == "replug" ? 1 : 0) != 0) {
            return "error " + std::string(std::strerror(errno));
        }
        return "ok";
    }
    // can down|up, can ack off|on: the link of the robot's interface, through the stand-in
    using SetLink = int (*)(const char*, int, int);
    const auto set_link =
        reinterpret_cast<SetLink>(dlsym(RTLD_DEFAULT, "wenlo_fakecan_set_link"));
    if (set_link == nullptr) {
        return "error the CAN stand-in is not loaded (on a real interface: ip link set)";
    }
    int up = -1;
    int ack = -1;
    if (w.size() == 2 && (w[1] == "down" || w[1] == "up")) {
        up = w[1] == "up" ? 1 : 0;
    } else if (w.size() == 3 && w[1] == "ack" && on_off(w[2])) {
        ack = *on_off(w[2]) ? 1 : 0;
    } else {
        return "error usage: can down|up, can ack off|on, can unplug|replug";
    }
    if (set_link(robot.iface.c_str(), up, ack) != 0) {
        return "error " + std::string(std::strerror(errno));
    }
    return "ok";
}

}  // namespace

std::optional<std::string> point_serial_link(const Robot& robot) {
    if (robot.serial_link.empty()) {
        return std::nullopt;
    }
    const std::string fresh = robot.serial_link + ".new";
    ::unlink(fresh.c_str());
    if (::symlink(robot.servos->slave_path().c_str(), fresh.c_str()) != 0 ||
        ::rename(fresh.c_str(), robot.serial_link.c_str()) != 0) {
        return "serial link '" + robot.serial_link + "': " + std::strerror(errno);
    }
    return std::nullopt;
}

std::optional<damiaosim::WatchdogFeeds> watchdog_feeds(const std::string& name) {
    if (name == "any") {
        return damiaosim::WatchdogFeeds::Any;
    }
    if (name == "control") {
        return damiaosim::WatchdogFeeds::Control;
    }
    return std::nullopt;
}

std::string watchdog_feeds_name(damiaosim::WatchdogFeeds feeds) {
    return feeds == damiaosim::WatchdogFeeds::Any ? "any" : "control";
}

std::string run_command(Robot& robot, const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string word; in >> word;) {
        w.push_back(word);
    }
    if (w.empty()) {
        return "error empty command";
    }
    if (w[0] == "servo") {
        return servo_command(robot, w);
    }
    if (w[0] == "motor") {
        return motor_command(robot, w);
    }
    if (w[0] == "serial") {
        return serial_command(robot, w);
    }
    if (w[0] == "can") {
        return can_command(robot, w);
    }
    if (w[0] == "received") {
        // Every byte the servos heard since the last clear, in hex; with MIN, first waits (up
        // to 2 s) until that many have arrived, since a client's write returns before the
        // simulator has read it. Without MIN it waits 20 ms so that stragglers are counted.
        if (w.size() == 2) {
            auto min = integer(w[1]);
            if (!min || *min < 0) {
                return "error expected a byte count";
            }
            (void)robot.servos->wait_for_received(static_cast<std::size_t>(*min),
                                                  std::chrono::milliseconds(2000));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return "ok " + hex(robot.servos->received());
    }
    if (w[0] == "clear_received") {
        robot.servos->clear_received();
        return "ok";
    }
    if (w[0] == "inject" && w.size() == 2) {
        auto bytes = unhex(w[1]);
        if (!bytes) {
            return "error expected hex bytes";
        }
        robot.servos->inject(*bytes);
        return "ok";
    }
    if (w[0] == "can_frames") {  // CAN frames heard by the motors: ID#HEX, oldest first
        std::string text = "ok";
        for (const auto& frame : robot.motors->received_frames()) {
            char id[16];
            std::snprintf(id, sizeof id, "%03X", frame.can_id & 0x1FFFFFFFu);
            text += " " + std::string(id) + "#" + hex(frame.data);
        }
        return text;
    }
    if (w[0] == "can_frames_timed") {  // the same with @NS: when it went on the bus, CLOCK_MONOTONIC
        std::string text = "ok";
        for (const auto& frame : robot.motors->received_frames()) {
            char id[16];
            std::snprintf(id, sizeof id, "%03X", frame.can_id & 0x1FFFFFFFu);
            text += " " + std::string(id) + "#" + hex(frame.data) + "@" +
                    std::to_string(monotonic_ns(frame.at));
        }
        return text;
    }
    if (w[0] == "neck_watchdog_feeds" && w.size() <= 2) {
        // Which frames restart the neck motors' time-out; without an argument, says which.
        if (w.size() == 2) {
            auto feeds = watchdog_feeds(w[1]);
            if (!feeds) {
                return "error expected any or control";
            }
            robot.motors->set_watchdog_feeds(*feeds);
        }
        return "ok " + watchdog_feeds_name(robot.motors->watchdog_feeds());
    }
    if (w[0] == "clear_can") {
        robot.motors->clear_log();
        return "ok";
    }
    if (w[0] == "chatter" && w.size() == 2) {
        auto on = on_off(w[1]);
        if (!on) {
            return "error expected on or off";
        }
        if (*on) {
            robot.motors->start_chatter({0x123, 0x456, 0x011}, microseconds(2000));
        } else {
            robot.motors->stop_chatter();
        }
        return "ok";
    }
    return "error unknown command '" + w[0] + "'";
}

}  // namespace wenlo::sim
