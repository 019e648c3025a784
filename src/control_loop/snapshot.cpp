#include "control_loop/snapshot.h"

#include <chrono>

namespace wenlo::control_loop {

double unix_time_now() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count();
    if (ns < 0) {
        return 0.0;
    }
    return static_cast<double>(ns / 1'000'000'000) + static_cast<double>(ns % 1'000'000'000) / 1e9;
}

std::expected<TorsoPosition, MotorError> read_pos(controller::MotorController& controller,
                                                  std::uint64_t allowed_retries, bool feed_neck) {
    TorsoPosition position;
    // The two buses at once: the neck's requests go out first, their replies are taken after
    // the servos answered. A feedback request changes nothing on a motor, so asking the neck in
    // a tick whose servo read then fails costs nothing but the frames.
    auto pending = controller.send_neck_feedback_requests(feed_neck);
    bool servos_read = true;
    if (controller.has_serial_port()) {
        bool retry = false;
        auto servos = with_retry(allowed_retries, [&] {
            if (retry) {
                // A retry comes a pause later: the neck is asked again, so that its positions
                // are as fresh as the servos' answer, as when it was read after them.
                (void)controller.collect_neck_feedback(std::move(pending));
                pending = controller.send_neck_feedback_requests(feed_neck);
            }
            retry = true;
            return controller.read_all_positions();
        });
        if (servos) {
            set_servo_values(position, *servos);
        } else {
            servos_read = false;
        }
    }
    auto neck = controller.collect_neck_feedback(std::move(pending));  // even so: a clean bus
    if (!servos_read) {
        return std::unexpected(MotorError::communication());
    }
    if (!neck) {
        return std::unexpected(MotorError::communication());
    }
    position.neck = *neck;
    position.timestamp = unix_time_now();
    return position;
}

}  // namespace wenlo::control_loop
