// A shared record: a value behind its own mutex, shared between the loop object and the worker.
// A holder that fails while holding it poisons it for good; what that means is the reader's
// choice (log and read on, keep the old value, or treat it as an internal failure).
#pragma once

#include <mutex>
#include <utility>

namespace wenlo::control_loop {

template <typename T>
class Record {
public:
    explicit Record(T value) : value_(std::move(value)) {}

    // A copy of the value, and whether the record was poisoned.
    std::pair<T, bool> read() const {
        std::lock_guard lock(mutex_);
        return {guarded([&] { return value_; }), poisoned_};
    }

    // Replaces the value unless the record is poisoned; false when it was.
    bool store(T value) {
        std::lock_guard lock(mutex_);
        if (poisoned_) {
            return false;
        }
        guarded([&] { value_ = std::move(value); });
        return true;
    }

    // Runs f(value) under the lock, poisoned or not; f learns which.
    template <typename F>
    decltype(auto) with(F&& f) {
        std::lock_guard lock(mutex_);
        return guarded([&]() -> decltype(auto) { return f(value_, poisoned_); });
    }

    bool poisoned() const {
        std::lock_guard lock(mutex_);
        return poisoned_;
    }

private:
    // Called with the mutex held: a failure inside poisons the record and goes on.
    template <typename F>
    decltype(auto) guarded(F&& f) const {
        try {
            return f();
        } catch (...) {
            poisoned_ = true;
            throw;
        }
    }

    mutable std::mutex mutex_;
    mutable bool poisoned_ = false;
    T value_;
};

}  // namespace wenlo::control_loop
