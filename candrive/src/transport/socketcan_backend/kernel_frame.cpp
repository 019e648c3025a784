#include "kernel_frame.hpp"

#include <linux/can.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace candrive::transport::socketcan_backend {

static_assert(sizeof(can_frame) == kClassicMtu);
static_assert(sizeof(canfd_frame) == kFdMtu);

std::uint8_t fd_length_for(std::size_t payload) noexcept {
    static constexpr std::array<std::uint8_t, 7> kSteps{12, 16, 20, 24, 32, 48, 64};
    if (payload <= CAN_MAX_DLEN) {
        return static_cast<std::uint8_t>(payload);
    }
    for (const auto step : kSteps) {
        if (payload <= step) {
            return step;
        }
    }
    return CANFD_MAX_DLEN;
}

std::expected<std::size_t, CanError> to_kernel(const CanFrame& frame, KernelBuffer& out) {
    if (!frame.id.is_valid()) {
        return std::unexpected(CanError::invalid_id());
    }
    const canid_t id_word =
        frame.id.is_extended() ? (frame.id.value() | CAN_EFF_FLAG) : frame.id.value();
    const std::size_t length = frame.data.size();
    out.fill(0);
    if (!frame.fd) {
        if (length > CAN_MAX_DLEN) {
            return std::unexpected(CanError::frame_too_large(length));
        }
        can_frame classic{};
        classic.can_id = id_word;
        classic.len = static_cast<std::uint8_t>(length);
        std::copy_n(frame.data.begin(), length, classic.data);
        std::memcpy(out.data(), &classic, sizeof classic);
        return kClassicMtu;
    }
    if (length > CANFD_MAX_DLEN) {
        return std::unexpected(CanError::frame_too_large(length));
    }
    canfd_frame fd{};
    fd.can_id = id_word;
    fd.len = fd_length_for(length);
    fd.flags = static_cast<std::uint8_t>(CANFD_FDF | (frame.brs ? CANFD_BRS : 0));
    std::copy_n(frame.data.begin(), length, fd.data);
    std::memcpy(out.data(), &fd, sizeof fd);
    return kFdMtu;
}

namespace {

CanId id_from_word(canid_t word) {
    if ((word & CAN_EFF_FLAG) != 0) {
        return CanId::Extended(word & CAN_EFF_MASK);
    }
    return CanId::Standard(static_cast<std::uint16_t>(word & CAN_SFF_MASK));
}

}  // namespace

std::expected<CanFrame, CanError> from_kernel(std::span<const std::uint8_t> bytes) {
    if (bytes.size() == kClassicMtu) {
        can_frame classic{};
        std::memcpy(&classic, bytes.data(), sizeof classic);
        // Error frames carry their whole data area; data and remote frames their length.
        const bool error_frame = (classic.can_id & CAN_ERR_FLAG) != 0;
        const std::size_t length =
            error_frame ? CAN_MAX_DLEN : std::min<std::size_t>(classic.len, CAN_MAX_DLEN);
        return CanFrame{.data = {classic.data, classic.data + length},
                        .id = id_from_word(classic.can_id),
                        .fd = false,
                        .brs = false};
    }
    if (bytes.size() == kFdMtu) {
        canfd_frame fd{};
        std::memcpy(&fd, bytes.data(), sizeof fd);
        const std::size_t length = std::min<std::size_t>(fd.len, CANFD_MAX_DLEN);
        return CanFrame{.data = {fd.data, fd.data + length},
                        .id = id_from_word(fd.can_id),
                        .fd = true,
                        .brs = (fd.flags & CANFD_BRS) != 0};
    }
    return std::unexpected(CanError::io(
        OsError::custom("unexpected CAN frame size: " + std::to_string(bytes.size()) + " bytes")));
}

}  // namespace candrive::transport::socketcan_backend
