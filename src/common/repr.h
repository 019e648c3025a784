// Values written as Python's repr writes them, for the texts of the value classes.
#pragma once

#include "common/float_format.h"

#include <concepts>
#include <optional>
#include <ranges>
#include <string>

namespace wenlo::fmt {

inline std::string repr(double value) {
    return float_repr(value);
}
inline std::string repr(const std::string& text) {
    return "'" + text + "'";
}
template <std::integral T>
std::string repr(T value) {
    return std::to_string(value);
}
template <typename T>
std::string repr(const std::optional<T>& value) {
    return value ? repr(*value) : "None";
}
template <std::ranges::range R>
std::string repr(const R& values) {
    std::string text;
    for (const auto& value : values) {
        text += (text.empty() ? "" : ", ") + repr(value);
    }
    return "[" + text + "]";
}

}  // namespace wenlo::fmt
