#include "controller/neck_bus.h"

#include "common/log.h"

#include <utility>

namespace wenlo::controller {

using candrive::transport::CanError;
using candrive::transport::CanFrame;

NeckBus::NeckBus(candrive::transport::socketcan_backend::SocketCanTransport socket,
                 std::string iface)
    : socket_(std::move(socket)), iface_(std::move(iface)) {}

// Only the socket's own errors are an outage: a time-out is a motor that does not answer,
// which health tells per joint.
void NeckBus::failed(const CanError& error) {
    const auto* io = std::get_if<CanError::Io>(&error.detail);
    if (io == nullptr || out_) {
        return;
    }
    out_ = true;
    sent_in_outage_ = false;
    WENLO_LOG(log::kControllerTarget, log::Level::Error,
              "CAN interface '" + iface_ + "' fails: " + io->error.message() +
                  "; the neck is out of reach until frames flow again");
}

std::expected<void, CanError> NeckBus::send(const CanFrame& frame) {
    auto sent = socket_.send(frame);
    accepted_ = sent.has_value();
    interrupted_ = false;
    if (!sent) {
        failed(sent.error());
    } else if (out_) {
        sent_in_outage_ = true;
    }
    return sent;
}

std::expected<CanFrame, CanError> NeckBus::recv(candrive::transport::Duration timeout) {
    auto frame = socket_.recv(timeout);
    if (!frame) {
        if (frame.error().is_interrupted()) {
            interrupted_ = true;  // a signal, not the link
            return frame;
        }
        failed(frame.error());
    } else if (out_ && sent_in_outage_) {
        // A frame after one of ours went out: the link carries frames both ways again.
        out_ = false;
        WENLO_LOG(log::kControllerTarget, log::Level::Info,
                  "CAN interface '" + iface_ + "' carries frames again");
    }
    return frame;
}

}  // namespace wenlo::controller
