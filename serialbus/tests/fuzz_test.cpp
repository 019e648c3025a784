#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "serialbus/feetech_protocol/feetech.hpp"

namespace {

using serialbus::feetech_protocol::feetech::checksum;
using serialbus::feetech_protocol::feetech::PacketFeetech;
using Bytes = std::vector<std::uint8_t>;

// Random and mutated packets: the parser must answer every one without reading past its input,
// and whatever it accepts must be consistent with the bytes.
TEST(StatusParserFuzz, NeverMisbehaves) {
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> byte(0, 255);
    testing::internal::CaptureStdout();
    std::size_t accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        Bytes bytes;
        if (round % 2 == 0) {
            bytes.resize(static_cast<std::size_t>(byte(random) % 24));
            for (auto& b : bytes) {
                b = static_cast<std::uint8_t>(byte(random));
            }
        } else {
            // A valid answer with a few bytes changed, cut or extended.
            const std::size_t data = static_cast<std::size_t>(byte(random) % 6);
            bytes = {0xFF, 0xFF, 1, static_cast<std::uint8_t>(data + 2), 0};
            for (std::size_t i = 0; i < data; ++i) {
                bytes.push_back(static_cast<std::uint8_t>(byte(random)));
            }
            bytes.push_back(checksum(std::span(bytes).subspan(2)));
            const int mutations = byte(random) % 3;
            for (int m = 0; m < mutations && !bytes.empty(); ++m) {
                switch (byte(random) % 3) {
                    case 0:
                        bytes[static_cast<std::size_t>(byte(random)) % bytes.size()] =
                            static_cast<std::uint8_t>(byte(random));
                        break;
                    case 1:
                        bytes.resize(static_cast<std::size_t>(byte(random)) % bytes.size());
                        break;
                    default:
                        bytes.push_back(static_cast<std::uint8_t>(byte(random)));
                        break;
                }
            }
        }
        // Exact-size heap copy so that the sanitizer sees any over-read.
        auto exact = std::make_unique<std::uint8_t[]>(bytes.size() + 1);
        std::copy(bytes.begin(), bytes.end(), exact.get());
        const auto parsed = PacketFeetech::status_packet(std::span(exact.get(), bytes.size()), 1);
        if (parsed) {
            ++accepted;
            ASSERT_GE(bytes.size(), 6U);
            ASSERT_EQ(bytes[3], bytes.size() - 4);
            ASSERT_EQ((*parsed)->params().size(), bytes.size() - 6);
        }
    }
    testing::internal::GetCapturedStdout();
    EXPECT_GT(accepted, 1000U);  // the mutated half often survives intact
}

}  // namespace
