// libFuzzer entry: _error descriptions through PublisherAuth_v2.
#include "AuthChecks.h"

#include "RTMPDumpUtilInternal.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    RTMP_LogSetLevel(RTMP_LOGCRIT);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    check_auth_description(data, size);
    return 0;
}
