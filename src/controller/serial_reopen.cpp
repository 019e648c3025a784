// Riding out an unplugged serial adapter: the dead descriptor closed at once, the same path
// opened again when asked, and the servos that come back asked whether their torque survived.
#include "common/log.h"
#include "controller/controller_impl.h"
#include "controller/usb_latency.h"
#include "serialbus/servo/feetech/common.hpp"

#include <cstring>

namespace wenlo::controller {
namespace {

std::string os_text(int code) {
    // strerrordesc_np reads a constant table: safe on any thread, unlike strerror.
    const char* text = strerrordesc_np(code);
    return text != nullptr ? text : "Unknown error " + std::to_string(code);
}

std::string who(std::size_t joint) {
    return std::string(kJoints[joint].name) + " (id=" + std::to_string(kJoints[joint].id) + ")";
}

}  // namespace

std::string serial_lost_text(int os_error) { return os_text(os_error); }

bool MotorController::serial_line_lost() {
    Impl& c = *impl_;
    if (c.serial) {
        const auto gone = c.serial->vanished();
        if (!gone) {
            return false;
        }
        c.serial_lost = *gone;
        c.serial.reset();
        WENLO_LOG(log::kControllerTarget, log::Level::Error,
                  "serial port '" + c.serial_path.value_or("") + "' went away (" +
                      os_text(*gone) + "); it is closed and will be opened again when it is back");
    }
    return c.serial_lost.has_value();
}

Result<void> MotorController::reopen_serial() {
    Impl& c = *impl_;
    if (c.serial || !c.serial_path) {
        return {};
    }
    auto opened =
        serialbus::SerialPort::open(*c.serial_path, serialbus::kBusBaudRate, serialbus::kBusTimeout);
    if (!opened) {
        return std::unexpected(to_error(opened.error()));
    }
    c.serial.emplace(std::move(*opened));
    c.serial_lost.reset();
    WENLO_LOG(log::kControllerTarget, log::Level::Info,
              "serial port '" + *c.serial_path + "' is back");
    check_usb_latency(*c.serial_path, c.serial->native_handle());
    return {};
}

std::vector<std::size_t> MotorController::recheck_recovered_servos() {
    std::vector<std::size_t> off;
    Impl& c = *impl_;
    const auto recovered = c.health.take_recovered_servos();
    if (recovered.none() || !c.serial) {
        return off;
    }
    for (std::size_t joint = 0; joint < kServoJoints.count; ++joint) {
        if (!recovered.test(joint) || c.servo_torque[joint] != true) {
            continue;
        }
        // Once: a failed read is counted in health, and the next recovery asks again.
        auto reg = c.protocol.read(*c.serial, kJoints[kServoJoints.first + joint].id,
                                   serialbus::servo::feetech::common::TORQUE_ENABLE, 1);
        if (!reg || reg->empty() || (*reg)[0] != 0) {
            continue;
        }
        c.servo_torque[joint] = false;
        WENLO_LOG(log::kControllerTarget, log::Level::Warn,
                  who(kServoJoints.first + joint) +
                      " answers again with its torque off, though it was on (a brown-out?); "
                      "enable torque to hold it again");
        off.push_back(kServoJoints.first + joint);
    }
    return off;
}

}  // namespace wenlo::controller
