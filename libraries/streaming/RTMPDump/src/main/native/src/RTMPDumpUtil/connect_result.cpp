// The detailed connect result of each thread.
#include "RTMPDumpUtil/connect_result.h"

#include "Tavrel.h"

namespace tavrel {

namespace {

// A Java control thread reads the reason right after its own connect;
// connects on other threads must not overwrite it.
thread_local int last_result = TAVREL_CONNECT_OK;

}  // namespace

int coarse_connect_code(int detailed)
{
    switch (detailed) {
    case TAVREL_CONNECT_DNS:
    case TAVREL_CONNECT_HANDSHAKE:
        return TAVREL_CONNECT_UNREACHABLE;
    case TAVREL_CONNECT_APP_REFUSED:
    case TAVREL_CONNECT_PUBLISH_REFUSED:
    case TAVREL_CONNECT_AUTH_FAILED:
        return TAVREL_CONNECT_NOT_PUBLISHED;
    default:
        return detailed;
    }
}

int finish_connect(int detailed)
{
    last_result = detailed;
    return coarse_connect_code(detailed);
}

}  // namespace tavrel

extern "C" int tavrel_last_connect_result(void) { return tavrel::last_result; }
