// What each joint last reported, and whether it answers: kept by the controller from the answers
// it reads anyway (the servos' error bytes, the neck motors' replies), so that it costs nothing
// on the wire. A telemetry read adds what the servos report only when asked: speed, load,
// voltage and temperature. Faults are reported, never acted upon.
#pragma once

#include "candrive/damiao/mit.hpp"
#include "controller/layout.h"
#include "serialbus/feetech_protocol/protocol_handler.hpp"
#include "serialbus/servo/feetech/common.hpp"

#include <array>
#include <bitset>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace wenlo::controller {

// Faults by their stable names: the servos' error bits, then the neck motors' fault codes, then
// a neck motor that reports itself disabled while the controller believes it enabled (it lost
// power and came back).
inline constexpr std::array<std::string_view, 11> kFaultNames = {
    "voltage",     "angle",        "overheat",     "overcurrent",    "overload",
    "overvoltage", "undervoltage", "mos_overheat", "rotor_overheat", "comm_lost",
    "disabled"};
using FaultSet = std::uint16_t;  // bit i: kFaultNames[i]

// The names of a set, in the order of kFaultNames.
std::vector<std::string_view> fault_names(FaultSet faults);

struct JointReport {
    std::optional<double> position;     // rad
    std::optional<double> velocity;     // rad/s
    std::optional<double> effort;       // servos: fraction of full load; neck: torque
    std::optional<double> temperature;  // degrees Celsius; the neck's hotter of MOS and rotor
    std::optional<double> voltage;      // V, servos only
    FaultSet faults = 0;
    std::optional<std::chrono::steady_clock::time_point> last_answer;
    std::uint32_t failures = 0;  // consecutive exchanges it did not answer
};

// One report per joint of the layout, in its order.
using HealthReport = std::array<JointReport, kJoints.size()>;

// One joint's health as a program reads it: its report with the faults by name, and the seconds
// since it last answered (inf if it never has) at the moment the view was taken.
struct JointHealth {
    std::string name;
    std::optional<double> position, velocity, effort, temperature, voltage;
    std::vector<std::string> faults;
    double age;
    std::uint32_t failures;
};

// Every joint's health by name, now, in layout order: the seven servos (unless there is no
// serial port), then the neck.
std::vector<std::pair<std::string, JointHealth>> health_by_name(const HealthReport& report,
                                                                bool servos);

class HealthTracker final : public serialbus::feetech_protocol::AnswerObserver {
public:
    // Every status packet of the serial bus, through the protocol handler.
    void answered(std::uint8_t id, std::span<const std::uint8_t> error_codes) override;
    void not_answered(std::uint8_t id) override;

    void servo_positions(std::span<const double, 7> positions);
    void servo_telemetry(std::size_t joint, const serialbus::servo::feetech::common::Telemetry& t);
    // `believed_enabled`: the program's last enable of this motor was answered, and no disable
    // was asked since.
    void neck_answered(std::size_t neck_index, const candrive::damiao::mit::MotorState& state,
                       bool believed_enabled = false);
    void neck_failed(std::size_t neck_index);

    const HealthReport& report() const { return report_; }

    // The servos (bit i: servo joint i) that answered again after failing since the last call.
    std::bitset<kServoJoints.count> take_recovered_servos() {
        return std::exchange(recovered_servos_, {});
    }

private:
    void answer(std::size_t joint, FaultSet faults);
    void failure(std::size_t joint);
    void note_recovery(std::size_t joint);

    HealthReport report_{};
    std::bitset<kServoJoints.count> recovered_servos_;
};

}  // namespace wenlo::controller
