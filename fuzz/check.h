// The fuzz targets' oracle: a failed check is a crash libFuzzer records,
// with the condition and line on standard error.
#pragma once

#include <cstdio>
#include <cstdlib>

#define CHECK(condition)                                                          \
    do {                                                                          \
        if (!(condition)) {                                                       \
            fprintf(stderr, "check failed: %s (line %d)\n", #condition, __LINE__); \
            abort();                                                              \
        }                                                                         \
    } while (0)
