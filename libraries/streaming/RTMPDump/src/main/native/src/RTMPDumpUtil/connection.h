// The connection's read loop, shared by the connect (with its publisher
// authentication) and by the stream reconnection. connect_rtmp_w and
// close_rtmp_w are exported (RTMPDumpUtil.h).
#ifndef TAVREL_RTMPDUMPUTIL_CONNECTION_H
#define TAVREL_RTMPDUMPUTIL_CONNECTION_H

#include "RTMPDumpUtil/address_dialer.h"

#include <librtmp/log.h>
#include <librtmp/rtmp.h>

extern "C" {

/* Reads and handles server messages until the publish starts: m_bPlaying
 * (1 published, 0 not); 0 with *is_need_reconnect set when the server
 * demands authentication and Link.app / Link.tcUrl now carry the token for
 * the next connect; or PublisherAuth_v2's result when that is 0 or less. */
int RTMP_ConnectStream_v2(RTMP *r, int seek_time, AVal *username, AVal *password, int *is_uri_alloc,
                          int *is_need_reconnect);

/* The stream reconnection: deleteStream, createStream and publish again on
 * the same connection, read as the connect reads. 1 once published. */
int reconnect_stream_v2(RTMP *r);

}  // extern "C"

namespace tavrel {

// connect_rtmp_w with every connection of the link opened by dialer (null:
// the host's addresses, dial_host). A harness hands in the connected end of
// a socket pair here and plays the server on the other.
int connect_rtmp_via(const char *url, const char *username, const char *password, RTMP **rtmp,
                     RTMP_LogCallback *cb, const Dialer *dialer);

}  // namespace tavrel

#endif
