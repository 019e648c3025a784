#include "common/log.h"
#include "controller/controller_impl.h"
#include "controller/device_errors.h"
#include "controller/usb_latency.h"

#include <string>

namespace wenlo::controller {
namespace {

using candrive::damiao::driver::Damiao;
using candrive::damiao::mit::MitCommand;
using candrive::damiao::mit::MitLimits;
using candrive::transport::Duration;

constexpr Duration kNeckReplyTimeout = Duration::from_millis(20);

// Ids, reply time-out and MIT ranges of the yaw, pitch and roll motors.
const std::array<Damiao, kNeckJoints> kNeckMotors = {{
    {kNeckReplyTimeout, MitLimits{12.5f, 30.0f, 500.0f, 5.0f, 10.0f}, 1, 1},
    {kNeckReplyTimeout, MitLimits{12.5f, 10.0f, 500.0f, 5.0f, 28.0f}, 2, 2},
    {kNeckReplyTimeout, MitLimits{12.5f, 10.0f, 500.0f, 5.0f, 28.0f}, 3, 3},
}};

const std::array<MitCommand, kNeckJoints> kInitialTemplates = {{
    {0.0f, 0.0f, 30.0f, 1.0f, 0.0f},
    {0.0f, 0.0f, 60.0f, 2.0f, 0.0f},
    {0.0f, 0.0f, 60.0f, 2.0f, 0.0f},
}};

IoKind io_kind(serialbus::IoErrorKind kind) {
    switch (kind) {
        case serialbus::IoErrorKind::TimedOut:
            return IoKind::TimedOut;
        case serialbus::IoErrorKind::Interrupted:
            return IoKind::Interrupted;
        default:
            return IoKind::Other;
    }
}

}  // namespace

Error to_error(const serialbus::IoError& error) {
    return Error(error.message(), io_kind(error.kind()));
}

Error to_error(const serialbus::SerialPortError& error) { return Error(error.message()); }

Error to_error(const serialbus::feetech_protocol::ProtocolError& error) {
    if (const serialbus::IoError* io = error.io_error()) {
        return to_error(*io);
    }
    return Error(error.message());
}

Result<serialbus::SerialPort*> MotorController::Impl::port() {
    if (!serial && serial_lost) {
        return std::unexpected(Error(serial_lost_text(*serial_lost), IoKind::Other));
    }
    if (!serial) {
        return std::unexpected(Error(std::string(kNoSerialPort), IoKind::Other));
    }
    return &*serial;
}

std::optional<ExitPolicy> exit_policy_named(std::string_view name) {
    if (name == "hold") {
        return ExitPolicy::Hold;
    }
    if (name == "limp") {
        return ExitPolicy::Limp;
    }
    if (name == "damp") {
        return ExitPolicy::Damp;
    }
    return std::nullopt;
}

Result<MotorController> MotorController::create(const std::optional<std::string>& serial_path,
                                                const std::string& can_bus,
                                                const JointLimits& limits, ExitPolicy on_exit) {
    std::optional<serialbus::SerialPort> serial;
    if (serial_path) {
        auto opened = serialbus::SerialPort::open(*serial_path, serialbus::kBusBaudRate,
                                                  serialbus::kBusTimeout);
        if (!opened) {
            log_open_failure(serial_port_failure(*serial_path, opened.error().os_error(),
                                                 opened.error().description()));
            return std::unexpected(to_error(opened.error()));
        }
        serial.emplace(std::move(*opened));
        check_usb_latency(*serial_path, serial->native_handle());
    }
    auto can = candrive::transport::socketcan_backend::SocketCanTransport::open(can_bus);
    if (!can) {
        serial.reset();  // close the serial port before reporting
        log_open_failure(can_interface_failure(can_bus, can.error()));
        return std::unexpected(
            Error("failed to open CAN bus '" + can_bus + "': " + can.error().message()));
    }
    auto impl = std::unique_ptr<Impl>(new Impl{NeckBus(std::move(*can), can_bus), std::move(serial),
                                               serialbus::feetech_protocol::FeetechProtocolHandler{},
                                               kNeckMotors, kInitialTemplates, false, {},
                                               LimitClamp(limits)});
    impl->protocol.set_observer(&impl->health);
    impl->on_exit = on_exit;
    impl->serial_path = serial_path;
    return MotorController(std::move(impl));
}

MotorController::MotorController(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
MotorController::MotorController(MotorController&&) noexcept = default;
MotorController& MotorController::operator=(MotorController&&) noexcept = default;
MotorController::~MotorController() = default;

// Configured with a port, whether or not its device is there at the moment.
bool MotorController::has_serial_port() const { return impl_->serial_path.has_value(); }

const JointLimits& MotorController::joint_limits() const { return impl_->limits.limits(); }

Result<void> MotorController::Impl::may_move() const {
    if (estopped->load()) {
        return std::unexpected(Error(std::string(kEstopLatched)));
    }
    return {};
}

namespace {

// Keeps the first failure of steps that are all tried.
class FirstFailure {
public:
    void keep(Result<void> step) {
        if (first_ && !step) {
            first_ = std::move(step);
        }
    }
    Result<void> result() && { return std::move(first_); }

private:
    Result<void> first_;
};

}  // namespace

MitCommand MotorController::Impl::holding(std::size_t neck_index) const {
    MitCommand command = templates[neck_index];
    if (estopped->load()) {
        command.kp = 0.0f;
        command.velocity = 0.0f;
        command.torque = 0.0f;
    }
    return command;
}

Result<void> MotorController::Impl::damp_neck() {
    FirstFailure failure;
    for (std::size_t i = 0; i < kNeckJoints; ++i) {
        MitCommand damping = templates[i];
        damping.kp = 0.0f;
        damping.velocity = 0.0f;
        damping.torque = 0.0f;
        if (auto state = moved(i, Motion::Damp, damping,
                               neck[i].control(can, candrive::damiao::driver::ControlCommand::Mit{damping}));
            !state) {
            failure.keep(std::unexpected(Error("estop(" + std::string(neck_name(i)) +
                                               "): " + state.error().message())));
        }
    }
    return std::move(failure).result();
}

void MotorController::Impl::motion_outcome(std::size_t i, Motion motion,
                                           const MitCommand& command, bool answered,
                                           bool accepted) {
    if (answered) {
        // It took this frame, so whatever waited before it went out first and is superseded.
        if (motion == Motion::Mit || motion == Motion::Damp) {
            held[i].command = command;
        } else {
            held[i].enabled = motion == Motion::Enable;
        }
        undo_pending[i].reset();
        return;
    }
    if (motion == Motion::Disable || motion == Motion::Damp || !accepted) {
        return;  // never undone, or it never left the socket
    }
    undo_pending[i].reset();
    if (!send_undo(i, motion)) {
        undo_pending[i] = motion;
    }
}

namespace {

using candrive::transport::CanFrame;
using candrive::transport::CanId;

CanFrame disable_frame(const Damiao& motor) {
    return CanFrame{{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFD},
                    CanId::Standard(static_cast<std::uint16_t>(motor.motor_id & 0x7FF)),
                    false,
                    false};
}

}  // namespace

bool MotorController::Impl::send_undo(std::size_t i, Motion motion) {
    if (estopped->load()) {
        return true;  // the stop's damping stands
    }
    const bool known_on = held[i].enabled.value_or(false) ||
                          (!held[i].enabled && held[i].command.has_value());
    bool sent = false;
    if (motion == Motion::Enable && !held[i].enabled.value_or(false)) {
        sent = can.send(disable_frame(neck[i])).has_value();
    } else if (known_on && (held[i].command || held[i].position)) {
        MitCommand hold = templates[i];
        if (held[i].command) {
            hold = *held[i].command;
        } else {
            hold.position = *held[i].position;
            hold.velocity = 0.0f;
            hold.torque = 0.0f;
        }
        sent = neck[i]
                   .send_control(can, candrive::damiao::driver::ControlCommand::Mit{hold})
                   .has_value();
    } else {
        return true;  // a motor not known enabled does not move on an MIT frame
    }
    if (!sent) {
        return false;
    }
    can.reply_abandoned(neck[i].reply_id(), neck[i].timeout);
    return true;
}

void MotorController::Impl::settle(std::size_t i) {
    if (!undo_pending[i]) {
        return;
    }
    const Motion motion = *undo_pending[i];
    undo_pending[i].reset();
    WENLO_LOG(log::kControllerTarget, log::Level::Debug,
              std::string(neck_name(i)) +
                  " answers again after frames that may have waited; undoing them");
    if (!send_undo(i, motion)) {
        undo_pending[i] = motion;
    }
}

Result<void> MotorController::estop() {
    impl_->estopped->store(true);  // first, so that nothing started from here on moves
    FirstFailure failure;
    failure.keep(impl_->damp_neck());
    if (has_serial_port()) {
        failure.keep(set_torque_on_ids(kArmIds, false));
        failure.keep(set_torque_on_ids(kNoseIds, false));
    }
    return std::move(failure).result();
}

Result<void> MotorController::let_go() {
    if (impl_->on_exit == ExitPolicy::Hold) {
        return {};
    }
    FirstFailure failure;
    if (has_serial_port()) {
        failure.keep(set_torque_on_ids(kArmIds, false));
        failure.keep(set_torque_on_ids(kNoseIds, false));
    }
    failure.keep(impl_->on_exit == ExitPolicy::Damp ? impl_->damp_neck() : enable_neck(false));
    return std::move(failure).result();
}

void MotorController::reset_estop() { impl_->estopped->store(false); }

bool MotorController::is_estopped() const { return impl_->estopped->load(); }

std::shared_ptr<std::atomic<bool>> MotorController::estop_latch() const { return impl_->estopped; }

std::vector<std::uint8_t> MotorController::check_missing_ids() {
    std::vector<std::uint8_t> missing;
    if (!impl_->serial) {
        if (impl_->serial_lost) {  // the line is away: nobody answers
            missing.assign(kServoIds.begin(), kServoIds.end());
        }
        return missing;
    }
    for (std::uint8_t id : kServoIds) {
        auto answered = impl_->protocol.ping(*impl_->serial, id);
        if (!answered || !*answered) {
            missing.push_back(id);
        }
    }
    return missing;
}

}  // namespace wenlo::controller
