// A value behind its own mutex that a failure while it is held poisons for good: the loop's
// shared records, and the controller of a WenloMotorController. What a poisoned value means is
// the holder's choice (log and read on, keep the old value, refuse the call). The mutex knows
// the thread inside it, so that this thread calling in again can be refused instead of waiting
// for itself forever.
#pragma once

#include "common/forced_unwind.h"

#include <atomic>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

namespace wenlo {

template <typename T>
class Guarded {
public:
    template <typename... Args>
    explicit Guarded(Args&&... args) : value_(std::forward<Args>(args)...) {}

    // Runs f(value, poisoned) under the mutex; a failure inside f poisons it and passes on.
    template <typename F>
    decltype(auto) with(F&& f) {
        std::lock_guard lock(mutex_);
        return locked(f);
    }

    // The same for a caller that must not simply block: when the mutex is taken, wait(lock)
    // takes it (after giving up whatever the holder may need), unless this very thread holds
    // it, which would wait forever: then nothing runs and the result is empty.
    template <typename F, typename Wait>
    auto with_or_reentered(F&& f, Wait&& wait)
        -> std::optional<std::invoke_result_t<F, T&, bool>> {
        std::unique_lock lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock()) {
            // Only this thread can have stored its own id, so the check needs no ordering.
            if (owner_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
                return std::nullopt;
            }
            wait(lock);
        }
        return locked(f);
    }

    // A copy of the value, and whether it was poisoned.
    std::pair<T, bool> read() const {
        std::lock_guard lock(mutex_);
        return {locked([](const T& value, bool) { return value; }), poisoned_};
    }

    // Replaces the value unless it is poisoned; false when it was.
    bool store(T value) {
        std::lock_guard lock(mutex_);
        if (poisoned_) {
            return false;
        }
        locked([&](T& held, bool) { held = std::move(value); });
        return true;
    }

private:
    // Marks the current thread as the one inside, for the length of one call.
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

    // Called with the mutex held. A thread that the interpreter ends at exit unwinds through
    // here; that is no failure of the value.
    template <typename F>
    decltype(auto) locked(F&& f) const {
        Owner owner(owner_);
        try {
            return f(value_, poisoned_);
        } catch (...) {
            if (!is_forced_unwind()) {
                poisoned_ = true;
            }
            throw;
        }
    }

    mutable std::mutex mutex_;
    mutable std::atomic<std::thread::id> owner_{};
    mutable bool poisoned_ = false;
    mutable T value_;
};

}  // namespace wenlo
