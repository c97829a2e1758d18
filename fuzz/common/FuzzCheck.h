// The fuzz checks' assertion: a failed check must abort so libFuzzer keeps
// the input, and must say which check so the finding can be read without a
// debugger. The corpus replay tests run the same checks.
#pragma once

#include <cstdio>
#include <cstdlib>

#define CHECK(cond)                                                                   \
    do {                                                                              \
        if (!(cond)) {                                                                \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                                  \
        }                                                                             \
    } while (0)
