#include "control_loop/serial_outage.h"

#include "control_loop/snapshot.h"

namespace wenlo::control_loop {

void SerialOutage::before_read(controller::MotorController& c, TorqueRecord& last_torque,
                               std::uint64_t allowed_retries) {
    if (!c.has_serial_port() || !c.serial_line_lost()) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (next_attempt_ && now < *next_attempt_) {
        return;
    }
    next_attempt_ = now + kSerialReopenInterval;
    if (!c.reopen_serial()) {
        return;
    }
    next_attempt_.reset();
    // The servos may have lost power with the adapter; what they hold now is the truth. If the
    // read fails, the record keeps what it had and the ticks' failures say the rest.
    if (auto on = with_retry(allowed_retries, [&] { return c.is_torque_enabled(); })) {
        last_torque.store(*on);
    }
}

void after_serial_exchange(controller::MotorController& c, TorqueRecord& last_torque) {
    if (!c.has_serial_port()) {
        return;
    }
    (void)c.serial_line_lost();
    if (!c.recheck_recovered_servos().empty()) {
        last_torque.store(false);
    }
}

}  // namespace wenlo::control_loop
