// Methods declared as data: one line per method names it, its parameters and its docstring,
// and gives the operation as a function of the object and the converted arguments. The text
// signature, the argument binding and the conversion are derived from that one line, so that a
// method's name, parameters and documentation cannot drift apart.
//
//     def<Loop, "set_nose_position", set_nose, "position">("Set goal positions for the nose.")
//
// makes the PyMethodDef of `set_nose_position($self, position)`, whose C function binds the
// arguments (Python's own texts for missing, repeated and unknown ones), converts `position` to
// the type that `set_nose` takes (with "argument 'position': " before a TypeError), and calls
// set_nose(object, value). Self provides `static constexpr const char* kClassName` and
// `static Self* from(PyObject*)` (null with TypeError for anything else).
#pragma once

#include "bindings/args.h"
#include "bindings/panic.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

namespace wenlo::py {

// A string usable as a template argument.
template <std::size_t N>
struct Text {
    char text[N];
    constexpr Text(const char (&s)[N]) { std::copy_n(s, N, text); }  // NOLINT: implicit
};

namespace detail {

// The converted argument types of an operation PyObject*(Self&, Args...).
template <typename F>
struct Operation : Operation<decltype(&F::operator())> {};
template <typename R, typename S, typename... A>
struct Operation<R (*)(S&, A...)> {
    using Args = std::tuple<std::decay_t<A>...>;
};
template <typename C, typename R, typename S, typename... A>
struct Operation<R (C::*)(S&, A...) const> {
    using Args = std::tuple<std::decay_t<A>...>;
};

template <typename Self, Text Name, auto Op>
PyObject* no_arguments(PyObject* self, PyObject*) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Self* object = Self::from(self);
        return object != nullptr ? Op(*object) : nullptr;
    });
}

template <typename Self, Text Name, auto Op, Text... Params>
PyObject* with_arguments(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Self* object = Self::from(self);
        if (object == nullptr) {
            return nullptr;
        }
        static const std::string qualname = std::string(Self::kClassName) + "." + Name.text;
        static const Signature sig{qualname.c_str(), {Params.text...}, sizeof...(Params), true};
        PyObject* slots[sizeof...(Params)] = {};
        if (!bind_fastcall(sig, args, nargs, kwnames, slots)) {
            return nullptr;
        }
        typename Operation<std::remove_cvref_t<decltype(Op)>>::Args values{};
        const bool converted = [&]<std::size_t... I>(std::index_sequence<I...>) {
            return (arg(slots[I], Params.text, std::get<I>(values)) && ...);
        }(std::index_sequence_for<decltype(Params)...>{});
        if (!converted) {
            return nullptr;
        }
        return std::apply([&](auto&... v) { return Op(*object, v...); }, values);
    });
}

}  // namespace detail

// The text signature as Python shows it: "name($self, a, b)".
template <Text Name, Text... Params>
std::string text_signature() {
    std::string text = std::string(Name.text) + "($self";
    ((text += std::string(", ") + Params.text), ...);
    return text + ")";
}

template <typename Self, Text Name, auto Op, Text... Params>
PyMethodDef def(const char* doc) {
    // Kept for the life of the process, as the method table is.
    static const std::string docstring = text_signature<Name, Params...>() + "\n--\n\n" + doc;
    if constexpr (sizeof...(Params) == 0) {
        return {Name.text, detail::no_arguments<Self, Name, Op>, METH_NOARGS, docstring.c_str()};
    } else {
        return {Name.text,
                reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                    detail::with_arguments<Self, Name, Op, Params...>)),
                METH_FASTCALL | METH_KEYWORDS, docstring.c_str()};
    }
}

}  // namespace wenlo::py
