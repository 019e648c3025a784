// An invariant of a fuzz target: when it fails the target stops with a message, and libFuzzer
// keeps the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>

// Stops the run with a message the fuzzer records, when an invariant does not hold.
#define FUZZ_CHECK(condition)                                                   \
    do {                                                                        \
        if (!(condition)) {                                                     \
            std::fprintf(stderr, "invariant failed: %s (%s:%d)\n", #condition, \
                         __FILE__, __LINE__);                                   \
            std::abort();                                                       \
        }                                                                       \
    } while (0)

