#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "serialbus/feetech_protocol/feetech.hpp"
#include "serialbus/feetech_protocol/protocol_handler.hpp"

namespace {

using namespace serialbus::feetech_protocol;
using namespace serialbus::feetech_protocol::feetech;
using Bytes = std::vector<std::uint8_t>;

struct BuilderCase {
    std::string name;
    std::unique_ptr<packet::InstructionPacket> (*build)();
    Bytes wire;
};

const std::vector<Bytes> kTwoCentres{{0x00, 0x08}, {0x00, 0x08}};
const Bytes kPair{1, 2};
const Bytes kOne{1};

class InstructionBytes : public testing::TestWithParam<BuilderCase> {};

TEST_P(InstructionBytes, MatchWire) {
    EXPECT_EQ(GetParam().build()->to_bytes(), GetParam().wire);
}

INSTANTIATE_TEST_SUITE_P(
    Builders, InstructionBytes,
    testing::Values(
        BuilderCase{"ping",
                    [] -> std::unique_ptr<packet::InstructionPacket> {
                        return std::make_unique<InstructionPacketFeetech>(1, Instruction::Ping);
                    },
                    {0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB}},
        BuilderCase{"reboot",
                    [] -> std::unique_ptr<packet::InstructionPacket> {
                        return std::make_unique<InstructionPacketFeetech>(1, Instruction::Reboot);
                    },
                    {0xFF, 0xFF, 0x01, 0x02, 0x08, 0xF4}},
        BuilderCase{"read",
                    [] { return PacketFeetech::read_packet(1, 0x38, 2); },
                    {0xFF, 0xFF, 0x01, 0x04, 0x02, 0x38, 0x02, 0xBE}},
        BuilderCase{"sync_read",
                    [] { return PacketFeetech::sync_read_packet(kPair, 0x38, 2); },
                    {0xFF, 0xFF, 0xFE, 0x06, 0x82, 0x38, 0x02, 0x01, 0x02, 0x3C}},
        BuilderCase{
            "sync_write",
            [] { return PacketFeetech::sync_write_packet(kPair, 0x2A, kTwoCentres); },
            {0xFF, 0xFF, 0xFE, 0x0A, 0x83, 0x2A, 0x02, 0x01, 0x00, 0x08, 0x02, 0x00, 0x08, 0x35}},
        BuilderCase{"write",
                    [] { return PacketFeetech::write_packet(1, 0x28, kOne); },
                    {0xFF, 0xFF, 0x01, 0x04, 0x03, 0x28, 0x01, 0xCE}},
        BuilderCase{"sync_read_no_ids",
                    [] { return PacketFeetech::sync_read_packet({}, 0x38, 2); },
                    {0xFF, 0xFF, 0xFE, 0x04, 0x82, 0x38, 0x02, 0x41}}),
    [](const auto& info) { return info.param.name; });

TEST(InstructionPacket, SyncWriteShorterDataListLimitsEntries) {
    const Bytes ids{1, 2, 3};
    const std::vector<Bytes> data{{7}};
    const auto packet = PacketFeetech::sync_write_packet(ids, 40, data);
    // One entry (id 1, byte 7); per-servo length (2 / 3) - 1 underflows to the "0 or less" case.
    const auto params = packet->params();
    EXPECT_EQ(Bytes(params.begin(), params.end()), (Bytes{40, 0, 1, 7}));
    EXPECT_EQ(packet->id(), kBroadcastId);
    EXPECT_EQ(packet->instruction(), 0x83);
}

struct ParseCase {
    std::string name;
    Bytes bytes;
    std::uint8_t expected_id;
    std::optional<CommunicationErrorKind> error;
    Bytes data;
    Bytes codes;
};

class StatusParsing : public testing::TestWithParam<ParseCase> {};

TEST_P(StatusParsing, GivesDataOrError) {
    const auto& c = GetParam();
    testing::internal::CaptureStdout();
    const auto parsed = PacketFeetech::status_packet(c.bytes, c.expected_id);
    const std::string printed = testing::internal::GetCapturedStdout();
    if (c.error) {
        ASSERT_FALSE(parsed.has_value());
        EXPECT_EQ(parsed.error(), *c.error);
    } else {
        ASSERT_TRUE(parsed.has_value()) << parsed.error().message();
        EXPECT_EQ((*parsed)->id(), c.expected_id);
        const auto data = (*parsed)->params();
        EXPECT_EQ(Bytes(data.begin(), data.end()), c.data);
        const auto codes = (*parsed)->errors();
        EXPECT_EQ(Bytes(codes.begin(), codes.end()), c.codes);
    }
    // Only a checksum mismatch prints anything.
    const bool checksum = c.error == CommunicationErrorKind::checksum_error();
    EXPECT_EQ(printed.empty(), !checksum) << printed;
}

const auto kParsing = CommunicationErrorKind::parsing_error();
const auto kChecksum = CommunicationErrorKind::checksum_error();

INSTANTIATE_TEST_SUITE_P(
    Packets, StatusParsing,
    testing::Values(
        ParseCase{"ping_answer", {0xFF, 0xFF, 0x01, 0x02, 0x00, 0xFC}, 1, std::nullopt, {}, {}},
        ParseCase{"two_data_bytes",
                  {0xFF, 0xFF, 0x01, 0x04, 0x00, 0x00, 0x08, 0xF2},
                  1,
                  std::nullopt,
                  {0x00, 0x08},
                  {}},
        ParseCase{"five_bytes", {0xFF, 0xFF, 0x01, 0x02, 0x00}, 1, kParsing, {}, {}},
        ParseCase{"empty", {}, 1, kParsing, {}, {}},
        ParseCase{"other_id", {0xFF, 0xFF, 0x01, 0x02, 0x00, 0xFC}, 2, kParsing, {}, {}},
        ParseCase{"bad_checksum", {0xFF, 0xFF, 0x01, 0x02, 0x00, 0x00}, 1, kChecksum, {}, {}},
        // Checksum first: wrong id and wrong length still give ChecksumError.
        ParseCase{
            "bad_checksum_other_id", {0xFF, 0xFF, 0x01, 0x09, 0x00, 0x00}, 7, kChecksum, {}, {}},
        ParseCase{"length_says_more", {0xFF, 0xFF, 0x01, 0x03, 0x00, 0xFB}, 1, kParsing, {}, {}},
        ParseCase{
            "length_says_less", {0xFF, 0xFF, 0x01, 0x02, 0x00, 0x05, 0xF7}, 1, kParsing, {}, {}},
        ParseCase{"bad_header", {0xFF, 0x00, 0x01, 0x02, 0x00, 0xFC}, 1, kParsing, {}, {}},
        ParseCase{"error_bit_4_unreported",
                  {0xFF, 0xFF, 0x01, 0x02, 0x10, 0xEC},
                  1,
                  std::nullopt,
                  {},
                  {}},
        ParseCase{"error_bits_0_and_5",
                  {0xFF, 0xFF, 0x01, 0x02, 0x21, 0xDB},
                  1,
                  std::nullopt,
                  {},
                  {0, 4}},
        ParseCase{"all_error_bits",
                  {0xFF, 0xFF, 0x01, 0x02, 0xFF, 0xFD},
                  1,
                  std::nullopt,
                  {},
                  {0, 1, 2, 3, 4}}),
    [](const auto& info) { return info.param.name; });

TEST(StatusParsing, ChecksumDiagnosticLine) {
    testing::internal::CaptureStdout();
    const Bytes bytes{0xFF, 0xFF, 0x01, 0x02, 0x00, 0x00};
    const auto parsed = StatusPacketFeetech::from_bytes(bytes, 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "read crc: 0, computed crc: 252 data: [255, 255, 1, 2, 0, 0]\n");
    ASSERT_FALSE(parsed.has_value());
    EXPECT_EQ(parsed.error().message(), "Checksum error");
}

TEST(CommunicationErrorKind, NamesAndTexts) {
    const std::vector<std::tuple<CommunicationErrorKind, std::string, std::string>> cases{
        {CommunicationErrorKind::checksum_error(), "ChecksumError", "Checksum error"},
        {CommunicationErrorKind::parsing_error(), "ParsingError", "Parsing error"},
        {CommunicationErrorKind::timeout_error(), "TimeoutError", "Timeout error"},
        {CommunicationErrorKind::incorrect_id(3, 9), "IncorrectId(3, 9)",
         "Incorrect id (3 instead of 9)"},
        {CommunicationErrorKind::unsupported(), "Unsupported", "Operation not supported"},
    };
    for (const auto& [kind, debug, text] : cases) {
        EXPECT_EQ(kind.debug_string(), debug);
        EXPECT_EQ(kind.message(), text);
        EXPECT_EQ(ProtocolError(kind).message(), text);
        EXPECT_FALSE(ProtocolError(kind).is_transient());
    }
}

TEST(ProtocolError, TransientOnlyForTimedOutAndInterruptedIo) {
    using serialbus::IoError;
    using serialbus::IoErrorKind;
    EXPECT_TRUE(
        ProtocolError(IoError(IoErrorKind::TimedOut, "Operation timed out")).is_transient());
    EXPECT_TRUE(ProtocolError(IoError::from_errno(EINTR)).is_transient());
    EXPECT_FALSE(ProtocolError(IoError(IoErrorKind::UnexpectedEof, "failed to fill whole buffer"))
                     .is_transient());
    const ProtocolError port_error(
        serialbus::SerialPortError(serialbus::SerialPortErrorKind::Io, "Bad file descriptor"));
    EXPECT_FALSE(port_error.is_transient());
    EXPECT_EQ(port_error.message(), "Bad file descriptor");
    ASSERT_NE(port_error.serial_port_error(), nullptr);
    EXPECT_EQ(port_error.io_error(), nullptr);
    const ProtocolError wrapped(
        IoError(IoErrorKind::Other, "serial port not configured (neck-only controller)"));
    EXPECT_EQ(wrapped.message(), "serial port not configured (neck-only controller)");
    ASSERT_NE(wrapped.io_error(), nullptr);
    EXPECT_EQ(wrapped.io_error()->kind(), IoErrorKind::Other);
}

}  // namespace
