// The argument-conversion layer shared by every method: a method declares its parameters and
// gets Python's own texts for missing, duplicate and unexpected arguments, "argument 'NAME': "
// before every TypeError, OverflowError for unsigned widths, and ValueError for sequence lengths
// and negative durations. Every function returns false (or null) with the exception set.
#pragma once

#include "bindings/py_ref.h"
#include "common/duration.h"
#include "control_loop/torso_position.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

namespace wenlo::py {

// A parameter list: the callable's qualified name (for Python's own messages), the parameter
// names, how many of them are required, whether `self` counts in positional counts, and how many
// may be given by position (the rest are keyword-only).
struct Signature {
    const char* qualname;
    std::span<const char* const> names;
    std::size_t required;  // the leading names without a default
    bool is_method;
    std::size_t positional;
};

// Binds fastcall arguments to the parameters; unbound slots stay null (borrowed references).
bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** slots);
// The same for a tuple and a dict, as tp_new receives them.
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

// Value types that only the boundary knows.
struct Bytes {
    std::vector<std::uint8_t> data;
};

// Converters for one value; they set the exception without the argument prefix.
bool convert(PyObject* obj, double& out);
bool convert(PyObject* obj, float& out);
bool convert(PyObject* obj, bool& out);
bool convert(PyObject* obj, std::string& out);
bool convert(PyObject* obj, std::uint8_t& out);
bool convert(PyObject* obj, std::uint16_t& out);
bool convert(PyObject* obj, std::uint32_t& out);
bool convert(PyObject* obj, std::uint64_t& out);
bool convert(PyObject* obj, Bytes& out);
bool convert(PyObject* obj, Duration& out);
// A WenloTorsoPosition, copied (defined with the value classes).
bool convert(PyObject* obj, control_loop::TorsoPosition& out);

// Sequence helpers: refuse str, check the length of fixed-size sequences first.
bool sequence_length(PyObject* obj, Py_ssize_t& length);
PyObject* sequence_item(PyObject* obj, Py_ssize_t index);  // new reference or null
bool check_length(Py_ssize_t expected, Py_ssize_t actual);

template <typename T>
bool convert(PyObject* obj, std::vector<T>& out) {
    Py_ssize_t n = 0;
    if (!sequence_length(obj, n)) {
        return false;
    }
    std::vector<T> values(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = Ref::steal(sequence_item(obj, i));
        if (!item || !convert(item.get(), values[static_cast<std::size_t>(i)])) {
            return false;
        }
    }
    out = std::move(values);
    return true;
}

template <typename T, std::size_t N>
bool convert(PyObject* obj, std::array<T, N>& out) {
    Py_ssize_t n = 0;
    if (!sequence_length(obj, n) || !check_length(static_cast<Py_ssize_t>(N), n)) {
        return false;
    }
    std::array<T, N> values{};
    for (std::size_t i = 0; i < N; ++i) {
        Ref item = Ref::steal(sequence_item(obj, static_cast<Py_ssize_t>(i)));
        if (!item || !convert(item.get(), values[i])) {
            return false;
        }
    }
    out = values;
    return true;
}

// None (or an unbound optional parameter) gives an empty optional.
template <typename T>
bool convert(PyObject* obj, std::optional<T>& out) {
    if (obj == nullptr || obj == Py_None) {
        out.reset();
        return true;
    }
    T value{};
    if (!convert(obj, value)) {
        return false;
    }
    out = std::move(value);
    return true;
}

// Puts "argument 'NAME': " before a pending TypeError; other exceptions pass unchanged.
void prefix_type_error(const char* name);

// Converts one bound parameter; a parameter that was not given keeps its default.
template <typename T>
bool arg(PyObject* slot, const char* name, T& out) {
    if (slot == nullptr) {
        return true;
    }
    if (!convert(slot, out)) {
        prefix_type_error(name);
        return false;
    }
    return true;
}

// Result conversion.
PyObject* to_python(double value);
PyObject* to_python(bool value);
PyObject* float_list(const double* values, std::size_t count);

// Must run once, from module initialisation, before durations are converted.
bool init_datetime();

}  // namespace wenlo::py
