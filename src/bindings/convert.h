// One converter per value kind, Caster<T>, with its three halves side by side so that they cannot
// drift apart: `from` takes an argument from Python (false with the exception set, before any
// "argument 'NAME': " prefix), `to` makes a result's new reference (null with the exception
// set), and `type()` is how the stub writes the kind (`arg()` too where an argument is written
// otherwise, as sequences are). A kind that only travels one way has only that half. Every
// error value becomes its exception in one place, raise_failure.
#pragma once

#include "bindings/py_ref.h"
#include "candrive/damiao/registers.hpp"
#include "common/duration.h"
#include "control_loop/calls.h"
#include "control_loop/control_loop.h"
#include "control_loop/loop_stats.h"
#include "controller/error.h"
#include "controller/health.h"
#include "controller/joint_limits.h"
#include "controller/layout.h"
#include "controller/pid_gains.h"
#include "serialbus/servo/feetech/common.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace wenlo::py {

// --- failures ----------------------------------------------------------------------------------

// An operation's failure as Python will see it.
struct Failure {
    enum class Kind {
        Runtime,  // RuntimeError(text): every operation failure
        Value,    // ValueError(text): a value refused before anything was queued
        Panic,    // PanicException(text): an internal failure
        Pending,  // the exception is already set: a signal handler's, or a conversion's
    };
    Kind kind;
    std::string text;

    static Failure runtime(std::string text) { return {Kind::Runtime, std::move(text)}; }
    static Failure value(std::string text) { return {Kind::Value, std::move(text)}; }
    static Failure pending() { return {Kind::Pending, {}}; }
};

template <typename T>
using Outcome = std::expected<T, Failure>;

// The one place where error values become Python exceptions; returns null.
PyObject* raise_failure(const Failure& failure);

// A controller operation's error. A signal during the call may itself have broken an exchange
// (EINTR) or stopped the operation at an interruption check: the signal handler's exception is
// then the answer, as Python gives it for a system call that a signal interrupts.
Failure failure_of(const controller::Error& error);
// A loop's stored error (get_last_position, is_torque_enabled).
Failure failure_of(const control_loop::MotorError& error);
// A failed start-up; the hardware checks' errors give way to a signal as above.
Failure failure_of(const control_loop::StartFailure& failure);
// A call into the worker; one that the wait stopped has the signal's exception pending.
Failure failure_of(const control_loop::CallFailure& failure);
inline Failure failure_of(Failure failure) {
    return failure;
}

// --- the converters ----------------------------------------------------------------------------

template <typename T>
struct Caster;

// Sets TypeError "'int' object cannot be converted to 'bool'" and returns false.
bool refuse(PyObject* obj, const char* expected);

template <typename T>
std::string arg_type() {
    if constexpr (requires { Caster<T>::arg(); }) {
        return Caster<T>::arg();
    } else {
        return Caster<T>::type();
    }
}

template <>
struct Caster<void> {
    static std::string type() { return "None"; }
};

bool float_from(PyObject* obj, double& out);
template <std::floating_point T>
struct Caster<T> {
    static bool from(PyObject* obj, T& out) {
        double value = 0.0;
        return float_from(obj, value) && (out = static_cast<T>(value), true);
    }
    static PyObject* to(T value) { return PyFloat_FromDouble(value); }
    static std::string type() { return "builtins.float"; }
};

template <>
struct Caster<bool> {
    static bool from(PyObject* obj, bool& out);
    static PyObject* to(bool value) { return PyBool_FromLong(value ? 1 : 0); }
    static std::string type() { return "builtins.bool"; }
};

// Unsigned widths raise OverflowError outside their range; signed ones are results only.
bool unsigned_from(PyObject* obj, unsigned long long max, unsigned long long& out);
template <typename T>
    requires std::is_integral_v<T>
struct Caster<T> {
    static bool from(PyObject* obj, T& out)
        requires std::is_unsigned_v<T>
    {
        unsigned long long value = 0;
        return unsigned_from(obj, std::numeric_limits<T>::max(), value) &&
               (out = static_cast<T>(value), true);
    }
    static PyObject* to(T value) {
        if constexpr (std::is_unsigned_v<T>) {
            return PyLong_FromUnsignedLongLong(value);
        } else {
            return PyLong_FromLongLong(value);
        }
    }
    static std::string type() { return "builtins.int"; }
};

template <>
struct Caster<std::string> {
    static bool from(PyObject* obj, std::string& out);
    static PyObject* to(std::string_view text) {
        return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    }
    static std::string type() { return "builtins.str"; }
};
template <>
struct Caster<std::string_view> : Caster<std::string> {};

// Exactly a `bytes` object, as raw packets are given.
struct Bytes {
    std::vector<std::uint8_t> data;
};
template <>
struct Caster<Bytes> {
    static bool from(PyObject* obj, Bytes& out);
    static std::string type() { return "bytes"; }
};

// Whatever the caller passes, unconverted (borrowed): the arguments of __exit__.
struct AnyObject {
    PyObject* object = nullptr;
};
template <>
struct Caster<AnyObject> {
    static bool from(PyObject* obj, AnyObject& out) { return (out.object = obj, true); }
    static std::string type() { return "builtins.object"; }
};

// The object a method was called on, as __enter__ returns it.
template <typename Self>
struct Itself {
    Ref object;
};
template <typename Self>
struct Caster<Itself<Self>> {
    static PyObject* to(Itself<Self> self) { return self.object.detach(); }
    static std::string type() { return Self::kClassName; }
};

// Must run once, from module initialisation, before durations are converted.
bool init_datetime();
template <>
struct Caster<Duration> {
    static bool from(PyObject* obj, Duration& out);
    static std::string type() { return "datetime.timedelta"; }
};

// --- sequences ---------------------------------------------------------------------------------

// Calls take(index, item) for each item of a sequence (a str is refused) of `expected` items, or
// of any number when `expected` is negative; another length raises ValueError.
bool sequence_length(PyObject* obj, Py_ssize_t expected, Py_ssize_t& length);
template <typename F>
bool for_each_item(PyObject* obj, Py_ssize_t expected, F&& take) {
    Py_ssize_t n = 0;
    if (!sequence_length(obj, expected, n)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(obj, i));
        if (!item || !take(static_cast<std::size_t>(i), item.get())) {
            return false;
        }
    }
    return true;
}

// A new list of the items, each converted by its Caster.
template <typename Range>
PyObject* list_of(const Range& items) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
    Py_ssize_t i = 0;
    for (const auto& item : items) {
        PyObject* value = list ? Caster<std::remove_cvref_t<decltype(item)>>::to(item) : nullptr;
        if (value == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), i++, value);
    }
    return list.detach();
}

template <typename T>
struct ListCaster {
    static PyObject* to(std::span<const T> items) { return list_of(items); }
    static std::string arg() { return "typing.Sequence[" + arg_type<T>() + "]"; }
    static std::string type() { return "builtins.list[" + Caster<T>::type() + "]"; }
};
template <typename T, std::size_t N>
struct Caster<std::array<T, N>> : ListCaster<T> {
    static bool from(PyObject* obj, std::array<T, N>& out) {
        std::array<T, N> values{};
        return for_each_item(obj, N,
                             [&](std::size_t i, PyObject* item) {
                                 return Caster<T>::from(item, values[i]);
                             }) &&
               (out = values, true);
    }
};
template <typename T>
bool vector_from(PyObject* obj, std::vector<T>& out) {
    std::vector<T> values;
    return for_each_item(obj, -1,
                         [&](std::size_t, PyObject* item) {
                             return Caster<T>::from(item, values.emplace_back());
                         }) &&
           (out = std::move(values), true);
}
template <typename T>
struct Caster<std::vector<T>> : ListCaster<T> {
    static bool from(PyObject* obj, std::vector<T>& out) { return vector_from(obj, out); }
};
template <typename T, std::size_t N>
struct Caster<std::span<const T, N>> : ListCaster<T> {};
// Byte lists are given as any sequence of integers and come back as bytes.
template <>
struct Caster<std::vector<std::uint8_t>> {
    static bool from(PyObject* obj, std::vector<std::uint8_t>& out) {
        return vector_from(obj, out);
    }
    static PyObject* to(const std::vector<std::uint8_t>& data) {
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                         static_cast<Py_ssize_t>(data.size()));
    }
    static std::string arg() { return "typing.Sequence[builtins.int]"; }
    static std::string type() { return "bytes"; }
};

// None (or an optional parameter not given) is an empty optional.
template <typename T>
struct Caster<std::optional<T>> {
    static bool from(PyObject* obj, std::optional<T>& out) {
        if (obj == nullptr || obj == Py_None) {
            return (out.reset(), true);
        }
        T value{};
        return Caster<T>::from(obj, value) && (out = std::move(value), true);
    }
    static PyObject* to(const std::optional<T>& value) {
        return value ? Caster<T>::to(*value) : Py_NewRef(Py_None);
    }
    static std::string arg() { return "typing.Optional[" + arg_type<T>() + "]"; }
    static std::string type() { return "typing.Optional[" + Caster<T>::type() + "]"; }
};

// --- records that travel as other kinds --------------------------------------------------------

// Steals `item` into the tuple; false (the exception set) when it is null.
inline bool set_item(PyObject* tuple, Py_ssize_t index, PyObject* item) {
    return item != nullptr && (PyTuple_SET_ITEM(tuple, index, item), true);
}
template <typename... T>
struct Caster<std::tuple<T...>> {
    static PyObject* to(const std::tuple<T...>& values) {
        Ref tuple = Ref::steal(PyTuple_New(sizeof...(T)));
        const bool filled =
            tuple && std::apply(
                         [&](const T&... v) {
                             Py_ssize_t i = 0;
                             return (set_item(tuple.get(), i++, Caster<T>::to(v)) && ...);
                         },
                         values);
        return filled ? tuple.detach() : nullptr;
    }
    static std::string type() {
        std::string text;
        ((text += (text.empty() ? "" : ", ") + Caster<T>::type()), ...);
        return "tuple[" + text + "]";
    }
};

// A record with as_python(record) travels as what that returns.
inline std::tuple<int, int, int> as_python(const controller::PidGains& g) {
    return {g.p, g.i, g.d};
}
// A neck register: name, id, "float" or "int", writable, description.
inline std::tuple<std::string_view, int, std::string_view, bool, std::string_view> as_python(
    const candrive::damiao::registers::RegisterInfo& r) {
    const bool is_float = r.value_type == candrive::damiao::registers::RegisterType::Float;
    return {r.name, r.id, is_float ? "float" : "int", r.writable, r.description};
}
// A servo register: name, address, width, writable.
inline std::tuple<std::string_view, int, int, bool> as_python(
    const serialbus::servo::feetech::common::RegisterInfo& r) {
    return {r.name, r.address, r.width, r.writable};
}
// The limits in force on every joint, by name in layout order.
inline std::vector<std::pair<std::string, controller::Bounds>> as_python(
    const controller::JointLimits& limits) {
    return controller::limits_by_name(limits);
}
template <typename T>
    requires requires(const T& value) { as_python(value); }
struct Caster<T> {
    using Python = decltype(as_python(std::declval<const T&>()));
    static PyObject* to(const T& value) { return Caster<Python>::to(as_python(value)); }
    static std::string type() { return Caster<Python>::type(); }
};

// A joint's (lower, upper) bounds in rad.
template <>
struct Caster<controller::Bounds> {
    static bool from(PyObject* obj, controller::Bounds& out);
    static PyObject* to(const controller::Bounds& b) {
        return Py_BuildValue("(dd)", b.lower, b.upper);
    }
    static std::string type() { return "tuple[builtins.float, builtins.float]"; }
};

// Values by name: given as any mapping, returned as a dict in their order.
bool mapping_items(PyObject* obj, Ref& items);
template <typename T>
struct Caster<std::vector<std::pair<std::string, T>>> {
    static bool from(PyObject* obj, std::vector<std::pair<std::string, T>>& out) {
        Ref items;
        std::vector<std::pair<std::string, T>> values;
        return mapping_items(obj, items) &&
               for_each_item(items.get(), -1,
                             [&](std::size_t, PyObject* item) {
                                 auto& [key, value] = values.emplace_back();
                                 return Caster<std::string>::from(PyTuple_GET_ITEM(item, 0), key) &&
                                        Caster<T>::from(PyTuple_GET_ITEM(item, 1), value);
                             }) &&
               (out = std::move(values), true);
    }
    static PyObject* to(const std::vector<std::pair<std::string, T>>& values) {
        Ref dict = Ref::steal(PyDict_New());
        for (const auto& [key, value] : values) {
            Ref item = Ref::steal(Caster<T>::to(value));
            if (!dict || !item || PyDict_SetItemString(dict.get(), key.c_str(), item.get()) < 0) {
                return nullptr;
            }
        }
        return dict.detach();
    }
    static std::string arg() { return "typing.Mapping[builtins.str, " + arg_type<T>() + "]"; }
    static std::string type() { return "builtins.dict[builtins.str, " + Caster<T>::type() + "]"; }
};

// An exit policy by its name: "hold", "limp" or "damp".
template <>
struct Caster<controller::ExitPolicy> {
    static bool from(PyObject* obj, controller::ExitPolicy& out);
    static std::string type() { return "builtins.str"; }
};

// The largest step: one for every joint, or steps by joint name.
template <>
struct Caster<control_loop::MaxStep> {
    static bool from(PyObject* obj, control_loop::MaxStep& out);
    static std::string type() {
        return "typing.Union[builtins.float, typing.Mapping[builtins.str, builtins.float]]";
    }
};

// --- the rest of what operations return --------------------------------------------------------

template <>
struct Caster<candrive::damiao::registers::RegisterValue> {
    static PyObject* to(const candrive::damiao::registers::RegisterValue& value) {
        if (value.type() == candrive::damiao::registers::RegisterType::Float) {
            return PyFloat_FromDouble(value.as_float());
        }
        return PyLong_FromUnsignedLong(value.as_uint32());
    }
    static std::string type() { return "typing.Union[builtins.float, builtins.int]"; }
};

// The value classes (value_types.cpp): each result becomes a new immutable object.
template <>
struct Caster<control_loop::TorsoPosition> {
    static bool from(PyObject* obj, control_loop::TorsoPosition& out);
    static PyObject* to(const control_loop::TorsoPosition& value);
    static std::string type() { return "WenloTorsoPosition"; }
};
template <>
struct Caster<control_loop::StatsSnapshot> {
    static PyObject* to(control_loop::StatsSnapshot value);
    static std::string type() { return "ControlLoopStats"; }
};
template <>
struct Caster<controller::JointHealth> {
    static PyObject* to(const controller::JointHealth& value);
    static std::string type() { return "JointHealth"; }
};

// --- results -----------------------------------------------------------------------------------

// An operation's result: its value, or its failure raised.
template <typename T, typename E>
struct Caster<std::expected<T, E>> {
    template <typename Result>  // this std::expected, moved from when it is an rvalue
    static PyObject* to(Result&& result) {
        if (!result) {
            return raise_failure(failure_of(result.error()));
        }
        if constexpr (std::is_void_v<T>) {
            Py_RETURN_NONE;
        } else {
            return Caster<T>::to(*std::forward<Result>(result));
        }
    }
    static std::string type() { return Caster<T>::type(); }
};

template <typename R>
PyObject* to_result(R&& result) {
    return Caster<std::remove_cvref_t<R>>::to(std::forward<R>(result));
}

// Calls an operation and turns what it returns (possibly nothing) into a new reference.
template <typename Call>
PyObject* call_to_result(Call&& call) {
    if constexpr (std::is_void_v<std::invoke_result_t<Call>>) {
        std::forward<Call>(call)();
        Py_RETURN_NONE;
    } else {
        return to_result(std::forward<Call>(call)());
    }
}

}  // namespace wenlo::py
