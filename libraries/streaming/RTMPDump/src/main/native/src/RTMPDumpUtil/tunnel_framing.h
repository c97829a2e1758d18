// The RTMPT tunnel's answers seen from the reading side. Every answer is an
// HTTP response whose body is a polling byte and then RTMP data; librtmp
// strips the framing only as its reader reaches it, with a parser that
// believes any length, so the chunk guard cannot look at what it is about
// to read. Here the framing of the bytes ahead is taken out first, by a
// strict parser, and librtmp's reader finds plain RTMP data where it
// looks.
#ifndef TAVREL_RTMPDUMPUTIL_TUNNEL_FRAMING_H
#define TAVREL_RTMPDUMPUTIL_TUNNEL_FRAMING_H

#include <librtmp/rtmp.h>

namespace tavrel {

// The answer header at p (n bytes there): 1 with its length and the
// body's, 0 while it is incomplete, -1 when it is not a tunnel answer (a
// status other than 200, no or a broken Content-Length, a body longer than
// librtmp's receive buffer).
int tunnel_answer_header(const char *p, int n, int *header_len, int *body_len);

// More bytes from the socket behind what librtmp's receive buffer holds
// (moved to the buffer's start when they would not fit behind); false when
// none came or the buffer is full.
bool receive_more(RTMP *r);

// Whether r reads through the tunnel in the clear (not RTMPE inside it).
bool is_plain_tunnel(const RTMP *r);

// The RTMP data at the start of librtmp's receive buffer.
int tunnel_data_buffered(const RTMP *r);

// Makes `need` bytes of RTMP data lie at the start of the receive buffer,
// taking the answers' framing out (and asking for more with an idle
// request when no answer is owed, as librtmp's reader does): 1 when they
// are there, 0 when the server's answers are not well-formed, -1 when they
// did not arrive (closed, timed out, or more than the buffer holds).
int tunnel_unwrap(RTMP *r, int need);

}  // namespace tavrel

#endif
