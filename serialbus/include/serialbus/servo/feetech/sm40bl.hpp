#pragma once

#include "serialbus/servo/feetech/common.hpp"

// Group operations of the SM40BL, the arm servos. Same registers and scale as the other model on
// the bus.
namespace serialbus::servo::feetech::sm40bl {

using common::GOAL_POSITION;
using common::PRESENT_POSITION;
using common::PRESENT_VOLTAGE;
using common::Telemetry;
using common::TORQUE_ENABLE;

using common::decode_telemetry;
using common::radians_to_raw;
using common::raw_to_radians;

using common::sync_read_present_position;
using common::sync_read_present_voltage;
using common::sync_read_telemetry;
using common::sync_read_raw_present_position;
using common::sync_read_raw_torque_enable;
using common::sync_read_torque_enable;
using common::sync_write_goal_position;
using common::sync_write_raw_goal_position;
using common::sync_write_raw_torque_enable;
using common::sync_write_torque_enable;

}  // namespace serialbus::servo::feetech::sm40bl
