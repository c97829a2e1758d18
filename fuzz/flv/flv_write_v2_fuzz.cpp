// libFuzzer entry: one FLV tag (optionally behind the file header) through
// RTMP_Write_v2 on a socket-pair connection.
#include "FlvWriteChecks.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    flv_checks_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    check_flv_write_v2(data, size);
    return 0;
}
