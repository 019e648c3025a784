// Methods and constructors declared as data, after nanobind's .def(): one row names the method,
// the C++ operation it runs, its parameters (with their Python defaults) and its docstring.
//
//     def<Controller, "set_nose_position", &MotorController::set_nose_position, "position">(doc)
//
// gives the PyMethodDef of `set_nose_position($self, position)`, whose C function binds the
// arguments (Python's own texts for missing, repeated and unknown ones), converts `position`
// with the Caster of the type the operation takes (with "argument 'position': " before a
// TypeError), runs the operation on the object's target (Self::invoke) and turns its result
// into a Python object or its error into the exception; and the stub description of the same
// method, annotated from the same Casters. A parameter written "speed=0.4" has a default:
// Python evaluates the text once, and the value goes through the same conversion as an
// argument; a "*" makes the parameters after it keyword-only. An operation is a member of the
// target, or a function (or lambda) whose first parameter is the target. Self provides
// `kClassName`, `kTypeName` and `static PyObject* invoke(Self&, call)`, which gives the call
// its target and returns the result's Python object.
#pragma once

#include "bindings/convert.h"
#include "bindings/docs.h"
#include "bindings/interrupt.h"
#include "bindings/panic.h"
#include "bindings/stub_registry.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
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

// Puts "argument 'NAME': " before a pending TypeError; other exceptions pass unchanged.
void prefix_type_error(const char* name);

// The class object of Self, once made; the classes are process-wide by design.
template <typename Self>
inline PyObject* g_class = nullptr;

// `object` as Self when it is an instance of Self's class, else null with TypeError.
template <typename Self>
Self* instance_of(PyObject* object) {
    PyObject* type = g_class<Self>;
    if (type == nullptr || !PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(type))) {
        PyErr_Format(PyExc_TypeError, "expected a %s instance", Self::kClassName);
        return nullptr;
    }
    return reinterpret_cast<Self*>(object);
}

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

// A callable's parameter list, built once from its declaration.
template <Text... Params>
struct ParamList {
    static constexpr std::size_t kCount =
        (std::size_t{0} + ... + (std::string_view(Params.text) != "*" ? 1 : 0));
    std::array<ParamText, kCount> params{};
    std::array<const char*, kCount> names{};
    std::size_t required = 0;
    std::size_t positional = kCount;  // those before the "*"
    ParamList() {
        std::size_t n = 0;
        const std::array<std::string_view, sizeof...(Params)> texts{Params.text...};
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
    Signature binding(const char* qualname, bool method) const {
        return {qualname, names, required, method, positional};
    }
};

// An operation's result and the arguments it takes from Python, each held as its own copy while
// the operation runs (a string for a view). A lambda or function takes the target first; a
// member function is the target's own.
template <typename T>
using Stored = std::conditional_t<std::is_same_v<std::decay_t<T>, std::string_view>, std::string,
                                  std::decay_t<T>>;
template <typename R, typename... A>
struct Operation {
    using Args = std::tuple<Stored<A>...>;
    using Result = R;
};
template <typename R, typename T, typename... A>
Operation<R, A...> operation_of(R (*)(T, A...));
template <typename C, typename R, typename... A>
Operation<R, A...> operation_of(R (C::*)(A...));
template <typename C, typename R, typename... A>
Operation<R, A...> operation_of(R (C::*)(A...) const);
template <typename Lambda>  // through its function pointer
auto operation_of(Lambda lambda) -> decltype(operation_of(+lambda));

template <auto Op>
using OperationOf = decltype(operation_of(Op));
template <auto Op>
using ArgsOf = typename OperationOf<Op>::Args;

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
            using T = std::tuple_element_t<I, ArgsOf<Op>>;
            if (slot != nullptr && !Caster<T>::from(slot, std::get<I>(values))) {
                prefix_type_error(list.names[I]);
                return false;
            }
            return true;
        }() && ...);
    }(std::make_index_sequence<List::kCount>{});
}

template <auto Op, Text... Params>
std::vector<stub::Parameter> stub_parameters() {
    using List = ParamList<Params...>;
    const auto& list = List::get();
    std::vector<stub::Parameter> out;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (out.push_back({list.params[I].name, arg_type<std::tuple_element_t<I, ArgsOf<Op>>>(),
                        list.params[I].default_repr, I >= list.positional}),
         ...);
    }(std::make_index_sequence<List::kCount>{});
    return out;
}

// Binds and converts the arguments, then hands them to run(values); null on any failure.
template <auto Op, Text... Params, typename Bind, typename Run>
PyObject* call_with(Bind&& bind, Run&& run) {
    PyObject* slots[std::max<std::size_t>(1, ParamList<Params...>::kCount)] = {};
    ArgsOf<Op> values{};
    if (!bind(slots) || !convert_all<Op, Params...>(slots, values)) {
        return nullptr;
    }
    return run(values);
}

// Runs the operation: on the object itself when it takes the object (close, __enter__), else on
// the object's target through Self::invoke.
template <typename Self, auto Op, typename... A>
PyObject* run(Self& object, A&... args) {
    if constexpr (std::is_invocable_v<decltype(Op), Self&, A&...>) {
        return call_to_result([&]() -> decltype(auto) { return std::invoke(Op, object, args...); });
    } else {
        return Self::invoke(object, [&](auto& target) -> decltype(auto) {
            return std::invoke(Op, target, args...);
        });
    }
}

// A method without parameters, which Python itself checks for arguments (METH_NOARGS).
template <typename Self, auto Op>
PyObject* method_noargs(PyObject* self, PyObject*) {
    CallScope scope;
    return scope.finish(guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Self* object = instance_of<Self>(self);
        return object == nullptr ? nullptr : run<Self, Op>(*object);
    }));
}

template <typename Self, Text Name, auto Op, Text... Params>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    CallScope scope;
    return scope.finish(guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Self* object = instance_of<Self>(self);
        if (object == nullptr) {
            return nullptr;
        }
        static const std::string qualname = std::string(Self::kClassName) + "." + Name.text;
        static const Signature sig = ParamList<Params...>::get().binding(qualname.c_str(), true);
        return call_with<Op, Params...>(
            [&](PyObject** slots) { return bind_fastcall(sig, args, nargs, kwnames, slots); },
            [&](ArgsOf<Op>& values) {
                return std::apply([&](auto&... v) { return run<Self, Op>(*object, v...); }, values);
            });
    }));
}

template <typename Self, auto Op, Text... Params>
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    CallScope scope;
    return scope.finish(guard<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Signature sig = ParamList<Params...>::get().binding(Self::kClassName, false);
        return call_with<Op, Params...>(
            [&](PyObject** slots) { return bind_tuple(sig, args, kwargs, slots); },
            [&](ArgsOf<Op>& values) {
                return std::apply([&](auto&... v) { return Op(type, v...); }, values);
            });
    }));
}

}  // namespace detail

// One method: what the runtime table needs and what the stub describes.
struct MethodSpec {
    PyMethodDef def;
    stub::Method stub;
};

template <typename Self, Text Name, auto Op, Text... Params>
MethodSpec def(const char* doc) {
    using List = detail::ParamList<Params...>;
    // Kept for the life of the process, as the method table is.
    static const std::string docstring =
        std::string(Name.text) + List::get().signature(true) + "\n--\n\n" + doc;
    using Result = std::remove_cvref_t<typename detail::OperationOf<Op>::Result>;
    PyMethodDef runtime{};
    if constexpr (sizeof...(Params) == 0) {
        runtime = {Name.text, detail::method_noargs<Self, Op>, METH_NOARGS, docstring.c_str()};
    } else {
        runtime = {Name.text,
                   reinterpret_cast<PyCFunction>(
                       reinterpret_cast<void (*)()>(detail::method<Self, Name, Op, Params...>)),
                   METH_FASTCALL | METH_KEYWORDS, docstring.c_str()};
    }
    return {runtime, stub::Method{Name.text, detail::stub_parameters<Op, Params...>(),
                                  Caster<Result>::type(), doc, stub::Method::Kind::Instance}};
}

// A method that both classes offer, with the docstring they share.
template <typename Self, Text Name, auto Op, Text... Params>
MethodSpec def() {
    static constexpr const char* kDoc = doc::shared(Name.text);
    return def<Self, Name, Op, Params...>(kDoc);
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

template <typename Self>
std::string class_name() {
    return Self::kClassName;
}

// A class of methods (WenloMotorController, WenloPyControlLoop), made on first use from its
// constructor, deallocator and rows. Self's kTypeName is "wenlo_motor_controller.<name>".
template <typename Self, std::size_t N>
PyObject* class_type(const ConstructorSpec& constructor, destructor dealloc,
                     const MethodSpec (&rows)[N]) {
    if (g_class<Self> == nullptr) {
        static PyMethodDef table[N + 1] = {};  // kept by the class for good
        std::transform(std::begin(rows), std::end(rows), table,
                       [](const MethodSpec& row) { return row.def; });
        static PyType_Slot slots[] = {
            {Py_tp_doc, const_cast<char*>(constructor.tp_doc)},
            {Py_tp_new, reinterpret_cast<void*>(constructor.tp_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
            {Py_tp_methods, table},
            {0, nullptr},
        };
        static PyType_Spec spec = {Self::kTypeName, sizeof(Self), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
        g_class<Self> = PyType_FromSpec(&spec);
    }
    return g_class<Self>;
}

// The stub's description of the same class, registered at load time: the class, then its
// constructor and its methods in their order.
template <typename Self>
struct ClassStub {
    stub::Registration info;
    stub::Registration methods;
};

template <typename Self, std::size_t N>
ClassStub<Self> class_stub(const ConstructorSpec& constructor, const MethodSpec (&rows)[N]) {
    stub::MethodGroup group{class_name<Self>, {constructor.stub}};
    for (const MethodSpec& row : rows) {
        group.methods.push_back(row.stub);
    }
    return {stub::Registration{stub::Class{class_name<Self>, "", Self::kClassName, ""}},
            stub::Registration{std::move(group)}};
}

}  // namespace wenlo::py
