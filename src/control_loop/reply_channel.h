// One-shot reply channels from the worker back to a waiting caller. The command carries the
// sending end; releasing it unsent closes the channel, which the receiver sees at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace wenlo::control_loop {

enum class ReplyError { Closed, TimedOut };

namespace detail {
template <typename T>
struct ReplyState {
    std::mutex mutex;
    std::condition_variable ready;
    std::optional<T> value;
    bool sender_gone = false;
    bool receiver_gone = false;
};
}  // namespace detail

template <typename T>
class ReplySender {
public:
    explicit ReplySender(std::shared_ptr<detail::ReplyState<T>> state) : state_(std::move(state)) {}
    ReplySender(ReplySender&&) noexcept = default;
    ReplySender& operator=(ReplySender&& other) noexcept {
        if (this != &other) {
            close();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    ~ReplySender() { close(); }

    // Hands the value over; false (the value dropped) when the receiver no longer waits.
    bool send(T value) {
        auto state = std::exchange(state_, nullptr);
        if (!state) {
            return false;
        }
        std::lock_guard lock(state->mutex);
        state->sender_gone = true;
        if (state->receiver_gone) {
            return false;
        }
        state->value.emplace(std::move(value));
        state->ready.notify_all();
        return true;
    }

private:
    void close() {
        if (auto state = std::exchange(state_, nullptr)) {
            std::lock_guard lock(state->mutex);
            state->sender_gone = true;
            state->ready.notify_all();
        }
    }
    std::shared_ptr<detail::ReplyState<T>> state_;
};

template <typename T>
class ReplyReceiver {
public:
    explicit ReplyReceiver(std::shared_ptr<detail::ReplyState<T>> state)
        : state_(std::move(state)) {}
    ReplyReceiver(ReplyReceiver&&) noexcept = default;
    ReplyReceiver& operator=(ReplyReceiver&&) = delete;
    ~ReplyReceiver() {
        if (state_) {
            std::lock_guard lock(state_->mutex);
            state_->receiver_gone = true;
        }
    }

    // The value, Closed once the sender went without one, or TimedOut at the deadline.
    template <typename Clock, typename Dur>
    std::expected<T, ReplyError> wait_until(std::chrono::time_point<Clock, Dur> deadline) {
        std::unique_lock lock(state_->mutex);
        if (!state_->ready.wait_until(lock, deadline, [&] { return done(); })) {
            return std::unexpected(ReplyError::TimedOut);
        }
        return take();
    }
    std::expected<T, ReplyError> wait() {
        std::unique_lock lock(state_->mutex);
        state_->ready.wait(lock, [&] { return done(); });
        return take();
    }

private:
    bool done() const { return state_->value.has_value() || state_->sender_gone; }
    std::expected<T, ReplyError> take() {
        if (!state_->value) {
            return std::unexpected(ReplyError::Closed);
        }
        T value = std::move(*state_->value);
        state_->value.reset();
        return value;
    }
    std::shared_ptr<detail::ReplyState<T>> state_;
};

template <typename T>
std::pair<ReplySender<T>, ReplyReceiver<T>> reply_channel() {
    auto state = std::make_shared<detail::ReplyState<T>>();
    return {ReplySender<T>(state), ReplyReceiver<T>(state)};
}

}  // namespace wenlo::control_loop
