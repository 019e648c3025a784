// The one logging interface below the Python boundary. The bindings install the sink at import;
// until then (and in plain C++ tests) records go nowhere.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace wenlo::log {

enum class Level : std::uint8_t { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

inline constexpr std::string_view kControllerTarget = "wenlo_motor_controller::controller";
inline constexpr std::string_view kControlLoopTarget = "wenlo_motor_controller::control_loop";

class Sink {
public:
    virtual ~Sink() = default;
    // Cheap pre-check so callers can skip building a message nobody wants.
    virtual bool enabled(std::string_view target, Level level) = 0;
    virtual void log(std::string_view target, Level level, std::string_view message,
                     const char* file, std::uint32_t line) = 0;
};

namespace detail {
extern std::atomic<Sink*> g_sink;
// The sink's settled verdict for the system's two targets: 0 while it has none, else the most
// verbose level it accepts plus one (1: nothing). Read without a lock on every record.
extern std::atomic<std::uint8_t> g_settled[2];
inline int known_target(std::string_view target) {
    // The layers pass these constants, so the pointer identifies them; other views ask the sink.
    if (target.data() == kControllerTarget.data()) {
        return 0;
    }
    if (target.data() == kControlLoopTarget.data()) {
        return 1;
    }
    return -1;
}
}  // namespace detail

// Registers the process-wide sink; false if one is already registered.
[[nodiscard]] bool set_sink(Sink* sink);

// Called by a sink once its answer for a target is fixed for good: records of that target below
// `verbosest` (none at all when it is nullopt) are then dropped without asking the sink.
void settle(std::string_view target, std::optional<Level> verbosest);

// Inline: every WENLO_LOG asks it, and a record nobody wants should cost a few nanoseconds.
inline bool enabled(std::string_view target, Level level) {
    if (const int known = detail::known_target(target); known >= 0) {
        const std::uint8_t settled = detail::g_settled[known].load(std::memory_order_relaxed);
        if (settled != 0) {
            return static_cast<std::uint8_t>(level) + 1 <= settled;
        }
    }
    Sink* sink = detail::g_sink.load(std::memory_order_acquire);
    return sink != nullptr && sink->enabled(target, level);
}
void write(std::string_view target, Level level, std::string_view message, const char* file,
           std::uint32_t line);

}  // namespace wenlo::log

#define WENLO_LOG(target, level, message_expr)                                              \
    do {                                                                                    \
        if (::wenlo::log::enabled((target), (level))) {                                     \
            ::wenlo::log::write((target), (level), (message_expr), __FILE__, __LINE__);     \
        }                                                                                   \
    } while (0)
