// Calls into a running loop from other threads: a command queued, waiting for room, or a request
// whose answer the worker sends back on a reply channel. A caller waits in slices of at most
// 100 ms through its Waiter, which may give up a lock for the slice (the worker may need it to
// log) and between slices may stop the call (a signal in Python). Values that a queued command
// could no longer report to its caller (a NaN goal, a write too long for one packet) are refused
// here, before anything is queued.
#pragma once

#include "control_loop/control_loop.h"
#include "controller/pid_gains.h"

#include <cstdint>
#include <expected>
#include <functional>
#include <string>

namespace wenlo::control_loop {

struct CallFailure {
    enum class Kind {
        Failed,   // the call's error text
        Refused,  // a value refused before anything was queued
        Stopped,  // the waiter stopped the wait
    };
    Kind kind;
    std::string text;
};
template <typename T>
using CallResult = std::expected<T, CallFailure>;

// How a caller waits for the worker: `slice` runs one slice of the wait (giving up whatever the
// worker may need meanwhile), and `stop`, asked between slices, ends the call when true.
struct Waiter {
    std::function<void(const std::function<void()>&)> slice;
    controller::InterruptCheck stop;
};

inline constexpr const char* kChannelClosed = "channel closed";

// Queues the command; "channel closed" once the queue is closed.
CallResult<void> send(ControlLoop& loop, MotorCommand command, const Waiter& wait);

// Register access by the worker, each failing with the method's prefix before the
// communication error's text, whether the queue is closed or no answer comes within 1 s.
CallResult<Bytes> read_raw_bytes(ControlLoop& loop, std::uint8_t id, std::uint8_t address,
                                 std::uint8_t length, const Waiter& wait);
CallResult<void> write_raw_bytes(ControlLoop& loop, std::uint8_t id, std::uint8_t address,
                                 Bytes data, const Waiter& wait);
CallResult<controller::PidGains> read_pid_gains(ControlLoop& loop, std::uint8_t id,
                                                const Waiter& wait);
// One byte a register: the low byte of each value.
CallResult<void> write_pid_gains(ControlLoop& loop, std::uint8_t id, std::uint16_t p,
                                 std::uint16_t i, std::uint16_t d, const Waiter& wait);
// The emergency stop: latched at once, then ahead of everything queued (which is dropped; its
// waiting callers fail with the stop's text) and of the next tick, the worker damps the neck and
// switches the servos' torque off. Returns once the frames are on the wire, with the first
// failure if a step failed.
CallResult<void> estop(ControlLoop& loop, const Waiter& wait);

// The packet as it is, and whatever answer the worker read back; waits as long as it takes.
CallResult<Bytes> write_raw_packet(ControlLoop& loop, Bytes data, const Waiter& wait);

}  // namespace wenlo::control_loop
