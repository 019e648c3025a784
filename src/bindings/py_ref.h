// A move-only owned Python reference; detach() hands the reference on.
#pragma once

#include "bindings/gil.h"

#include <utility>
#include <vector>

namespace wenlo::py {

class Ref {
  public:
    Ref() = default;
    // Takes ownership of a new reference (may be null).
    static Ref steal(PyObject* obj) { return Ref(obj); }
    static Ref borrow(PyObject* obj) {
        Py_XINCREF(obj);
        return Ref(obj);
    }
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    // Releasing a reference may run arbitrary Python code (a __del__), which may end the thread
    // during finalization: neither may be noexcept.
    Ref& operator=(Ref&& other) {
        if (this != &other) {
            release();
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() noexcept(false) { release(); }

    PyObject* get() const { return obj_; }
    PyObject* detach() { return std::exchange(obj_, nullptr); }
    explicit operator bool() const { return obj_ != nullptr; }

  private:
    explicit Ref(PyObject* obj) : obj_(obj) {}
    // A thread that the interpreter is ending leaks its references rather than touch Python
    // without the interpreter lock.
    void release() {
        if (obj_ != nullptr && holds_interpreter_lock()) {
            Py_DECREF(obj_);
        }
        obj_ = nullptr;
    }
    PyObject* obj_ = nullptr;
};

// A new reference to each object, so that each stays alive while the caller gives the
// interpreter lock up (another thread may drop the last other reference meanwhile).
inline std::vector<Ref> held(const std::vector<PyObject*>& objects) {
    std::vector<Ref> refs;
    for (PyObject* object : objects) {
        refs.push_back(Ref::borrow(object));
    }
    return refs;
}

// Sets aside the exception pending on this thread and puts it back on destruction, so that a
// call into Python made on the side cannot disturb what the caller had pending.
class PendingErrorGuard {
  public:
    PendingErrorGuard() { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~PendingErrorGuard() {
        if (holds_interpreter_lock()) {
            PyErr_Restore(type_, value_, traceback_);
        }
    }
    PendingErrorGuard(const PendingErrorGuard&) = delete;
    PendingErrorGuard& operator=(const PendingErrorGuard&) = delete;

  private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// Takes the pending exception off this thread: its normalised value, traceback attached, or
// null when none is pending.
inline Ref take_pending_exception() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
}

}  // namespace wenlo::py
