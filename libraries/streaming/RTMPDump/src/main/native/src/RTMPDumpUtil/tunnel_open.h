// Opening an RTMPT link: the tunnel's open request, the RTMP handshake and
// the connect command, in place of librtmp's RTMP_Connect1, whose wait for
// the open's answer never ends when the server hangs up or stays silent.
#ifndef TAVREL_RTMPDUMPUTIL_TUNNEL_OPEN_H
#define TAVREL_RTMPDUMPUTIL_TUNNEL_OPEN_H

#include <librtmp/rtmp.h>

namespace tavrel {

// On r's connected socket (and TLS session, when set): true with the
// connect command sent and the tunnel's state where librtmp's reader
// carries on, or false when the server did not answer in timeout_ms (the
// reason logged). Every wait ends by the deadline.
bool tunnel_open(RTMP *r, int timeout_ms);

}  // namespace tavrel

#endif
