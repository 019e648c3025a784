#include "common/log.h"

#include <atomic>

namespace wenlo::log {
namespace {
std::atomic<Sink*> g_sink{nullptr};
}

bool set_sink(Sink* sink) {
    Sink* expected = nullptr;
    return g_sink.compare_exchange_strong(expected, sink);
}

bool enabled(std::string_view target, Level level) {
    Sink* sink = g_sink.load(std::memory_order_acquire);
    return sink != nullptr && sink->enabled(target, level);
}

void write(std::string_view target, Level level, std::string_view message, const char* file,
           std::uint32_t line) {
    if (Sink* sink = g_sink.load(std::memory_order_acquire)) {
        sink->log(target, level, message, file, line);
    }
}

}  // namespace wenlo::log
