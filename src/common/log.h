// The one logging interface below the Python boundary. The bindings install the sink at import;
// until then (and in plain C++ tests) records go nowhere.
#pragma once

#include <cstdint>
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

// Registers the process-wide sink; false if one is already registered.
[[nodiscard]] bool set_sink(Sink* sink);
bool enabled(std::string_view target, Level level);
void write(std::string_view target, Level level, std::string_view message, const char* file,
           std::uint32_t line);

}  // namespace wenlo::log

#define WENLO_LOG(target, level, message_expr)                                              \
    do {                                                                                    \
        if (::wenlo::log::enabled((target), (level))) {                                     \
            ::wenlo::log::write((target), (level), (message_expr), __FILE__, __LINE__);     \
        }                                                                                   \
    } while (0)
