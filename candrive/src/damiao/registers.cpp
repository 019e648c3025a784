#include "candrive/damiao/registers.hpp"

#include <array>

namespace candrive::damiao::registers {

namespace {

// The filled slots in id order; the gaps (0x25-0x31, 0x39-0x3A, 0x42-0x4F) hold nothing.
constexpr std::array kEntries = std::to_array<RegisterInfo>({
    {"UV_Value", "Under-voltage protection value", 0x00, true, RegisterType::Float},
    {"KT_Value", "Torque coefficient", 0x01, true, RegisterType::Float},
    {"OT_Value", "Over-temperature protection", 0x02, true, RegisterType::Float},
    {"OC_Value", "Over-current protection", 0x03, true, RegisterType::Float},
    {"ACC", "Acceleration", 0x04, true, RegisterType::Float},
    {"DEC", "Deceleration", 0x05, true, RegisterType::Float},
    {"MAX_SPD", "Maximum speed", 0x06, true, RegisterType::Float},
    {"MST_ID", "Feedback (master) CAN id", 0x07, true, RegisterType::Uint32},
    {"ESC_ID", "Receive (motor) CAN id", 0x08, true, RegisterType::Uint32},
    {"TIMEOUT", "Timeout alarm (1 unit = 50 us)", 0x09, true, RegisterType::Uint32},
    {"CTRL_MODE", "Control mode 1=MIT 2=POS_VEL 3=VEL 4=FORCE_POS", 0x0A, true,
     RegisterType::Uint32},
    {"Damp", "Viscous damping coefficient", 0x0B, false, RegisterType::Float},
    {"Inertia", "Moment of inertia", 0x0C, false, RegisterType::Float},
    {"hw_ver", "Hardware version (reserved)", 0x0D, false, RegisterType::Uint32},
    {"sw_ver", "Software version", 0x0E, false, RegisterType::Uint32},
    {"SN", "Serial number (reserved)", 0x0F, false, RegisterType::Uint32},
    {"NPP", "Motor pole pairs", 0x10, false, RegisterType::Uint32},
    {"Rs", "Phase resistance", 0x11, false, RegisterType::Float},
    {"Ls", "Phase inductance", 0x12, false, RegisterType::Float},
    {"Flux", "Flux linkage", 0x13, false, RegisterType::Float},
    {"Gr", "Gear reduction ratio", 0x14, false, RegisterType::Float},
    {"PMAX", "Position mapping range", 0x15, true, RegisterType::Float},
    {"VMAX", "Speed mapping range", 0x16, true, RegisterType::Float},
    {"TMAX", "Torque mapping range", 0x17, true, RegisterType::Float},
    {"I_BW", "Current loop bandwidth", 0x18, true, RegisterType::Float},
    {"KP_ASR", "Speed loop Kp", 0x19, true, RegisterType::Float},
    {"KI_ASR", "Speed loop Ki", 0x1A, true, RegisterType::Float},
    {"KP_APR", "Position loop Kp", 0x1B, true, RegisterType::Float},
    {"KI_APR", "Position loop Ki", 0x1C, true, RegisterType::Float},
    {"OV_Value", "Over-voltage protection", 0x1D, true, RegisterType::Float},
    {"GREF", "Gear torque efficiency", 0x1E, true, RegisterType::Float},
    {"Deta", "Speed loop damping", 0x1F, true, RegisterType::Float},
    {"V_BW", "Speed loop filter bandwidth", 0x20, true, RegisterType::Float},
    {"IQ_c1", "Current loop enhancement", 0x21, true, RegisterType::Float},
    {"VL_c1", "Speed loop enhancement", 0x22, true, RegisterType::Float},
    {"can_br", "CAN baud rate code (0..4)", 0x23, true, RegisterType::Uint32},
    {"sub_ver", "Sub-version number", 0x24, false, RegisterType::Uint32},
    {"u_off", "U-phase offset", 0x32, false, RegisterType::Float},
    {"v_off", "V-phase offset", 0x33, false, RegisterType::Float},
    {"k1", "Compensation factor 1", 0x34, false, RegisterType::Float},
    {"k2", "Compensation factor 2", 0x35, false, RegisterType::Float},
    {"m_off", "Output-shaft angle offset", 0x36, false, RegisterType::Float},
    {"dir", "Direction", 0x37, false, RegisterType::Float},
    {"m_off_motor", "Motor-side angle offset", 0x38, false, RegisterType::Float},
    {"Imax", "Driver board max current", 0x3B, false, RegisterType::Float},
    {"VBus", "Power supply voltage", 0x3C, false, RegisterType::Float},
    {"Tpcb", "Driver board temperature", 0x3D, false, RegisterType::Float},
    {"Tmtr", "Motor temperature", 0x3E, false, RegisterType::Float},
    {"Iu_off", "U-phase current offset", 0x3F, false, RegisterType::Float},
    {"Iv_off", "V-phase current offset", 0x40, false, RegisterType::Float},
    {"Iw_off", "W-phase current offset", 0x41, false, RegisterType::Float},
    {"p_m", "Motor position", 0x50, false, RegisterType::Float},
    {"xout", "Output shaft position", 0x51, false, RegisterType::Float},
});

// Id to position in kEntries, or -1 for an empty slot.
constexpr std::array<int, kSlotCount> kSlots = [] {
    std::array<int, kSlotCount> slots{};
    slots.fill(-1);
    for (std::size_t i = 0; i < kEntries.size(); ++i) {
        slots[kEntries[i].id] = static_cast<int>(i);
    }
    return slots;
}();

static_assert(kEntries.size() == 53);
static_assert(kEntries.back().id == kSlotCount - 1);

}  // namespace

std::string_view to_string(RegisterType type) noexcept {
    return type == RegisterType::Float ? "Float" : "Uint32";
}

std::optional<RegisterInfo> lookup(std::uint8_t id) noexcept {
    if (id >= kSlotCount || kSlots[id] < 0) {
        return std::nullopt;
    }
    return kEntries[static_cast<std::size_t>(kSlots[id])];
}

std::span<const RegisterInfo> entries() noexcept {
    return kEntries;
}

}  // namespace candrive::damiao::registers
