// Shared by the fuzz targets: a broken invariant is a crash, and the plugin's log stays quiet.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                         \
    do {                                                                                              \
        if (!(condition)) {                                                                           \
            std::fprintf(stderr, "fuzz check failed: %s at %s:%d\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                             \
        }                                                                                             \
    } while (0)

// Millions of inputs must not each write records to the log file: records below level 6 (all of them) are
// dropped before they are formatted, unless the caller asked for a level. In-memory captures still see them.
// Set while statics are initialised, so before the first input and before the logger (made on first use) reads it.
[[maybe_unused]] static const bool g_quietLog = setenv("VANTRA_LOG_LEVEL", "6", 0) == 0;
