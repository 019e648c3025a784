// The MIT feedback decode: any payload of any length decodes to values inside the motor's
// ranges, or is refused as too short without being read past its end.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_check.hpp"
#include "candrive/damiao/mit.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace candrive::damiao::mit;
    // The neck's two kinds of ranges; the first byte picks one.
    static constexpr MitLimits kLimits[] = {{12.5f, 30.0f, 500.0f, 5.0f, 10.0f},
                                            {12.5f, 10.0f, 500.0f, 5.0f, 28.0f}};
    if (size < 1) {
        return 0;
    }
    const MitLimits& limits = kLimits[data[0] % 2];
    auto state = decode_state(limits, std::span(data + 1, size - 1));
    if (!state) {
        FUZZ_CHECK(size - 1 < kFrameLength);
        FUZZ_CHECK(state.error().length == size - 1);
        return 0;
    }
    FUZZ_CHECK(size - 1 >= kFrameLength);
    constexpr float kSlack = 1e-3f;
    FUZZ_CHECK(std::fabs(state->position) <= limits.p_max + kSlack);
    FUZZ_CHECK(std::fabs(state->velocity) <= limits.v_max + kSlack);
    FUZZ_CHECK(std::fabs(state->torque) <= limits.t_max + kSlack);
    FUZZ_CHECK(state->low_nibble == (data[1] & 0x0F) && state->high_nibble == (data[1] >> 4));
    return 0;
}
