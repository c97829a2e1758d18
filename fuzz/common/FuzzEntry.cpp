// The libFuzzer entry of every target. A target's checks live in its
// folder, shared with the test that replays its seeds; the build names the
// check (FUZZ_CHECK), the one-time set-up when there is one (FUZZ_INIT) and
// a cross-over that knows the input's structure (FUZZ_CROSSOVER).
#include <cstddef>
#include <cstdint>

void FUZZ_CHECK(const uint8_t *data, size_t size);

#ifdef FUZZ_INIT
void FUZZ_INIT();

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FUZZ_INIT();
    return 0;
}
#endif

#ifdef FUZZ_CROSSOVER
size_t FUZZ_CROSSOVER(const uint8_t *a, size_t a_size, const uint8_t *b, size_t b_size, uint8_t *out,
                      size_t max_out, unsigned int seed);

extern "C" size_t LLVMFuzzerCustomCrossOver(const uint8_t *a, size_t a_size, const uint8_t *b, size_t b_size,
                                            uint8_t *out, size_t max_out, unsigned int seed)
{
    return FUZZ_CROSSOVER(a, a_size, b, b_size, out, max_out, seed);
}
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FUZZ_CHECK(data, size);
    return 0;
}
