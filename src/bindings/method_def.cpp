#include "bindings/method_def.h"

#include <map>
#include <string>
#include <vector>

namespace wenlo::py {
namespace {

std::string quoted_list(const std::vector<const char*>& names) {
    // Python's own form: 'a', 'a' and 'b', 'a', 'b', and 'c'
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        }
        text += "'";
        text += names[i];
        text += "'";
    }
    return text;
}

bool report_missing(const Signature& sig, PyObject** slots) {
    std::vector<const char*> missing;
    std::size_t i = 0;
    for (const char* name : sig.names) {
        if (i < sig.required && slots[i] == nullptr) {
            missing.push_back(name);
        }
        ++i;
    }
    if (missing.empty()) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
                 sig.qualname, missing.size(), missing.size() == 1 ? "" : "s",
                 quoted_list(missing).c_str());
    return false;
}

bool report_too_many(const Signature& sig, Py_ssize_t given) {
    const std::size_t self = sig.is_method ? 1 : 0;
    const std::size_t max = sig.positional + self;
    const std::size_t min = sig.required + self;
    const std::size_t got = static_cast<std::size_t>(given) + self;
    if (min == max) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zu %s given",
                     sig.qualname, max, max == 1 ? "" : "s", got, got == 1 ? "was" : "were");
    } else {
        PyErr_Format(PyExc_TypeError,
                     "%s() takes from %zu to %zu positional arguments but %zu %s given",
                     sig.qualname, min, max, got, got == 1 ? "was" : "were");
    }
    return false;
}

// Binds one keyword; false with the exception set for an unknown or repeated name.
bool bind_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** slots) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.qualname);
        return false;
    }
    Py_ssize_t len = 0;
    const char* name = PyUnicode_AsUTF8AndSize(key, &len);
    if (name == nullptr) {
        return false;
    }
    std::size_t i = 0;
    for (const char* param : sig.names) {
        if (std::string_view(param) == std::string_view(name, static_cast<std::size_t>(len))) {
            if (slots[i] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                             sig.qualname, param);
                return false;
            }
            slots[i] = value;
            return true;
        }
        ++i;
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.qualname,
                 key);
    return false;
}

bool bind_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject** slots) {
    if (static_cast<std::size_t>(nargs) > sig.positional) {
        return report_too_many(sig, nargs);
    }
    for (std::size_t i = 0; i < sig.names.size(); ++i) {
        slots[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
    }
    return true;
}

}  // namespace

bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** slots) {
    nargs = PyVectorcall_NARGS(nargs);
    if (!bind_positional(sig, args, nargs, slots)) {
        return false;
    }
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots)) {
                return false;
            }
        }
    }
    return report_missing(sig, slots);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
    if (!bind_positional(sig, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), slots)) {
        return false;
    }
    if (kwargs != nullptr) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!bind_keyword(sig, key, value, slots)) {
                return false;
            }
        }
    }
    return report_missing(sig, slots);
}

void prefix_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
        return;
    }
    Ref cause = take_pending_exception();
    Ref reason = Ref::steal(cause ? PyObject_Str(cause.get()) : nullptr);
    if (!reason) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "argument '%s': invalid value", name);
        return;
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, reason.get());
}

namespace detail {

ParamText split_param(std::string_view text) {
    const auto eq = text.find('=');
    if (eq == std::string_view::npos) {
        return {std::string(text), std::nullopt};
    }
    return {std::string(text.substr(0, eq)), std::string(text.substr(eq + 1))};
}

PyObject* default_value(const std::string& repr) {
    // Process-wide by design, like the classes: the module refuses subinterpreters.
    static std::map<std::string, PyObject*> values;
    if (auto found = values.find(repr); found != values.end()) {
        return found->second;
    }
    Ref globals = Ref::steal(PyDict_New());
    Ref datetime = Ref::steal(PyImport_ImportModule("datetime"));
    if (!globals || !datetime ||
        PyDict_SetItemString(globals.get(), "datetime", datetime.get()) < 0 ||
        PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) {
        return nullptr;
    }
    PyObject* value = PyRun_String(repr.c_str(), Py_eval_input, globals.get(), globals.get());
    if (value != nullptr) {
        values.emplace(repr, value);
    }
    return value;
}

std::string shown_default(const std::string& repr) {
    if (repr == "None") {
        return repr;
    }
    const bool number =
        !repr.empty() && repr.find_first_not_of("0123456789.-+e") == std::string::npos;
    return number ? repr : "...";
}

}  // namespace detail
}  // namespace wenlo::py
