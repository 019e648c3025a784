// Interpreter-lock hand-offs as RAII pairs, so that no exception can skip the second half.
//
// A thread that takes the interpreter lock back after finalization has begun is ended with
// pthread_exit (CPython 3.10 to 3.13), which unwinds our frames as a forced unwind. By then the
// thread holds no interpreter lock and may not touch Python at all, so every release below
// first asks whether this thread still holds it; the destructors that can themselves re-enter
// the interpreter are noexcept(false) so that such an unwind passes instead of terminating.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace wenlo::py {

// True when this thread holds the interpreter lock. False on the way out of a thread that the
// interpreter is ending, which is when Python objects must be left alone. PyGILState_Check
// cannot tell: it answers true for every thread once finalization has switched its checks off.
inline bool holds_interpreter_lock() {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;  // the thread's own, attached only with it
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyThreadState_UncheckedGet() != nullptr;
#else
    // Before 3.12 the current thread state is process-wide: it must be this thread's own.
    PyThreadState* current = _PyThreadState_UncheckedGet();
    return current != nullptr && current == PyGILState_GetThisThreadState();
#endif
}

// PyGILState_Ensure ... PyGILState_Release.
class GilEnsure {
  public:
    GilEnsure() : state_(PyGILState_Ensure()) {}
    ~GilEnsure() {
        if (holds_interpreter_lock()) {
            PyGILState_Release(state_);
        }
    }
    GilEnsure(const GilEnsure&) = delete;
    GilEnsure& operator=(const GilEnsure&) = delete;

  private:
    PyGILState_STATE state_;
};

// Py_BEGIN_ALLOW_THREADS ... Py_END_ALLOW_THREADS. Taking the lock back may end the thread
// during finalization; that forced unwind must be allowed out of the destructor.
class AllowThreads {
  public:
    AllowThreads() : saved_(PyEval_SaveThread()) {}
    ~AllowThreads() noexcept(false) { PyEval_RestoreThread(saved_); }
    AllowThreads(const AllowThreads&) = delete;
    AllowThreads& operator=(const AllowThreads&) = delete;

  private:
    PyThreadState* saved_;
};

}  // namespace wenlo::py
