// What operations give back, as Python sees it. An operation returns a value, or an error value
// of its layer; values become Python objects through ToPython, which also names their type for
// the stub (so the two cannot drift apart), and every error value becomes its exception in one
// place, raise_failure.
#pragma once

#include "bindings/args.h"
#include "bindings/value_types.h"
#include "candrive/damiao/registers.hpp"
#include "control_loop/control_loop.h"
#include "control_loop/loop_stats.h"
#include "controller/error.h"
#include "controller/layout.h"
#include "controller/pid_gains.h"
#include "serialbus/servo/feetech/common.hpp"

#include <array>
#include <expected>
#include <optional>
#include <string>
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
inline Failure failure_of(Failure failure) {
    return failure;
}

template <typename T>
using Outcome = std::expected<T, Failure>;

// --- values ------------------------------------------------------------------------------------

template <typename T>
struct ToPython;

template <>
struct ToPython<void> {
    static std::string annotation() { return "None"; }
};
template <>
struct ToPython<bool> {
    static PyObject* convert(bool value) { return to_python(value); }
    static std::string annotation() { return "builtins.bool"; }
};
template <>
struct ToPython<double> {
    static PyObject* convert(double value) { return to_python(value); }
    static std::string annotation() { return "builtins.float"; }
};
template <std::size_t N>
struct ToPython<std::array<double, N>> {
    static PyObject* convert(const std::array<double, N>& values) {
        return float_list(values.data(), N);
    }
    static std::string annotation() { return "builtins.list[builtins.float]"; }
};
template <std::size_t N>
struct ToPython<std::array<controller::Bounds, N>> {
    static PyObject* convert(const std::array<controller::Bounds, N>& bounds) {
        Ref list = Ref::steal(PyList_New(N));
        for (std::size_t i = 0; list && i < N; ++i) {
            PyObject* pair = Py_BuildValue("(dd)", bounds[i].lower, bounds[i].upper);
            if (pair == nullptr) {
                return nullptr;
            }
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
        }
        return list.detach();
    }
    static std::string annotation() {
        return "builtins.list[tuple[builtins.float, builtins.float]]";
    }
};
template <>
struct ToPython<std::vector<std::uint8_t>> {
    static PyObject* convert(const std::vector<std::uint8_t>& data) {
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                         static_cast<Py_ssize_t>(data.size()));
    }
    static std::string annotation() { return "bytes"; }
};
template <>
struct ToPython<controller::PidGains> {
    static PyObject* convert(const controller::PidGains& g) {
        return Py_BuildValue("(iii)", g.p, g.i, g.d);
    }
    static std::string annotation() { return "tuple[builtins.int, builtins.int, builtins.int]"; }
};
template <>
struct ToPython<control_loop::MotorNames> {
    static PyObject* convert(const control_loop::MotorNames& names);
    static std::string annotation() { return "builtins.dict[builtins.str, builtins.int]"; }
};
template <>
struct ToPython<control_loop::TorsoPosition> {
    static PyObject* convert(const control_loop::TorsoPosition& p) { return new_torso_position(p); }
    static std::string annotation() { return "WenloTorsoPosition"; }
};
template <>
struct ToPython<control_loop::StatsSnapshot> {
    static PyObject* convert(control_loop::StatsSnapshot s) {
        return new_loop_stats(std::move(s.period), std::move(s.read_dt), std::move(s.write_dt));
    }
    static std::string annotation() { return "ControlLoopStats"; }
};
template <>
struct ToPython<candrive::damiao::registers::RegisterValue> {
    static PyObject* convert(const candrive::damiao::registers::RegisterValue& value) {
        if (value.type() == candrive::damiao::registers::RegisterType::Float) {
            return PyFloat_FromDouble(value.as_float());
        }
        return PyLong_FromUnsignedLong(value.as_uint32());
    }
    static std::string annotation() { return "typing.Union[builtins.float, builtins.int]"; }
};
// The neck motors' register table: name, id, "float" or "int", writable, description.
template <>
struct ToPython<std::span<const candrive::damiao::registers::RegisterInfo>> {
    static PyObject* convert(std::span<const candrive::damiao::registers::RegisterInfo> table);
    static std::string annotation() {
        return "builtins.list[tuple[builtins.str, builtins.int, builtins.str, builtins.bool, "
               "builtins.str]]";
    }
};
// The servos' named registers: name, address, width, writable.
template <>
struct ToPython<std::span<const serialbus::servo::feetech::common::RegisterInfo>> {
    static PyObject* convert(
        std::span<const serialbus::servo::feetech::common::RegisterInfo> table);
    static std::string annotation() {
        return "builtins.list[tuple[builtins.str, builtins.int, builtins.int, builtins.bool]]";
    }
};
template <typename T>
struct ToPython<std::vector<T>> {
    static PyObject* convert(const std::vector<T>& values) {
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
        for (std::size_t i = 0; list && i < values.size(); ++i) {
            PyObject* item = ToPython<T>::convert(values[i]);
            if (item == nullptr) {
                return nullptr;
            }
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.detach();
    }
    static std::string annotation() { return "builtins.list[" + ToPython<T>::annotation() + "]"; }
};
template <typename T>
struct ToPython<std::optional<T>> {
    static PyObject* convert(std::optional<T> value) {
        if (!value) {
            Py_RETURN_NONE;
        }
        return ToPython<T>::convert(std::move(*value));
    }
    static std::string annotation() { return "typing.Optional[" + ToPython<T>::annotation() + "]"; }
};

// The value an operation's result carries: T of std::expected<T, E>, else the result itself.
template <typename R>
struct ValueOf {
    using type = std::remove_cvref_t<R>;
};
template <typename T, typename E>
struct ValueOf<std::expected<T, E>> {
    using type = T;
};

// Turns an operation's result into a new reference, or raises its failure.
template <typename R>
PyObject* to_result(R&& result) {
    using Plain = std::remove_cvref_t<R>;
    if constexpr (requires { typename Plain::error_type; }) {
        if (!result) {
            return raise_failure(failure_of(result.error()));
        }
        if constexpr (std::is_void_v<typename Plain::value_type>) {
            Py_RETURN_NONE;
        } else {
            return ToPython<typename Plain::value_type>::convert(std::move(*result));
        }
    } else {
        return ToPython<Plain>::convert(std::forward<R>(result));
    }
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
