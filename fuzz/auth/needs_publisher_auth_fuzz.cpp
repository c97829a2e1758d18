// libFuzzer entry: server command packets through needs_publisher_auth.
#include "AuthChecks.h"

#include "RTMPDumpUtilInternal.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The routines log every refusal; a fuzz run needs none of it.
    RTMP_LogSetLevel(RTMP_LOGCRIT);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    check_server_command(data, size);
    return 0;
}
