// One row of the JNI tests' direct-buffer tables: a buffer as a JVM may
// hand it over, the range a call asks of it, and the call's result.
#pragma once

#include <cstdint>

namespace tavrel_testing {

struct DirectBufferCase {
    const char *name;
    void *address;     // null: a heap buffer, which has none
    int64_t capacity;  // -1: not known
    int32_t offset, length;
    int32_t rc;
};

}  // namespace tavrel_testing
