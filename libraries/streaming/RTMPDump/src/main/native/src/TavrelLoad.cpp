// Load-time set-up of librtmp.
#include "RTMPDumpUtil.h"

// librtmp keeps its TLS credentials in a global of this name; ours
// interposes it for the whole process, so it must stay a plain pointer that
// librtmp may fill.
void *RTMP_TLS_ctx = nullptr;

namespace {

// librtmp's first RTMP_Init does its one-time process-wide set-up (TLS
// included). Doing it when the library is loaded keeps that work out of the
// first connection.
__attribute__((constructor)) void tls_init()
{
    RTMP *r = RTMP_Alloc();
    if (!r)
        return;
    RTMP_Init(r);
    RTMP_Free(r);
}

}  // namespace
