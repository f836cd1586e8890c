#pragma once
// What every fuzz target shares: a check that stops the run with a message when a property of
// the code under test does not hold. Unlike assert() it stays on in optimised builds, and the
// abort makes libFuzzer keep the input that broke it as a crash file.

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                               \
    do {                                                                                    \
        if (!(condition)) {                                                                 \
            std::fprintf(stderr, "%s:%d: property does not hold: %s\n", __FILE__, __LINE__, \
                         #condition);                                                       \
            std::abort();                                                                   \
        }                                                                                   \
    } while (false)
