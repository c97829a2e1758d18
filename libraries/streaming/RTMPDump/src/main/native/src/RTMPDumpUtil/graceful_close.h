// The end of a publish that lets the server take everything in: unpublish,
// delete the stream, shut our side, and read until the server has closed
// its side, all within one bound. A server that reads slowly still holds
// messages it has not processed when the last send returns; closing then
// makes it meet a dead peer and drop them.
#ifndef TAVREL_RTMPDUMPUTIL_GRACEFUL_CLOSE_H
#define TAVREL_RTMPDUMPUTIL_GRACEFUL_CLOSE_H

#include <librtmp/rtmp.h>

#include <cstdint>

namespace tavrel {

struct MessageWriter;
struct ServerReader;

// The bytes of chunk stream the kernel has taken on a direct plain TCP link
// (the handshake left out); false on any other link.
bool link_bytes_out(const RTMP *r, uint64_t *bytes);

// FCUnpublish and deleteStream through w, shutdown of the write side, then
// the server's messages (acknowledgements included) through sr until it
// closes its side. Nothing of it takes longer than timeout_ms in all. True
// when the server closed its side within the bound. The socket stays open,
// and the record no longer names a stream, so that closing it sends nothing.
bool end_publish(RTMP *r, MessageWriter *w, ServerReader *sr, int timeout_ms);

}  // namespace tavrel

#endif
