// A register read's replies: whatever frames come back (foreign ids, other registers, short
// frames), the driver returns the word of the first matching reply or a typed error, and never
// reads past a frame. The first byte picks the register; the rest is cut into frames, each
// prefixed by its length.
#include <cstdio>
#include <cstdlib>
#include <deque>

#include "fuzz_check.hpp"
#include "candrive/damiao/driver.hpp"
#include "candrive/transport/can_transport.hpp"

namespace {

class ScriptedBus final : public candrive::transport::CanTransport {
  public:
    std::deque<candrive::transport::CanFrame> replies;
    std::expected<void, candrive::transport::CanError> send(
        const candrive::transport::CanFrame&) override {
        return {};
    }
    std::expected<candrive::transport::CanFrame, candrive::transport::CanError> recv(
        candrive::transport::Duration) override {
        if (replies.empty()) {
            return std::unexpected(candrive::transport::CanError::timeout());
        }
        auto frame = std::move(replies.front());
        replies.pop_front();
        return frame;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace candrive;
    if (size < 1) {
        return 0;
    }
    const std::uint8_t reg = data[0];
    ScriptedBus bus;
    std::size_t at = 1;
    while (at < size) {
        const std::size_t length = std::min<std::size_t>(data[at] % 10, size - at - 1);
        bus.replies.push_back(transport::CanFrame{
            .data = {data + at + 1, data + at + 1 + length},
            .id = transport::CanId::Standard(0x11),
            .fd = false,
            .brs = false});
        at += 1 + length;
    }
    const damiao::driver::Damiao motor{transport::Duration::from_millis(1000),
                                       {12.5f, 30.0f, 500.0f, 5.0f, 10.0f}, 1, 0x11};
    const auto frames = bus.replies;
    auto value = motor.read_register(bus, reg);
    if (value) {
        // It is the word of the first 8-byte reply that names this register.
        bool found = false;
        for (const auto& f : frames) {
            if (f.data.size() == 8 && f.data[2] == 0x33 && f.data[3] == reg) {
                const std::uint32_t word = f.data[4] | (f.data[5] << 8) | (f.data[6] << 16) |
                                           (std::uint32_t{f.data[7]} << 24);
                FUZZ_CHECK(value->bits() == word);
                found = true;
                break;
            }
        }
        FUZZ_CHECK(found);
    }
    return 0;
}
