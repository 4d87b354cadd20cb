// A property that a fuzz target states about the code under test. A broken one
// aborts, so libFuzzer keeps the input that broke it as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

#define GD_FUZZ_CHECK(condition)                                                                  \
    do {                                                                                          \
        if (!(condition)) {                                                                       \
            std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                         \
        }                                                                                         \
    } while (false)
