// The command queue: bounded, many producers, one consumer. Producers wait for room; the
// consumer waits for an item, a deadline or a nudge on the same condition, so the worker sleeps
// on one primitive. Closing the consumer's end hands back whatever is still inside, so that the
// caller can release it (and with it each command's reply channel) outside the lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

namespace wenlo::control_loop {

enum class SendStatus { Sent, Closed, TimedOut };

template <typename T>
class BoundedQueue {
public:
    using Clock = std::chrono::steady_clock;

    explicit BoundedQueue(std::size_t capacity) : capacity_(capacity) {}

    // Waits for room until the deadline. The item is moved in only when Sent; otherwise the
    // caller still has it.
    SendStatus send_until(T& item, Clock::time_point deadline) {
        std::unique_lock lock(mutex_);
        if (!not_full_.wait_until(lock, deadline, [&] { return room_or_closed(); })) {
            return SendStatus::TimedOut;
        }
        return push(lock, item);
    }

    // Consumer: returns when an item is waiting, the deadline has passed or nudge() was called.
    void wait_until(Clock::time_point deadline) {
        std::unique_lock lock(mutex_);
        not_empty_.wait_until(lock, deadline, [&] { return !items_.empty() || nudged_; });
        nudged_ = false;
    }
    // Jumps the queue: the item goes in first, whatever the room, and everything queued before
    // it is handed back, dropped (release it outside the lock). The consumer finds it with
    // take_urgent() before anything else. Closed once the consumer's end is closed.
    SendStatus preempt(T& item, std::deque<T>& dropped) {
        std::unique_lock lock(mutex_);
        if (closed_) {
            return SendStatus::Closed;
        }
        dropped = std::exchange(items_, {});
        items_.push_back(std::move(item));
        urgent_ = true;
        lock.unlock();
        not_full_.notify_all();
        not_empty_.notify_one();
        return SendStatus::Sent;
    }
    std::optional<T> take_urgent() {
        std::unique_lock lock(mutex_);
        if (!std::exchange(urgent_, false) || items_.empty()) {
            return std::nullopt;
        }
        T item = std::move(items_.front());
        items_.pop_front();
        return item;
    }
    bool has_item() {
        std::lock_guard lock(mutex_);
        return !items_.empty();
    }
    std::optional<T> try_pop() {
        std::unique_lock lock(mutex_);
        if (items_.empty()) {
            return std::nullopt;
        }
        T item = std::move(items_.front());
        items_.pop_front();
        lock.unlock();
        not_full_.notify_one();
        return item;
    }
    // Wakes the consumer without an item (to look at its stop flag).
    void nudge() {
        {
            std::lock_guard lock(mutex_);
            nudged_ = true;
        }
        not_empty_.notify_all();
    }

    // Refuses new items from now on; those inside stay for the consumer to take.
    void refuse_new() {
        {
            std::lock_guard lock(mutex_);
            refusing_ = true;
        }
        not_full_.notify_all();
    }

    // Closes the queue if it is empty, atomically with the check, so that nothing can slip in
    // between the consumer's last look and the closing. False when items are still waiting.
    bool close_if_empty() {
        std::unique_lock lock(mutex_);
        if (!items_.empty()) {
            return false;
        }
        closed_ = true;
        lock.unlock();
        not_full_.notify_all();
        return true;
    }
    // Closes the queue and hands back what is left inside, unprocessed.
    std::deque<T> close() {
        std::unique_lock lock(mutex_);
        closed_ = true;
        std::deque<T> left = std::exchange(items_, {});
        lock.unlock();
        not_full_.notify_all();
        not_empty_.notify_all();
        return left;
    }
private:
    bool room_or_closed() const { return closed_ || refusing_ || items_.size() < capacity_; }
    SendStatus push(std::unique_lock<std::mutex>& lock, T& item) {
        if (closed_ || refusing_) {
            return SendStatus::Closed;
        }
        items_.push_back(std::move(item));
        lock.unlock();
        not_empty_.notify_one();
        return SendStatus::Sent;
    }

    const std::size_t capacity_;
    std::mutex mutex_;
    std::condition_variable not_full_;
    std::condition_variable not_empty_;
    std::deque<T> items_;
    bool closed_ = false;
    bool refusing_ = false;
    bool nudged_ = false;
    bool urgent_ = false;
};

}  // namespace wenlo::control_loop
