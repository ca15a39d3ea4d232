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

// Millions of inputs must not each write to the log file, so records below level 6 (all) are dropped unformatted;
// captures still see them. Set with the statics, before the logger (made on first use) reads it.
[[maybe_unused]] static const bool g_quietLog = setenv("VANTRA_LOG_LEVEL", "6", 0) == 0;
