// Reboot of the seven bus servos, then polling until each answers again.
#include "common/log.h"
#include "controller/controller_impl.h"

#include <chrono>
#include <thread>

namespace wenlo::controller {

Result<void> MotorController::reboot(std::chrono::nanoseconds timeout,
                                     const InterruptCheck& interrupted) {
    using namespace std::chrono_literals;
    if (!impl_->serial_path) {
        return {};
    }
    WENLO_TRY_ASSIGN(auto open_port, impl_->port());  // fails while the line is away
    serialbus::SerialPort& port = *open_port;
    struct Unobserved {
        serialbus::feetech_protocol::FeetechProtocolHandler& protocol;
        HealthTracker& health;
        ~Unobserved() { protocol.set_observer(&health); }
    } unobserved{impl_->protocol, impl_->health};
    impl_->protocol.set_observer(nullptr);
    for (std::uint8_t id : kServoIds) {
        WENLO_LOG(log::kControllerTarget, log::Level::Warn,
                  "Rebooting motor " + servo_name(id) + " (id=" + std::to_string(id) + ")");
        // Whether the servo answered is not looked at; only a failed exchange stops us.
        WENLO_TRY(lift(impl_->protocol.reboot(port, id)));
    }
    std::vector<std::uint8_t> pending(kServoIds.begin(), kServoIds.end());
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < timeout) {
        std::this_thread::sleep_for(100ms);
        if (interrupted && interrupted()) {
            return std::unexpected(Error::interruption("reboot: interrupted"));
        }
        std::vector<std::uint8_t> still;
        for (std::uint8_t id : pending) {
            auto answered = impl_->protocol.ping(port, id);
            if (!answered || !*answered) {
                still.push_back(id);
            }
        }
        pending = std::move(still);
        if (pending.empty()) {
            return {};
        }
    }
    std::string name_list = "[";
    std::string id_list = "[";
    for (std::size_t i = 0; i < pending.size(); ++i) {
        const std::uint8_t id = pending[i];
        WENLO_LOG(log::kControllerTarget, log::Level::Warn,
                  "Motor " + servo_name(id) + " (id=" + std::to_string(id) +
                      ") did not respond after reboot within timeout");
        name_list += (i > 0 ? ", \"" : "\"") + servo_name(id) + "\"";
        id_list += (i > 0 ? ", " : "") + std::to_string(id);
    }
    return std::unexpected(Error("Some motors did not respond after reboot (" + name_list +
                                 "] - ids: " + id_list + "])"));
}

}  // namespace wenlo::controller
