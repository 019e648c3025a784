#include "protocol.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace damiaosim::protocol {
namespace {

float unpack(std::uint32_t raw, float lo, float hi, int bits) {
    return static_cast<float>(raw) * (hi - lo) / static_cast<float>((1u << bits) - 1) + lo;
}

std::uint32_t pack(double value, float lo, float hi, int bits) {
    const double max = static_cast<double>((1u << bits) - 1);
    if (!(hi > lo))
        return 0;
    double x = (std::clamp(value, static_cast<double>(lo), static_cast<double>(hi)) - lo) * max /
               (static_cast<double>(hi) - lo);
    if (std::isnan(x))
        return 0;
    return static_cast<std::uint32_t>(std::clamp(std::lround(x), 0L, static_cast<long>(max)));
}

}  // namespace

MitSetpoint decode_mit(const MitRanges& r, const Payload& d) {
    std::uint32_t p = (d[0] << 8) | d[1];
    std::uint32_t v = (d[2] << 4) | (d[3] >> 4);
    std::uint32_t kp = ((d[3] & 0x0F) << 8) | d[4];
    std::uint32_t kd = (d[5] << 4) | (d[6] >> 4);
    std::uint32_t t = ((d[6] & 0x0F) << 8) | d[7];
    return MitSetpoint{
        .position = unpack(p, -r.position, r.position, 16),
        .velocity = unpack(v, -r.velocity, r.velocity, 12),
        .kp = unpack(kp, 0.0f, r.kp, 12),
        .kd = unpack(kd, 0.0f, r.kd, 12),
        .torque = unpack(t, -r.torque, r.torque, 12),
    };
}

Payload encode_state(const MitRanges& r, const StateFields& s) {
    std::uint32_t p = pack(s.position, -r.position, r.position, 16);
    std::uint32_t v = pack(s.velocity, -r.velocity, r.velocity, 12);
    std::uint32_t t = pack(s.torque, -r.torque, r.torque, 12);
    return Payload{
        static_cast<std::uint8_t>((s.error_nibble << 4) | (s.id_nibble & 0x0F)),
        static_cast<std::uint8_t>(p >> 8),
        static_cast<std::uint8_t>(p & 0xFF),
        static_cast<std::uint8_t>(v >> 4),
        static_cast<std::uint8_t>(((v & 0x0F) << 4) | (t >> 8)),
        static_cast<std::uint8_t>(t & 0xFF),
        s.mos_temperature,
        s.rotor_temperature,
    };
}

std::optional<RegisterDefault> register_default(std::uint8_t reg) {
    struct Entry {
        std::uint8_t id;
        bool writable;
        bool is_float;
        float value;
    };
    // Plausible values for a small 24 V joint motor; ids and ranges are set per motor later.
    static constexpr Entry kTable[] = {
        {0x00, true, true, 10.0f},      // UV_Value
        {0x01, true, true, 0.1f},       // KT_Value
        {0x02, true, true, 95.0f},      // OT_Value
        {0x03, true, true, 0.98f},      // OC_Value
        {0x04, true, true, 10.0f},      // ACC
        {0x05, true, true, -10.0f},     // DEC
        {0x06, true, true, 30.0f},      // MAX_SPD
        {0x07, true, false, 0},         // MST_ID
        {0x08, true, false, 0},         // ESC_ID
        {0x09, true, false, 0},         // TIMEOUT
        {0x0A, true, false, 1},         // CTRL_MODE
        {0x0B, false, true, 0.0f},      // Damp
        {0x0C, false, true, 0.0f},      // Inertia
        {0x0D, false, false, 0},        // hw_ver
        {0x0E, false, false, 5013},     // sw_ver
        {0x0F, false, false, 0},        // SN
        {0x10, false, false, 14},       // NPP
        {0x11, false, true, 0.47f},     // Rs
        {0x12, false, true, 0.00022f},  // Ls
        {0x13, false, true, 0.0061f},   // Flux
        {0x14, false, true, 10.0f},     // Gr
        {0x15, true, true, 12.5f},      // PMAX
        {0x16, true, true, 30.0f},      // VMAX
        {0x17, true, true, 10.0f},      // TMAX
        {0x18, true, true, 1000.0f},    // I_BW
        {0x19, true, true, 0.0024f},    // KP_ASR
        {0x1A, true, true, 0.0024f},    // KI_ASR
        {0x1B, true, true, 30.0f},      // KP_APR
        {0x1C, true, true, 0.0f},       // KI_APR
        {0x1D, true, true, 32.0f},      // OV_Value
        {0x1E, true, true, 1.0f},       // GREF
        {0x1F, true, true, 5.0f},       // Deta
        {0x20, true, true, 300.0f},     // V_BW
        {0x21, true, true, 1.0f},       // IQ_c1
        {0x22, true, true, 1.0f},       // VL_c1
        {0x23, true, false, 4},         // can_br
        {0x24, false, false, 0},        // sub_ver
        {0x32, false, true, 0.0f},      // u_off
        {0x33, false, true, 0.0f},      // v_off
        {0x34, false, true, 1.0f},      // k1
        {0x35, false, true, 1.0f},      // k2
        {0x36, false, true, 0.0f},      // m_off
        {0x37, false, true, 1.0f},      // dir
        {0x38, false, true, 0.0f},      // m_off_motor
        {0x3B, false, true, 10.26f},    // Imax
        {0x3C, false, true, 24.0f},     // VBus
        {0x3D, false, true, 35.0f},     // Tpcb
        {0x3E, false, true, 30.0f},     // Tmtr
        {0x3F, false, true, 0.0f},      // Iu_off
        {0x40, false, true, 0.0f},      // Iv_off
        {0x41, false, true, 0.0f},      // Iw_off
        {0x50, false, true, 0.0f},      // p_m (live)
        {0x51, false, true, 0.0f},      // xout (live)
    };
    static_assert(std::size(kTable) == 53);
    for (const Entry& e : kTable) {
        if (e.id == reg)
            return RegisterDefault{true, e.writable, e.is_float, e.value};
    }
    return std::nullopt;
}

}  // namespace damiaosim::protocol
