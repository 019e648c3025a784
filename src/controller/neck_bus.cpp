#include "controller/neck_bus.h"

#include "common/log.h"

#include <cerrno>
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

namespace {

// As often as an unplugged serial adapter is looked for.
constexpr auto kReopenEvery = std::chrono::milliseconds(500);

}  // namespace

void NeckBus::note_cut_off(const CanError& error) {
    const auto* io = std::get_if<CanError::Io>(&error.detail);
    const auto code = io != nullptr ? io->error.raw_os_error() : std::nullopt;
    if (!cut_off_ && (code == ENODEV || code == ENXIO)) {
        cut_off_ = true;
        next_reopen_ = std::chrono::steady_clock::now() + kReopenEvery;
    }
}

void NeckBus::reopen() {
    const auto now = std::chrono::steady_clock::now();
    if (!cut_off_ || now < next_reopen_) {
        return;
    }
    next_reopen_ = now + kReopenEvery;
    auto opened = candrive::transport::socketcan_backend::SocketCanTransport::open(iface_);
    if (!opened) {
        return;  // still away
    }
    socket_ = std::move(*opened);
    cut_off_ = false;
    WENLO_LOG(log::kControllerTarget, log::Level::Info,
              "CAN interface '" + iface_ + "' is back; its socket is opened again");
}

std::expected<void, CanError> NeckBus::send(const CanFrame& frame) {
    reopen();
    auto sent = socket_.send(frame);
    accepted_ = sent.has_value();
    interrupted_ = false;
    if (!sent) {
        note_cut_off(sent.error());
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
        note_cut_off(frame.error());
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
