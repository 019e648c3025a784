// A group read's answers: for any bytes on the line, sync_read either returns one answer per
// id, each checked against its own id, or one typed error; it never mixes answers up or reads
// past the line. The first byte chooses how many servos were asked and the data length.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "byte_port.hpp"
#include "serialbus/feetech_protocol/protocol_handler.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::size_t count = 1 + data[0] % 7;
    const std::uint8_t length = data[1] % 5;
    std::vector<std::uint8_t> ids;
    for (std::size_t i = 0; i < count; ++i) {
        ids.push_back(static_cast<std::uint8_t>(i + 1));
    }
    wenlo_fuzz::BytePort port(std::span(data + 2, size - 2));
    serialbus::feetech_protocol::FeetechProtocolHandler handler;
    auto answers = handler.sync_read(port, ids, 56, length);
    if (answers) {
        FUZZ_CHECK(answers->size() == ids.size());
        // Each answer came in its own packet, of the id asked in that turn.
        const std::uint8_t* at = data + 2;
        for (std::size_t i = 0; i < ids.size(); ++i) {
            FUZZ_CHECK(at[2] == ids[i]);
            FUZZ_CHECK((*answers)[i].size() + 2 == at[3]);
            at += 4 + at[3];
        }
        FUZZ_CHECK(static_cast<std::size_t>(at - (data + 2)) == port.consumed());
    }
    return 0;
}
