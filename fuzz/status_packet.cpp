// The status-packet reader and parser: whatever the line delivers, the reader answers with a
// packet or a typed error, never reads past what it was given, and what it accepts matches
// the bytes. The first byte chooses the id asked for.
#include <cstdio>
#include <cstdlib>

#include "byte_port.hpp"
#include "serialbus/feetech_protocol/feetech.hpp"
#include "serialbus/feetech_protocol/protocol_handler.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::uint8_t id = data[0];
    const std::span<const std::uint8_t> line(data + 1, size - 1);

    wenlo_fuzz::BytePort port(line);
    serialbus::feetech_protocol::FeetechProtocolHandler handler;
    auto read = handler.read_status_packet(port, id);
    if (read) {
        const std::size_t taken = port.consumed();
        FUZZ_CHECK(taken >= 6 && line[0] == 0xFF && line[1] == 0xFF);
        FUZZ_CHECK(line[3] == taken - 4);
        FUZZ_CHECK((*read)->params().size() == taken - 6);
        FUZZ_CHECK((*read)->id() == id);
    }
    auto parsed = serialbus::feetech_protocol::feetech::PacketFeetech::status_packet(line, id);
    if (parsed) {
        FUZZ_CHECK(line.size() >= 6 && line[3] == line.size() - 4);
        FUZZ_CHECK((*parsed)->params().size() == line.size() - 6);
    }
    return 0;
}
