#include "bindings/results.h"

#include "bindings/interrupt.h"
#include "bindings/panic.h"

namespace wenlo::py {

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
    Ref message = Ref::steal(PyUnicode_DecodeUTF8(
        failure.text.data(), static_cast<Py_ssize_t>(failure.text.size()), "replace"));
    if (message) {
        PyErr_SetObject(type, message.get());
    }
    return nullptr;
}

Failure failure_of(const controller::Error& error) {
    if (interrupted_by_python(error) || interruption_pending()) {
        return Failure::pending();
    }
    return Failure::runtime(error.message());
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
        case Kind::Interrupted:
            return Failure::pending();
        case Kind::SpawnFailed:
            break;
    }
    return {Failure::Kind::Panic, failure.message()};
}

PyObject* ToPython<std::span<const candrive::damiao::registers::RegisterInfo>>::convert(
    std::span<const candrive::damiao::registers::RegisterInfo> table) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(table.size())));
    for (std::size_t i = 0; list && i < table.size(); ++i) {
        const auto& r = table[i];
        const bool is_float = r.value_type == candrive::damiao::registers::RegisterType::Float;
        PyObject* row = Py_BuildValue(
            "(s#is#Os#)", r.name.data(), static_cast<Py_ssize_t>(r.name.size()),
            static_cast<int>(r.id), is_float ? "float" : "int",
            static_cast<Py_ssize_t>(is_float ? 5 : 3), r.writable ? Py_True : Py_False,
            r.description.data(), static_cast<Py_ssize_t>(r.description.size()));
        if (row == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row);
    }
    return list.detach();
}

PyObject* ToPython<std::span<const serialbus::servo::feetech::common::RegisterInfo>>::convert(
    std::span<const serialbus::servo::feetech::common::RegisterInfo> table) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(table.size())));
    for (std::size_t i = 0; list && i < table.size(); ++i) {
        const auto& r = table[i];
        PyObject* row =
            Py_BuildValue("(s#iiO)", r.name.data(), static_cast<Py_ssize_t>(r.name.size()),
                          r.address, r.width, r.writable ? Py_True : Py_False);
        if (row == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row);
    }
    return list.detach();
}

PyObject* ToPython<control_loop::MotorNames>::convert(const control_loop::MotorNames& names) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) {
        return nullptr;
    }
    for (const auto& [name, id] : names) {
        Ref value = Ref::steal(PyLong_FromLong(id));
        if (!value || PyDict_SetItemString(dict.get(), name.c_str(), value.get()) < 0) {
            return nullptr;
        }
    }
    return dict.detach();
}

}  // namespace wenlo::py
