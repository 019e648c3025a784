// A thread that the system ends with pthread_exit (CPython does it to a thread that takes the
// interpreter lock back during finalization) unwinds as a "forced unwind": a catch-all may see
// it but must let it go on, or glibc aborts the process. Call inside catch (...), and rethrow
// when it answers true.
//
// A forced unwind is no C++ exception, and the runtime will not hand out a pointer to a foreign
// exception: std::current_exception() is empty inside the catch-all. Asking that, rather than
// catching abi::__forced_unwind by reference, binds no reference to the null object such an
// unwind carries (which UndefinedBehaviorSanitizer rightly reports). Any other foreign
// exception is let through as well, which is what a catch-all of ours should do with it.
#pragma once

#include <exception>

namespace wenlo {

inline bool is_forced_unwind() { return std::current_exception() == nullptr; }

}  // namespace wenlo
