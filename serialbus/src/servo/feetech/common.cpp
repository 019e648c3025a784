#include "serialbus/servo/feetech/common.hpp"

#include <cmath>
#include <limits>

namespace serialbus::servo::feetech::common {

namespace {

using feetech_protocol::CommunicationErrorKind;

// One sync read of a register of `Width` bytes, each answer decoded as a little-endian value.
template <typename Value, std::size_t Width>
Result<std::vector<Value>> read_register(const FeetechProtocolHandler& handler, Port& port, Ids ids,
                                         std::uint8_t address) {
    auto answers = handler.sync_read(port, ids, address, Width);
    if (!answers) {
        return std::unexpected(answers.error());
    }
    std::vector<Value> values;
    values.reserve(answers->size());
    for (const auto& data : *answers) {
        if (data.size() != Width) {
            return std::unexpected(CommunicationErrorKind::parsing_error());
        }
        std::uint32_t raw = 0;
        for (std::size_t i = 0; i < Width; ++i) {
            raw |= static_cast<std::uint32_t>(data[i]) << (8 * i);
        }
        values.push_back(static_cast<Value>(raw));
    }
    return values;
}

template <typename Value, std::size_t Width>
Result<void> write_register(const FeetechProtocolHandler& handler, Port& port, Ids ids,
                            std::uint8_t address, std::span<const Value> values) {
    // Unequal lists would make the per-servo length of the packet meaningless.
    const std::size_t count = std::min(ids.size(), values.size());
    std::vector<std::vector<std::uint8_t>> data;
    data.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto raw =
            static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<Value>>(values[i]));
        std::vector<std::uint8_t> bytes(Width);
        for (std::size_t b = 0; b < Width; ++b) {
            bytes[b] = static_cast<std::uint8_t>(raw >> (8 * b));
        }
        data.push_back(std::move(bytes));
    }
    return handler.sync_write(port, ids.first(count), address, data);
}

}  // namespace

double raw_to_radians(std::int16_t raw) {
    return static_cast<double>(raw) * kTwoPi * (1.0 / 4096.0) - kPi;
}

std::int16_t radians_to_raw(double radians) {
    const double x = (radians + kPi) * 4096.0 / kTwoPi;
    if (std::isnan(x)) {
        return 0;
    }
    if (x <= static_cast<double>(std::numeric_limits<std::int16_t>::min())) {
        return std::numeric_limits<std::int16_t>::min();
    }
    if (x >= static_cast<double>(std::numeric_limits<std::int16_t>::max())) {
        return std::numeric_limits<std::int16_t>::max();
    }
    return static_cast<std::int16_t>(std::trunc(x));
}

Result<std::vector<std::int16_t>> sync_read_raw_present_position(
    const FeetechProtocolHandler& handler, Port& port, Ids ids) {
    return read_register<std::int16_t, 2>(handler, port, ids, PRESENT_POSITION);
}

Result<std::vector<double>> sync_read_present_position(const FeetechProtocolHandler& handler,
                                                       Port& port, Ids ids) {
    auto raw = sync_read_raw_present_position(handler, port, ids);
    if (!raw) {
        return std::unexpected(raw.error());
    }
    std::vector<double> radians;
    radians.reserve(raw->size());
    for (std::int16_t value : *raw) {
        radians.push_back(raw_to_radians(value));
    }
    return radians;
}

Result<std::vector<std::uint8_t>> sync_read_raw_torque_enable(const FeetechProtocolHandler& handler,
                                                              Port& port, Ids ids) {
    return read_register<std::uint8_t, 1>(handler, port, ids, TORQUE_ENABLE);
}

Result<std::vector<bool>> sync_read_torque_enable(const FeetechProtocolHandler& handler, Port& port,
                                                  Ids ids) {
    auto raw = sync_read_raw_torque_enable(handler, port, ids);
    if (!raw) {
        return std::unexpected(raw.error());
    }
    std::vector<bool> enabled;
    enabled.reserve(raw->size());
    for (std::uint8_t value : *raw) {
        enabled.push_back(value != 0);
    }
    return enabled;
}

Result<std::vector<std::uint8_t>> sync_read_present_voltage(const FeetechProtocolHandler& handler,
                                                            Port& port, Ids ids) {
    return read_register<std::uint8_t, 1>(handler, port, ids, PRESENT_VOLTAGE);
}

Telemetry decode_telemetry(std::span<const std::uint8_t, TELEMETRY_LENGTH> b) {
    const auto word = [&](std::size_t at) {
        return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
    };
    const std::uint16_t speed = word(PRESENT_SPEED - PRESENT_POSITION);
    const std::uint16_t load = word(PRESENT_LOAD - PRESENT_POSITION);
    const double steps = static_cast<double>(speed & 0x7FFF) * ((speed & 0x8000) ? -1.0 : 1.0);
    const double permille = static_cast<double>(load & 0x3FF) * ((load & 0x400) ? -1.0 : 1.0);
    return Telemetry{
        raw_to_radians(static_cast<std::int16_t>(word(0))),
        steps * kTwoPi / 4096.0,
        permille / 1000.0,
        static_cast<double>(b[PRESENT_VOLTAGE - PRESENT_POSITION]) / 10.0,
        static_cast<double>(b[PRESENT_TEMPERATURE - PRESENT_POSITION]),
    };
}

Result<std::vector<Telemetry>> sync_read_telemetry(const FeetechProtocolHandler& handler,
                                                   Port& port, Ids ids) {
    auto answers = handler.sync_read(port, ids, PRESENT_POSITION, TELEMETRY_LENGTH);
    if (!answers) {
        return std::unexpected(answers.error());
    }
    std::vector<Telemetry> values;
    values.reserve(answers->size());
    for (const auto& data : *answers) {
        if (data.size() != TELEMETRY_LENGTH) {
            return std::unexpected(CommunicationErrorKind::parsing_error());
        }
        values.push_back(
            decode_telemetry(std::span<const std::uint8_t, TELEMETRY_LENGTH>(data.data(), data.size())));
    }
    return values;
}

Result<void> sync_write_raw_goal_position(const FeetechProtocolHandler& handler, Port& port,
                                          Ids ids, std::span<const std::int16_t> raw) {
    return write_register<std::int16_t, 2>(handler, port, ids, GOAL_POSITION, raw);
}

Result<void> sync_write_goal_position(const FeetechProtocolHandler& handler, Port& port, Ids ids,
                                      std::span<const double> radians) {
    std::vector<std::int16_t> raw;
    raw.reserve(radians.size());
    for (double value : radians) {
        raw.push_back(radians_to_raw(value));
    }
    return sync_write_raw_goal_position(handler, port, ids, raw);
}

Result<void> sync_write_raw_torque_enable(const FeetechProtocolHandler& handler, Port& port,
                                          Ids ids, std::span<const std::uint8_t> raw) {
    return write_register<std::uint8_t, 1>(handler, port, ids, TORQUE_ENABLE, raw);
}

Result<void> sync_write_torque_enable(const FeetechProtocolHandler& handler, Port& port, Ids ids,
                                      const std::vector<bool>& enable) {
    std::vector<std::uint8_t> raw;
    raw.reserve(enable.size());
    for (bool value : enable) {
        raw.push_back(value ? 1 : 0);
    }
    return sync_write_raw_torque_enable(handler, port, ids, raw);
}

}  // namespace serialbus::servo::feetech::common
