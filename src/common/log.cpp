#include "common/log.h"

#include <atomic>

namespace wenlo::log {
namespace detail {
std::atomic<Sink*> g_sink{nullptr};
std::atomic<std::uint8_t> g_settled[2] = {0, 0};
}  // namespace detail

void settle(std::string_view target, std::optional<Level> verbosest) {
    if (const int known = detail::known_target(target); known >= 0) {
        const std::uint8_t value = verbosest ? static_cast<std::uint8_t>(*verbosest) + 1 : 1;
        detail::g_settled[known].store(value, std::memory_order_relaxed);
    }
}
using detail::g_sink;

bool set_sink(Sink* sink) {
    Sink* expected = nullptr;
    return g_sink.compare_exchange_strong(expected, sink);
}

void write(std::string_view target, Level level, std::string_view message, const char* file,
           std::uint32_t line) {
    if (Sink* sink = g_sink.load(std::memory_order_acquire)) {
        sink->log(target, level, message, file, line);
    }
}

}  // namespace wenlo::log
