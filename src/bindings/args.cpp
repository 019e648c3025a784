#include "bindings/args.h"

#include <datetime.h>

#include <cstring>
#include <limits>
#include <string_view>

namespace wenlo::py {
namespace {

const char* type_name(PyObject* obj) {
    return Py_TYPE(obj)->tp_name;
}

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

bool unsigned_value(PyObject* obj, unsigned long long max, unsigned long long& out) {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) {
        return false;  // Python's own "'float' object cannot be interpreted as an integer"
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
            return false;
        }
        PyErr_Clear();
    } else if (value <= max) {
        out = value;
        return true;
    }
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
}

template <typename T>
bool convert_unsigned(PyObject* obj, T& out) {
    unsigned long long value = 0;
    if (!unsigned_value(obj, std::numeric_limits<T>::max(), value)) {
        return false;
    }
    out = static_cast<T>(value);
    return true;
}

bool is_numpy_bool(PyObject* obj) {
    const std::string_view name = type_name(obj);
    return name == "numpy.bool_" || name == "numpy.bool";
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

bool convert(PyObject* obj, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) {
        return false;
    }
    out = value;
    return true;
}

bool convert(PyObject* obj, float& out) {
    double value = 0.0;
    if (!convert(obj, value)) {
        return false;
    }
    out = static_cast<float>(value);
    return true;
}

bool convert(PyObject* obj, bool& out) {
    if (PyBool_Check(obj) || is_numpy_bool(obj)) {
        const int truth = PyObject_IsTrue(obj);
        if (truth < 0) {
            return false;
        }
        out = truth == 1;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'bool'", type_name(obj));
    return false;
}

bool convert(PyObject* obj, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'str'", type_name(obj));
        return false;
    }
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &len);
    if (text == nullptr) {
        return false;
    }
    // Paths and interface names reach the system as C strings, which would end at the NUL;
    // Python's own functions refuse such strings the same way.
    if (std::memchr(text, '\0', static_cast<std::size_t>(len)) != nullptr) {
        PyErr_SetString(PyExc_ValueError, "embedded null character");
        return false;
    }
    out.assign(text, static_cast<std::size_t>(len));
    return true;
}

bool convert(PyObject* obj, std::uint8_t& out) {
    return convert_unsigned(obj, out);
}
bool convert(PyObject* obj, std::uint16_t& out) {
    return convert_unsigned(obj, out);
}
bool convert(PyObject* obj, std::uint32_t& out) {
    return convert_unsigned(obj, out);
}
bool convert(PyObject* obj, std::uint64_t& out) {
    return convert_unsigned(obj, out);
}

bool convert(PyObject* obj, Bytes& out) {
    if (!PyBytes_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'bytes'", type_name(obj));
        return false;
    }
    const auto* begin = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj));
    out.data.assign(begin, begin + PyBytes_GET_SIZE(obj));
    return true;
}

bool convert(PyObject* obj, Duration& out) {
    if (PyDateTimeAPI == nullptr || !PyDelta_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'timedelta'",
                     type_name(obj));
        return false;
    }
    const long long days = PyDateTime_DELTA_GET_DAYS(obj);
    const long long seconds = PyDateTime_DELTA_GET_SECONDS(obj);
    const long long micros = PyDateTime_DELTA_GET_MICROSECONDS(obj);
    if (days < 0) {  // seconds and microseconds are normalised to be non-negative
        PyErr_SetString(PyExc_ValueError, "a negative timedelta cannot be converted to a duration");
        return false;
    }
    out.secs = static_cast<std::uint64_t>(days) * 86400u + static_cast<std::uint64_t>(seconds);
    out.nanos = static_cast<std::uint32_t>(micros * 1000);
    return true;
}

bool sequence_length(PyObject* obj, Py_ssize_t& length) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "a str is not accepted as a list");
        return false;
    }
    if (!PySequence_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'",
                     type_name(obj));
        return false;
    }
    length = PySequence_Size(obj);
    return length >= 0;
}

PyObject* sequence_item(PyObject* obj, Py_ssize_t index) {
    return PySequence_GetItem(obj, index);
}

bool check_length(Py_ssize_t expected, Py_ssize_t actual) {
    if (expected == actual) {
        return true;
    }
    PyErr_Format(PyExc_ValueError, "expected a sequence of length %zd (got %zd)", expected, actual);
    return false;
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

PyObject* to_python(double value) {
    return PyFloat_FromDouble(value);
}
PyObject* to_python(bool value) {
    return PyBool_FromLong(value ? 1 : 0);
}

PyObject* float_list(const double* values, std::size_t count) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) {
        return nullptr;
    }
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (item == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.detach();
}

bool init_datetime() {
    if (PyDateTimeAPI == nullptr) {
        PyDateTime_IMPORT;
    }
    return PyDateTimeAPI != nullptr;
}

}  // namespace wenlo::py
