// Opening one connection of a link in place of librtmp's RTMP_Connect: our
// own socket (every address of the host, IPv6 included), our own TLS, then
// librtmp's RTMP handshake and connect command on top of them.
#ifndef TAVREL_RTMPDUMPUTIL_LINK_OPEN_H
#define TAVREL_RTMPDUMPUTIL_LINK_OPEN_H

#include "RTMPDumpUtil/address_dialer.h"
#include "RTMPDumpUtil/tls_session.h"

#include <librtmp/rtmp.h>

namespace tavrel {

// What every connection of one connect_rtmp_w call uses.
struct LinkPlan {
    TlsPolicy tls;
    const Dialer *dialer;  // null: dial_host
    TlsTrust **trust;      // loaded at the first TLS connection, kept with the record
};

// Connects r (set up from its URL) up to the connect command sent:
// TAVREL_CONNECT_OK, or the failure's TAVREL_CONNECT_RESULT with r closed.
int open_link(RTMP *r, const LinkPlan &plan);

// Closes r's socket without one more byte on the wire: the TLS session
// goes without its close_notify, the tunnel's client id is forgotten (librtmp
// would post a close with it), so that RTMP_Close finds the record
// disconnected and only releases it.
void cut_link(RTMP *r);

}  // namespace tavrel

#endif
