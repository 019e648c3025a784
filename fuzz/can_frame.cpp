// The conversion from what a CAN socket read delivers (the kernel's can_frame or canfd_frame)
// to a frame: any bytes give a frame or a typed error, and a frame converts back to the same
// frame.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "fuzz_check.hpp"
#include "transport/socketcan_backend/kernel_frame.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace candrive::transport::socketcan_backend;
    auto frame = from_kernel(std::span(data, size));
    if (!frame) {
        return 0;
    }
    FUZZ_CHECK(size == kClassicMtu || size == kFdMtu);
    FUZZ_CHECK(frame->data.size() <= (frame->fd ? 64u : 8u));
    KernelBuffer out{};
    auto written = to_kernel(*frame, out);
    if (written) {
        // The way back gives the same frame, except that an FD payload of a length FD cannot
        // carry comes back padded with zeros to the next one it can.
        auto again = from_kernel(std::span(out.data(), *written));
        FUZZ_CHECK(again && again->id == frame->id && again->fd == frame->fd &&
                   again->brs == frame->brs);
        FUZZ_CHECK(again->data.size() ==
                   (frame->fd ? fd_length_for(frame->data.size()) : frame->data.size()));
        FUZZ_CHECK(std::equal(frame->data.begin(), frame->data.end(), again->data.begin()));
        for (std::size_t i = frame->data.size(); i < again->data.size(); ++i) {
            FUZZ_CHECK(again->data[i] == 0);
        }
    }
    return 0;
}
