// libFuzzer entry: an FLV stream cut into pieces through RTMP_Write_fix on
// socket-pair connections.
#include "FlvWriteChecks.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    flv_checks_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    check_flv_write_fix(data, size);
    return 0;
}
