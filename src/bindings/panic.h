// Internal failures: a broken invariant becomes PanicException (derived from BaseException), and
// every entry point from Python turns an escaping C++ exception into one. Nothing unwinds into
// the interpreter.
#pragma once

#include "bindings/py_ref.h"

#include "common/forced_unwind.h"

#include <exception>
#include <string>
#include <utility>

namespace wenlo::py {

// The PanicException class, created once per process on first use; null with an exception set
// if it could not be created.
PyObject* panic_exception_type();
// Raises PanicException(message); aborts if even that is impossible.
void raise_panic(const std::string& message);

// Runs body(), which returns a PyObject* (null with an exception set) or an int status, and
// turns any escaping C++ exception into PanicException. A forced unwind (a thread that the
// interpreter ends at exit) passes untouched, so this must not be noexcept.
template <typename R, typename F>
R guard(R failure, F&& body) {
    try {
        return body();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        if (is_forced_unwind()) {
            throw;
        }
        raise_panic("internal failure");
    }
    return failure;
}

}  // namespace wenlo::py
