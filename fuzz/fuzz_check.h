// What the fuzz targets share: a check that stops the run with a message when an invariant breaks.
#pragma once

#include <cstdio>
#include <cstdlib>

inline void fuzzCheck(bool condition, const char* target, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "%s fuzz: %s\n", target, what);
        std::abort();
    }
}
