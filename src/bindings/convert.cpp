#include "bindings/convert.h"

#include "bindings/interrupt.h"
#include "bindings/panic.h"

#include <datetime.h>

#include <cstring>

namespace wenlo::py {

// --- failures ----------------------------------------------------------------------------------

PyObject* raise_failure(const Failure& failure) {
    PyObject* type = nullptr;
    switch (failure.kind) {
        case Failure::Kind::Pending:
            if (PyErr_Occurred() == nullptr) {
                PyErr_SetNone(PyExc_KeyboardInterrupt);  // interrupted, and the reason was lost
            }
            return nullptr;
        case Failure::Kind::Panic:
            raise_panic(failure.text);
            return nullptr;
        case Failure::Kind::Runtime:
            type = PyExc_RuntimeError;
            break;
        case Failure::Kind::Value:
            type = PyExc_ValueError;
            break;
    }
    // Texts may quote bytes from a device; an undecodable one must still raise.
    if (Ref message = Ref::steal(Caster<std::string>::to(failure.text))) {
        PyErr_SetObject(type, message.get());
    }
    return nullptr;
}

Failure failure_of(const controller::Error& error) {
    if (interrupted_by_python(error) || interruption_pending()) {
        return Failure::pending();
    }
    return error.is_refusal() ? Failure::value(error.message()) : Failure::runtime(error.message());
}

Failure failure_of(const control_loop::MotorError& error) {
    return Failure::runtime(error.message());
}

Failure failure_of(const control_loop::StartFailure& failure) {
    using Kind = control_loop::StartFailure::Kind;
    switch (failure.kind()) {
        case Kind::Motor:
            // A check that a signal broke (EINTR) must not read as missing hardware.
            return interruption_pending() ? Failure::pending()
                                          : Failure::runtime(failure.message());
        case Kind::InvalidArgument:
            return Failure::value(failure.message());
        case Kind::Device:
            return Failure::runtime(failure.message());
        case Kind::Interrupted:
            return Failure::pending();
        case Kind::SpawnFailed:
            break;
    }
    return {Failure::Kind::Panic, failure.message()};
}

Failure failure_of(const control_loop::CallFailure& failure) {
    switch (failure.kind) {
        case control_loop::CallFailure::Kind::Failed:
            return Failure::runtime(failure.text);
        case control_loop::CallFailure::Kind::Refused:
            return Failure::value(failure.text);
        case control_loop::CallFailure::Kind::Stopped:
            break;
    }
    return Failure::pending();
}

// --- arguments ---------------------------------------------------------------------------------

bool refuse(PyObject* obj, const char* expected) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", Py_TYPE(obj)->tp_name,
                 expected);
    return false;
}

bool float_from(PyObject* obj, double& out) {
    const double value = PyFloat_AsDouble(obj);
    return !(value == -1.0 && PyErr_Occurred()) && (out = value, true);
}

bool Caster<bool>::from(PyObject* obj, bool& out) {
    const std::string_view name = Py_TYPE(obj)->tp_name;
    if (!PyBool_Check(obj) && name != "numpy.bool_" && name != "numpy.bool") {
        return refuse(obj, "bool");
    }
    const int truth = PyObject_IsTrue(obj);
    return truth >= 0 && (out = truth == 1, true);
}

bool unsigned_from(PyObject* obj, unsigned long long max, unsigned long long& out) {
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

bool Caster<std::string>::from(PyObject* obj, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        return refuse(obj, "str");
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

bool Caster<Bytes>::from(PyObject* obj, Bytes& out) {
    if (!PyBytes_Check(obj)) {
        return refuse(obj, "bytes");
    }
    const auto* begin = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj));
    out.data.assign(begin, begin + PyBytes_GET_SIZE(obj));
    return true;
}

bool init_datetime() {
    if (PyDateTimeAPI == nullptr) {
        PyDateTime_IMPORT;
    }
    return PyDateTimeAPI != nullptr;
}

bool Caster<Duration>::from(PyObject* obj, Duration& out) {
    if (PyDateTimeAPI == nullptr || !PyDelta_Check(obj)) {
        return refuse(obj, "timedelta");
    }
    const long long days = PyDateTime_DELTA_GET_DAYS(obj);
    if (days < 0) {  // seconds and microseconds are normalised to be non-negative
        PyErr_SetString(PyExc_ValueError, "a negative timedelta cannot be converted to a duration");
        return false;
    }
    out.secs = static_cast<std::uint64_t>(days) * 86400u +
               static_cast<std::uint64_t>(PyDateTime_DELTA_GET_SECONDS(obj));
    out.nanos = static_cast<std::uint32_t>(PyDateTime_DELTA_GET_MICROSECONDS(obj) * 1000);
    return true;
}

bool sequence_length(PyObject* obj, Py_ssize_t expected, Py_ssize_t& length) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "a str is not accepted as a list");
        return false;
    }
    if (!PySequence_Check(obj)) {
        return refuse(obj, "Sequence");
    }
    length = PySequence_Size(obj);
    if (length < 0) {
        return false;
    }
    if (expected >= 0 && length != expected) {
        PyErr_Format(PyExc_ValueError, "expected a sequence of length %zd (got %zd)", expected,
                     length);
        return false;
    }
    return true;
}

// --- results -----------------------------------------------------------------------------------

bool Caster<controller::Bounds>::from(PyObject* obj, controller::Bounds& out) {
    std::array<double, 2> pair{};
    return Caster<std::array<double, 2>>::from(obj, pair) && (out = {pair[0], pair[1]}, true);
}

bool mapping_items(PyObject* obj, Ref& items) {
    if (!PyMapping_Check(obj) || PyUnicode_Check(obj) || PySequence_Check(obj)) {
        return refuse(obj, "Mapping");
    }
    items = Ref::steal(PyMapping_Items(obj));
    return static_cast<bool>(items);
}

bool Caster<controller::ExitPolicy>::from(PyObject* obj, controller::ExitPolicy& out) {
    std::string name;
    if (!Caster<std::string>::from(obj, name)) {
        return false;
    }
    const auto policy = controller::exit_policy_named(name);
    if (!policy) {
        PyErr_Format(PyExc_ValueError, "on_exit must be 'hold', 'limp' or 'damp', not %R", obj);
        return false;
    }
    out = *policy;
    return true;
}

bool Caster<control_loop::MaxStep>::from(PyObject* obj, control_loop::MaxStep& out) {
    if (PyMapping_Check(obj) && !PySequence_Check(obj)) {
        out.all.reset();
        return Caster<std::vector<std::pair<std::string, double>>>::from(obj, out.by_joint);
    }
    if (!PyNumber_Check(obj)) {
        return refuse(obj, "float or Mapping");
    }
    double step = 0.0;
    return float_from(obj, step) && (out = {step, {}}, true);
}

}  // namespace wenlo::py
