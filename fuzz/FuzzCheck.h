#pragma once

#include <cstdio>
#include <cstdlib>

// A broken property of a decoder: reported like a crash, so that libFuzzer keeps the input.
#define FUZZ_CHECK(...)                                                                            \
    do {                                                                                           \
        if (!(__VA_ARGS__)) {                                                                      \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__,               \
                         #__VA_ARGS__);                                                            \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)
