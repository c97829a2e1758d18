// A fuzz target's seeds (and the findings kept next to them) through the
// target's own checks, so that a regular build keeps every one of them
// passing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tavrel_testing {

using CorpusCheck = void (*)(const uint8_t *data, size_t size);

// Each regular file of `dir` through `check`, which aborts on a broken
// invariant; returns how many files it replayed, so that a test notices a
// corpus that went missing.
size_t replay_corpus(const std::string &dir, CorpusCheck check);

}  // namespace tavrel_testing
