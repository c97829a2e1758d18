// libFuzzer entry for the ADTS reader, splitter and record makers.
#include "AdtsChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    check_adts(data, size);
    return 0;
}
