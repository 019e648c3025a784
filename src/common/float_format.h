// Number texts shared by the value classes and the controller's messages.
#pragma once

#include <string>

namespace wenlo::fmt {

// Shortest round-trip form with a fractional part ("1.0"); exponent form ("1e-5", "1e16") when
// the magnitude is non-zero and below 1e-4 or at least 1e16; "NaN", "inf", "-inf", "-0.0".
std::string float_repr(double value);
// Shortest round-trip form, never an exponent, no forced decimal point ("0", "-0.4", "NaN").
std::string float_display(double value);
// Fixed-point with the given number of decimals; "NaN" for a non-number.
std::string fixed(double value, int decimals);

}  // namespace wenlo::fmt
