#include "damiaosim/can_timing.hpp"

#include <linux/can.h>

#include <vector>

namespace damiaosim {
namespace {

void put(std::vector<bool>& bits, std::uint32_t value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        bits.push_back(((value >> i) & 1u) != 0);
    }
}

std::uint32_t crc15(const std::vector<bool>& bits) {
    std::uint32_t crc = 0;
    for (bool bit : bits) {
        const bool top = ((crc >> 14) & 1u) != 0;
        crc = (crc << 1) & 0x7FFFu;
        if (bit != top) {
            crc ^= 0x4599u;
        }
    }
    return crc;
}

}  // namespace

std::size_t frame_bits(std::uint32_t can_id, std::span<const std::uint8_t> data) {
    const std::size_t len = data.size() > 8 ? 8 : data.size();
    std::vector<bool> bits;
    bits.push_back(false);  // start of frame
    if ((can_id & CAN_EFF_FLAG) != 0) {
        const std::uint32_t id = can_id & CAN_EFF_MASK;
        put(bits, id >> 18, 11);
        bits.push_back(true);  // SRR
        bits.push_back(true);  // IDE
        put(bits, id & 0x3FFFFu, 18);
        bits.push_back(false);  // RTR
        bits.push_back(false);  // r1
        bits.push_back(false);  // r0
    } else {
        put(bits, can_id & CAN_SFF_MASK, 11);
        bits.push_back(false);  // RTR
        bits.push_back(false);  // IDE
        bits.push_back(false);  // r0
    }
    put(bits, static_cast<std::uint32_t>(len), 4);
    for (std::size_t i = 0; i < len; ++i) {
        put(bits, data[i], 8);
    }
    put(bits, crc15(bits), 15);
    // After five equal bits the sender inserts the opposite one, which starts the next run.
    std::size_t stuffed = 0;
    int run = 0;
    bool last = !bits.front();
    for (bool bit : bits) {
        run = bit == last ? run + 1 : 1;
        last = bit;
        if (run == 5) {
            ++stuffed;
            last = !bit;
            run = 1;
        }
    }
    // CRC delimiter, ACK slot and delimiter, end of frame (7) and interframe space (3).
    return bits.size() + stuffed + 13;
}

}  // namespace damiaosim
