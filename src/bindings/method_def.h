// Methods and constructors declared as data, after nanobind's .def(): one entry names the
// method, the C++ operation it runs, its parameters (with their Python defaults) and its
// docstring.
//
//     def<Controller, "set_nose_position", &MotorController::set_nose_position, "position">(doc)
//
// gives the PyMethodDef of `set_nose_position($self, position)`, whose C function binds the
// arguments (Python's own texts for missing, repeated and unknown ones), converts `position`
// to the type the operation takes (with "argument 'position': " before a TypeError), runs the
// operation on the object's target (Self::invoke) and turns its result into a Python object or
// its error into the exception (bindings/results.h); and the stub description of the same
// method, with the parameters' annotations derived from the types the operation takes and the
// return annotation from the type it returns. A parameter written "speed=0.4" has a default:
// Python evaluates the text once, and the value goes through the same conversion as an
// argument. An operation is a member of the target, or a function (or lambda) whose first
// parameter is the target. Self provides `kClassName`, `static Self* from(PyObject*)` (null
// with TypeError for anything else) and `static PyObject* invoke(Self&, call)`, which gives the
// call its target and returns the result's Python object.
#pragma once

#include "bindings/args.h"
#include "bindings/interrupt.h"
#include "bindings/panic.h"
#include "bindings/results.h"
#include "bindings/stub_registry.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace wenlo::py {

// A string usable as a template argument.
template <std::size_t N>
struct Text {
    char text[N];
    constexpr Text(const char (&s)[N]) { std::copy_n(s, N, text); }  // NOLINT: implicit
};

// --- annotations of the converted value kinds ------------------------------------------------

namespace stub {
template <>
struct Annotation<double> {
    static std::string text() { return "builtins.float"; }
};
template <>
struct Annotation<float> : Annotation<double> {};
template <>
struct Annotation<bool> {
    static std::string text() { return "builtins.bool"; }
};
template <typename T>
    requires std::is_unsigned_v<T>
struct Annotation<T> {
    static std::string text() { return "builtins.int"; }
};
template <>
struct Annotation<std::string> {
    static std::string text() { return "builtins.str"; }
};
template <>
struct Annotation<Bytes> {
    static std::string text() { return "bytes"; }
};
template <>
struct Annotation<Duration> {
    static std::string text() { return "datetime.timedelta"; }
};
template <>
struct Annotation<control_loop::TorsoPosition> {
    static std::string text() { return "WenloTorsoPosition"; }
};
template <typename T, std::size_t N>
struct Annotation<std::array<T, N>> {
    static std::string text() { return "typing.Sequence[" + Annotation<T>::text() + "]"; }
};
template <typename T>
struct Annotation<std::vector<T>> : Annotation<std::array<T, 1>> {};
template <typename T>
struct Annotation<std::optional<T>> {
    static std::string text() { return "typing.Optional[" + Annotation<T>::text() + "]"; }
};
}  // namespace stub

// --- parameters ------------------------------------------------------------------------------

namespace detail {

// "name" or "name=default", split once.
struct ParamText {
    std::string name;
    std::optional<std::string> default_repr;
};
ParamText split_param(std::string_view text);

// The default's value, evaluated by Python once and kept for the life of the process; null
// with an exception set if it cannot be evaluated.
PyObject* default_value(const std::string& repr);

// How a text signature shows a default: literals of numbers and None as they are, anything
// else as "...".
std::string shown_default(const std::string& repr);

// A callable's parameter list, built once from its declaration. A "*" among the parameters
// makes those after it keyword-only, as in Python.
template <Text... Params>
struct ParamList {
    static constexpr std::size_t kCount =
        (std::size_t{0} + ... + (std::string_view(Params.text) != "*" ? 1 : 0));
    std::array<ParamText, kCount> params{};
    std::array<const char*, kCount> names{};
    std::size_t required = 0;
    std::size_t positional = kCount;  // those before the "*"
    ParamList() {
        const std::array<std::string_view, sizeof...(Params)> texts{Params.text...};
        std::size_t n = 0;
        for (std::string_view text : texts) {
            if (text == "*") {
                positional = n;
            } else {
                params[n++] = split_param(text);
            }
        }
        for (std::size_t i = 0; i < kCount; ++i) {
            names[i] = params[i].name.c_str();
            required += params[i].default_repr ? 0 : 1;
        }
    }
    static const ParamList& get() {
        static const ParamList list;
        return list;
    }
    // "(a, b=0.4, *, c=None)" after an optional leading "$self".
    std::string signature(bool method) const {
        std::string text = method ? "($self" : "(";
        for (std::size_t i = 0; i < params.size(); ++i) {
            text += (i > 0 || method) ? ", " : "";
            text += i == positional ? "*, " : "";
            text += params[i].name;
            if (params[i].default_repr) {
                text += "=" + shown_default(*params[i].default_repr);
            }
        }
        return text + ")";
    }
};

// An operation's target, the types of the arguments it takes from Python and its result. A
// lambda or function takes the target first; a member function is the target's own.
template <typename F>
struct Operation : Operation<decltype(&F::operator())> {
    // A lambda: the call operator's first parameter is the target.
};
template <typename L, typename R, typename T, typename... A>
struct Operation<R (L::*)(T, A...) const> {
    using Target = std::remove_cvref_t<T>;
    using Args = std::tuple<std::decay_t<A>...>;
    using Result = R;
};
template <typename R, typename T, typename... A>
struct Operation<R (*)(T, A...)> {
    using Target = std::remove_cvref_t<T>;
    using Args = std::tuple<std::decay_t<A>...>;
    using Result = R;
};
template <typename C, typename R, typename... A>
struct Operation<R (C::*)(A...)> {
    using Target = C;
    using Args = std::tuple<std::decay_t<A>...>;
    using Result = R;
};
template <typename C, typename R, typename... A>
struct Operation<R (C::*)(A...) const> : Operation<R (C::*)(A...)> {};

template <auto Op>
using OperationOf = Operation<std::remove_cvref_t<decltype(Op)>>;
template <auto Op>
using ArgsOf = typename OperationOf<Op>::Args;

// The stub's return annotation, from what the operation returns.
template <auto Op>
std::string return_annotation() {
    using Value = typename ValueOf<typename OperationOf<Op>::Result>::type;
    return ToPython<Value>::annotation();
}

// Runs the operation on the target with the converted arguments.
template <auto Op, typename Target, typename Tuple>
decltype(auto) apply_operation(Target& target, Tuple& values) {
    return std::apply([&](auto&... v) -> decltype(auto) { return std::invoke(Op, target, v...); },
                      values);
}

// Converts the bound slots (borrowed, null when not given) into the operation's arguments;
// a parameter not given takes its default.
template <auto Op, Text... Params>
bool convert_all(PyObject** slots, ArgsOf<Op>& values) {
    using List = ParamList<Params...>;
    const auto& list = List::get();
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return ([&] {
            PyObject* slot = slots[I];
            if (slot == nullptr && list.params[I].default_repr) {
                slot = default_value(*list.params[I].default_repr);
                if (slot == nullptr) {
                    return false;
                }
            }
            return arg(slot, list.names[I], std::get<I>(values));
        }() && ...);
    }(std::make_index_sequence<List::kCount>{});
}

template <auto Op, Text... Params>
std::vector<stub::Parameter> stub_parameters() {
    using List = ParamList<Params...>;
    const auto& list = List::get();
    std::vector<stub::Parameter> out;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (out.push_back({list.params[I].name,
                        stub::Annotation<std::tuple_element_t<I, ArgsOf<Op>>>::text(),
                        list.params[I].default_repr, I >= list.positional}),
         ...);
    }(std::make_index_sequence<List::kCount>{});
    return out;
}

template <typename Self, Text Name, auto Op>
PyObject* no_arguments(PyObject* self, PyObject*) {
    CallScope scope;
    return scope.finish(guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Self* object = Self::from(self);
        if (object == nullptr) {
            return nullptr;
        }
        return Self::invoke(*object,
                            [](auto& target) -> decltype(auto) { return std::invoke(Op, target); });
    }));
}

template <typename Self, Text Name, auto Op, Text... Params>
PyObject* with_arguments(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    CallScope scope;
    return scope.finish(guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Self* object = Self::from(self);
        if (object == nullptr) {
            return nullptr;
        }
        const auto& list = ParamList<Params...>::get();
        static const std::string qualname = std::string(Self::kClassName) + "." + Name.text;
        static const Signature sig{qualname.c_str(), list.names, list.required, true,
                                   list.positional};
        PyObject* slots[std::max<std::size_t>(1, ParamList<Params...>::kCount)] = {};
        ArgsOf<Op> values{};
        if (!bind_fastcall(sig, args, nargs, kwnames, slots) ||
            !convert_all<Op, Params...>(slots, values)) {
            return nullptr;
        }
        return Self::invoke(*object, [&](auto& target) -> decltype(auto) {
            return apply_operation<Op>(target, values);
        });
    }));
}

template <typename Self, auto Op, Text... Params>
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    CallScope scope;
    return scope.finish(guard<PyObject*>(nullptr, [&]() -> PyObject* {
        const auto& list = ParamList<Params...>::get();
        static const Signature sig{Self::kClassName, list.names, list.required, false,
                                   list.positional};
        PyObject* slots[std::max<std::size_t>(1, ParamList<Params...>::kCount)] = {};
        ArgsOf<Op> values{};
        if (!bind_tuple(sig, args, kwargs, slots) || !convert_all<Op, Params...>(slots, values)) {
            return nullptr;
        }
        return std::apply([&](auto&... v) { return Op(type, v...); }, values);
    }));
}

}  // namespace detail

// `object` as Self when it is an instance of `type` (a class of Self's), else null with
// TypeError.
template <typename Self>
Self* instance_of(PyObject* object, PyObject* type) {
    if (type == nullptr || !PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(type))) {
        PyErr_Format(PyExc_TypeError, "expected a %s instance", Self::kClassName);
        return nullptr;
    }
    return reinterpret_cast<Self*>(object);
}

// One method: what the runtime table needs and what the stub describes.
struct MethodSpec {
    PyMethodDef def;
    stub::Method stub;
};

template <typename Self, Text Name, auto Op, Text... Params>
MethodSpec def(const char* doc) {
    // Kept for the life of the process, as the method table is.
    static const std::string docstring = std::string(Name.text) +
                                         detail::ParamList<Params...>::get().signature(true) +
                                         "\n--\n\n" + doc;
    stub::Method described{Name.text, detail::stub_parameters<Op, Params...>(),
                           detail::return_annotation<Op>(), doc, stub::Method::Kind::Instance};
    if constexpr (sizeof...(Params) == 0) {
        return {{Name.text, detail::no_arguments<Self, Name, Op>, METH_NOARGS, docstring.c_str()},
                std::move(described)};
    } else {
        return {{Name.text,
                 reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                     detail::with_arguments<Self, Name, Op, Params...>)),
                 METH_FASTCALL | METH_KEYWORDS, docstring.c_str()},
                std::move(described)};
    }
}

// A method that exists only as a slot at run time (such as __repr__): described, not bound.
inline MethodSpec slot_method(const char* name, const char* returns) {
    return {{nullptr, nullptr, 0, nullptr}, stub::Method{name, {}, returns, "", {}}};
}

// The constructor: tp_new and tp_doc (the class's text signature) for the runtime, and the
// stub's __new__ with its documentation.
struct ConstructorSpec {
    newfunc tp_new;
    const char* tp_doc;
    stub::Method stub;
};

template <typename Self, auto Op, Text... Params>
ConstructorSpec constructor(const char* doc) {
    static const std::string text_signature = std::string(Self::kClassName) +
                                              detail::ParamList<Params...>::get().signature(false) +
                                              "\n--\n\n";
    return {detail::construct<Self, Op, Params...>, text_signature.c_str(),
            stub::Method{"__new__", detail::stub_parameters<Op, Params...>(), Self::kClassName, doc,
                         stub::Method::Kind::Constructor}};
}

// A read-only attribute: its PyGetSetDef and its stub description.
struct GetterSpec {
    PyGetSetDef def;
    stub::Member stub;
};

inline GetterSpec attribute(const char* name, getter get, const char* annotation,
                            const char* doc = nullptr) {
    return {{name, get, nullptr, doc, nullptr}, stub::Member{name, annotation, doc ? doc : ""}};
}

template <std::size_t N>
PyGetSetDef* getset_table(const GetterSpec (&specs)[N]) {
    auto* table = new PyGetSetDef[N + 1];
    for (std::size_t i = 0; i < N; ++i) {
        table[i] = specs[i].def;
    }
    table[N] = {nullptr, nullptr, nullptr, nullptr, nullptr};
    return table;
}

template <std::size_t N>
std::vector<stub::Member> members(const GetterSpec (&specs)[N]) {
    std::vector<stub::Member> out;
    for (const GetterSpec& spec : specs) {
        out.push_back(spec.stub);
    }
    return out;
}

// The runtime method table of a list of specs, ending with the sentinel; lives for the process.
template <std::size_t N>
PyMethodDef* method_table(const MethodSpec (&specs)[N]) {
    auto* table = new PyMethodDef[N + 1];
    std::size_t n = 0;
    for (const MethodSpec& spec : specs) {
        if (spec.def.ml_name != nullptr) {
            table[n++] = spec.def;
        }
    }
    table[n] = {nullptr, nullptr, 0, nullptr};
    return table;
}

// The stub's method group: the constructor, then the methods in their order.
template <std::size_t N>
stub::MethodGroup method_group(std::string (*type_id)(), const ConstructorSpec* ctor,
                               const MethodSpec (&specs)[N]) {
    stub::MethodGroup group{type_id, {}};
    if (ctor != nullptr) {
        group.methods.push_back(ctor->stub);
    }
    for (const MethodSpec& spec : specs) {
        group.methods.push_back(spec.stub);
    }
    return group;
}

}  // namespace wenlo::py
