// The fuzz targets' assertion: a failed check is a finding, so it prints
// where it failed and aborts, which libFuzzer and the replay program both
// report as a crash. It stays on in every build type.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);      \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)
