// The lock of a WenloMotorController as Python methods take it. Waiting for it gives up the
// interpreter lock, so a holder that forwards a log record (and so needs the interpreter lock)
// can always finish; the thread already inside calling again (a logging handler that uses the
// same controller) is refused instead of waiting for itself forever; a lock that an internal
// failure poisoned refuses every later call.
#pragma once

#include "bindings/gil.h"
#include "common/guarded.h"

#include <mutex>
#include <optional>
#include <type_traits>

namespace wenlo::py {

inline constexpr const char* kLockFailed = "Failed to lock motor controller";
inline constexpr const char* kReentered =
    "re-entrant call: this thread is already inside a method of this WenloMotorController "
    "(for example, a logging handler called it back); the call would wait for itself forever";

// Waits for the lock with the interpreter lock given up, as its holder may need it to log.
inline void lock_without_gil(std::unique_lock<std::mutex>& lock) {
    AllowThreads released;
    lock.lock();
}

// Runs op(value) under the lock; nothing, with RuntimeError set, when the lock is poisoned or
// held by this very thread. A C++ exception from op poisons the lock and passes on (the
// method's entry turns it into PanicException). Call with the interpreter lock held.
template <typename T, typename Op>
auto run_locked(Guarded<T>& guarded, Op&& op) -> std::optional<std::invoke_result_t<Op, T&>> {
    using R = std::invoke_result_t<Op, T&>;
    auto outcome = guarded.with_or_reentered(
        [&](T& value, bool poisoned) -> std::optional<R> {
            if (poisoned) {
                PyErr_SetString(PyExc_RuntimeError, kLockFailed);
                return std::nullopt;
            }
            return std::optional<R>(op(value));
        },
        lock_without_gil);
    if (!outcome) {
        PyErr_SetString(PyExc_RuntimeError, kReentered);
        return std::nullopt;
    }
    return std::move(*outcome);
}

}  // namespace wenlo::py
