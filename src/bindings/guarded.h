// A value behind a mutex that an internal failure poisons for good. Waiting for the mutex gives
// up the interpreter lock, so a holder that forwards a log record (and so needs the interpreter
// lock) can always finish.
#pragma once

#include "bindings/panic.h"

#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

namespace wenlo::py {

inline constexpr const char* kLockFailed = "Failed to lock motor controller";

template <typename T>
class Guarded {
public:
    template <typename... Args>
    explicit Guarded(Args&&... args) : value_(std::forward<Args>(args)...) {}

    // Runs op(value) under the mutex. Returns nothing, with a Python exception set, when the
    // lock is poisoned (RuntimeError) or op failed internally (PanicException; poisons it).
    // Call with the interpreter lock held.
    template <typename F>
    auto run(F&& op) -> std::optional<std::invoke_result_t<F, T&>> {
        std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock()) {
            Py_BEGIN_ALLOW_THREADS;
            lock.lock();
            Py_END_ALLOW_THREADS;
        }
        if (poisoned_) {
            PyErr_SetString(PyExc_RuntimeError, kLockFailed);
            return std::nullopt;
        }
        try {
            return std::optional<std::invoke_result_t<F, T&>>(op(value_));
        } catch (...) {
            poisoned_ = true;
            raise_panic_from_current_exception();
            return std::nullopt;
        }
    }

    bool poisoned() const { return poisoned_; }

private:
    std::mutex mutex_;
    bool poisoned_ = false;
    T value_;
};

}  // namespace wenlo::py
