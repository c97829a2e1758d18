// The libFuzzer entry of every target. A target's checks live in its
// folder, shared with the test that replays its seeds; the build names the
// check (FUZZ_CHECK) and the one-time set-up, when there is one (FUZZ_INIT).
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FUZZ_CHECK(data, size);
    return 0;
}
