#include "common/float_format.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace wenlo::fmt {
namespace {

std::string non_finite(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    return value < 0 ? "-inf" : "inf";
}

std::string shortest_fixed(double value) {
    char buf[400];  // fixed form of the largest double has 309 digits
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
    return std::string(buf, res.ptr);
}

}  // namespace

std::string float_repr(double value) {
    if (!std::isfinite(value)) {
        return non_finite(value);
    }
    const double mag = std::fabs(value);
    if (mag != 0.0 && (mag < 1e-4 || mag >= 1e16)) {
        char buf[64];
        auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
        std::string text(buf, res.ptr);  // e.g. "2.5e-07", "1e+16"
        const auto e = text.find('e');
        const int exponent = std::atoi(text.c_str() + e + 1);
        return text.substr(0, e) + "e" + std::to_string(exponent);
    }
    std::string text = shortest_fixed(value);
    if (text.find('.') == std::string::npos) {
        text += ".0";
    }
    return text;
}

std::string float_display(double value) {
    if (!std::isfinite(value)) {
        return non_finite(value);
    }
    return shortest_fixed(value);
}

std::string fixed(double value, int decimals) {
    if (std::isnan(value)) {
        return "NaN";
    }
    char buf[400];
    const int n = std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    return std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
}

}  // namespace wenlo::fmt
