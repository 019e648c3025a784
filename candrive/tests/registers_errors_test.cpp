#include <gtest/gtest.h>

#include <cerrno>
#include <set>

#include "candrive/damiao/error.hpp"
#include "candrive/damiao/registers.hpp"
#include "candrive/transport/can_error.hpp"

namespace {

using candrive::damiao::error::Error;
using candrive::damiao::registers::entries;
using candrive::damiao::registers::lookup;
using candrive::damiao::registers::RegisterType;
using candrive::transport::CanError;
using candrive::transport::OsError;

TEST(RegisterTable, HasFiftyThreeEntriesInTheirOwnSlots) {
    EXPECT_EQ(entries().size(), 53U);
    std::set<std::string_view> names;
    for (const auto& entry : entries()) {
        const auto found = lookup(entry.id);
        ASSERT_TRUE(found.has_value()) << int(entry.id);
        EXPECT_EQ(found->name, entry.name);
        EXPECT_FALSE(entry.description.empty());
        names.insert(entry.name);
    }
    EXPECT_EQ(names.size(), 53U) << "names must be distinct";
}

TEST(RegisterTable, GapsAndIdsBeyondTheTableAreEmpty) {
    std::size_t filled = 0;
    for (int id = 0; id < 256; ++id) {
        const bool in_gap = (id >= 0x25 && id <= 0x31) || id == 0x39 || id == 0x3A ||
                            (id >= 0x42 && id <= 0x4F) || id >= 0x52;
        EXPECT_EQ(lookup(static_cast<std::uint8_t>(id)).has_value(), !in_gap) << id;
        filled += lookup(static_cast<std::uint8_t>(id)).has_value() ? 1 : 0;
    }
    EXPECT_EQ(filled, 53U);
}

struct EntryCase {
    std::uint8_t id;
    std::string_view name;
    std::string_view description;
    bool writable;
    RegisterType type;
};

class RegisterEntries : public ::testing::TestWithParam<EntryCase> {};

TEST_P(RegisterEntries, MatchExactly) {
    const auto& c = GetParam();
    const auto entry = lookup(c.id);
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->id, c.id);
    EXPECT_EQ(entry->name, c.name);
    EXPECT_EQ(entry->description, c.description);
    EXPECT_EQ(entry->writable, c.writable);
    EXPECT_EQ(entry->value_type, c.type);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, RegisterEntries,
    ::testing::Values(
        EntryCase{0x00, "UV_Value", "Under-voltage protection value", true, RegisterType::Float},
        EntryCase{0x07, "MST_ID", "Feedback (master) CAN id", true, RegisterType::Uint32},
        EntryCase{0x09, "TIMEOUT", "Timeout alarm (1 unit = 50 us)", true, RegisterType::Uint32},
        EntryCase{0x0A, "CTRL_MODE", "Control mode 1=MIT 2=POS_VEL 3=VEL 4=FORCE_POS", true,
                  RegisterType::Uint32},
        EntryCase{0x0B, "Damp", "Viscous damping coefficient", false, RegisterType::Float},
        EntryCase{0x0F, "SN", "Serial number (reserved)", false, RegisterType::Uint32},
        EntryCase{0x22, "VL_c1", "Speed loop enhancement", true, RegisterType::Float},
        EntryCase{0x23, "can_br", "CAN baud rate code (0..4)", true, RegisterType::Uint32},
        EntryCase{0x24, "sub_ver", "Sub-version number", false, RegisterType::Uint32},
        EntryCase{0x32, "u_off", "U-phase offset", false, RegisterType::Float},
        EntryCase{0x38, "m_off_motor", "Motor-side angle offset", false, RegisterType::Float},
        EntryCase{0x3B, "Imax", "Driver board max current", false, RegisterType::Float},
        EntryCase{0x41, "Iw_off", "W-phase current offset", false, RegisterType::Float},
        EntryCase{0x50, "p_m", "Motor position", false, RegisterType::Float},
        EntryCase{0x51, "xout", "Output shaft position", false, RegisterType::Float}));

TEST(RegisterTable, WritableAndUint32Sets) {
    std::set<int> writable, uint32;
    for (const auto& e : entries()) {
        if (e.writable)
            writable.insert(e.id);
        if (e.value_type == RegisterType::Uint32)
            uint32.insert(e.id);
    }
    std::set<int> expected_writable;
    for (int id = 0x00; id <= 0x0A; ++id)
        expected_writable.insert(id);
    for (int id = 0x15; id <= 0x23; ++id)
        expected_writable.insert(id);
    EXPECT_EQ(writable, expected_writable);
    EXPECT_EQ(uint32, (std::set<int>{0x07, 0x08, 0x09, 0x0A, 0x0D, 0x0E, 0x0F, 0x10, 0x23, 0x24}));
}

struct TextCase {
    std::string got;
    std::string expected;
};

class ErrorTexts : public ::testing::TestWithParam<TextCase> {};

TEST_P(ErrorTexts, AreExact) {
    EXPECT_EQ(GetParam().got, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    All, ErrorTexts,
    ::testing::Values(
        TextCase{CanError::timeout().message(), "timeout waiting for frame"},
        TextCase{CanError::invalid_id().message(), "invalid CAN id"},
        TextCase{CanError::frame_too_large(9).message(),
                 "frame too large for selected mode: 9 bytes"},
        TextCase{CanError::io_errno(ENODEV).message(),
                 "backend error: No such device (os error 19)"},
        TextCase{CanError::io_errno(EINVAL).message(),
                 "backend error: Invalid argument (os error 22)"},
        TextCase{CanError::io(OsError::custom("failed to write whole buffer")).message(),
                 "backend error: failed to write whole buffer"},
        TextCase{Error{Error::Transport{CanError::timeout()}}.message(),
                 "transport error: timeout waiting for frame"},
        TextCase{Error{Error::UnknownRegister{37}}.message(),
                 "register 37 is not in the Damiao register table"},
        TextCase{Error{Error::ReadOnly{11}}.message(), "register 11 is read-only"},
        TextCase{
            Error{Error::TypeMismatch{RegisterType::Uint32, RegisterType::Float, 10}}.message(),
            "register 10: expected Uint32, got Float"},
        TextCase{Error{Error::TypeMismatch{RegisterType::Float, RegisterType::Uint32, 0}}.message(),
                 "register 0: expected Float, got Uint32"},
        TextCase{Error{Error::ControlModeMismatch{1, 2}}.message(),
                 "control mode verification failed: wrote 1, motor reports 2"},
        TextCase{Error{Error::ReplyTooShort{3}}.message(), "reply too short: 3 bytes"}));

TEST(OsErrorValue, KeepsItsNumber) {
    EXPECT_EQ(OsError::from_errno(ENODEV).raw_os_error(), ENODEV);
    EXPECT_FALSE(OsError::custom("x").raw_os_error().has_value());
}

}  // namespace
