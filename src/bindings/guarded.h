// A value behind a mutex that an internal failure poisons for good. Waiting for the mutex gives
// up the interpreter lock, so a holder that forwards a log record (and so needs the interpreter
// lock) can always finish. The mutex records its owner, so that the owning thread calling in
// again (a logging handler that uses the same controller) is refused instead of waiting for
// itself forever.
#pragma once

#include "bindings/gil.h"
#include "bindings/panic.h"

#include <atomic>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

namespace wenlo::py {

inline constexpr const char* kLockFailed = "Failed to lock motor controller";
inline constexpr const char* kReentered =
    "re-entrant call: this thread is already inside a method of this WenloMotorController "
    "(for example, a logging handler called it back); the call would wait for itself forever";

template <typename T>
class Guarded {
public:
    template <typename... Args>
    explicit Guarded(Args&&... args) : value_(std::forward<Args>(args)...) {}

    // Runs op(value) under the mutex. Returns nothing, with a Python exception set, when the
    // lock is poisoned or held by this very thread (RuntimeError) or op failed internally
    // (PanicException; poisons it). Call with the interpreter lock held.
    template <typename F>
    auto run(F&& op) -> std::optional<std::invoke_result_t<F, T&>> {
        std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock()) {
            // Only this thread can have stored its own id, so the check needs no ordering.
            if (owner_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
                PyErr_SetString(PyExc_RuntimeError, kReentered);
                return std::nullopt;
            }
            AllowThreads released;
            lock.lock();
        }
        if (poisoned_) {
            PyErr_SetString(PyExc_RuntimeError, kLockFailed);
            return std::nullopt;
        }
        Owner owner(owner_);
        try {
            return std::optional<std::invoke_result_t<F, T&>>(op(value_));
        } catch (...) {
            if (is_forced_unwind()) {
                throw;  // the thread is being ended; the lock is released on the way out
            }
            poisoned_ = true;
            raise_panic_from_current_exception();
            return std::nullopt;
        }
    }

    bool poisoned() const { return poisoned_; }

private:
    // Marks the current thread as the owner for the duration of one operation.
    class Owner {
    public:
        explicit Owner(std::atomic<std::thread::id>& slot) : slot_(slot) {
            slot_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        }
        ~Owner() { slot_.store(std::thread::id(), std::memory_order_relaxed); }
        Owner(const Owner&) = delete;
        Owner& operator=(const Owner&) = delete;

    private:
        std::atomic<std::thread::id>& slot_;
    };

    std::mutex mutex_;
    std::atomic<std::thread::id> owner_{};
    bool poisoned_ = false;
    T value_;
};

}  // namespace wenlo::py
