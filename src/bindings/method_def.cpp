#include "bindings/method_def.h"

#include <map>

namespace wenlo::py::detail {

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

}  // namespace wenlo::py::detail
