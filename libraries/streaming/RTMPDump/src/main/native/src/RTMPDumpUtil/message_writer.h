// The publisher's way out for every message it sends: one RTMP message, its
// chunk headers and the body slices between them, leaves with one system
// call. The bytes are those librtmp's RTMP_SendPacket writes at the same
// chunk size (the same header compression, basic header forms and extended
// timestamps), except that a type-3 header behind a header whose timestamp
// field was 0xFFFFFF carries the extended timestamp too, as receivers read
// it, and that type 2 is never promoted to type 3. Afterwards the
// connection's chunk-stream records and invocation queue are what
// RTMP_SendPacket would have left, so librtmp's own later messages (at
// close, at a stream reconnection) stay right.
//
// One writer per connection, used under the connection's send lock.
#ifndef TAVREL_RTMPDUMPUTIL_MESSAGE_WRITER_H
#define TAVREL_RTMPDUMPUTIL_MESSAGE_WRITER_H

#include <librtmp/rtmp.h>

#include <cstdint>

namespace tavrel {

// A piece of a message body that lies somewhere in memory; the slices of a
// message follow one another on the wire.
struct BodySlice {
    const char *data;
    uint32_t len;
};

struct MessageWriter;

// A writer for the connection r; null when out of memory. Takes the
// socket's send timeout (SO_SNDTIMEO) as the time one message may take.
MessageWriter *message_writer_new(const RTMP *r);
void message_writer_free(MessageWriter *w);

// The time one message may take from now on, in milliseconds (0: no
// bound), for a socket whose SO_SNDTIMEO was changed after the writer was
// made.
void message_writer_set_timeout(MessageWriter *w, int timeout_ms);

// Bytes of chunk stream (headers and bodies, before any TLS, RTMPE or
// tunnel framing) this writer has handed to the connection.
uint64_t message_writer_bytes_written(const MessageWriter *w);

// Sends one message: pkt gives the header fields (m_headerType may be
// lowered from 1 to 2, as librtmp does) and is what the chunk stream's
// record becomes; its body is the slices, m_nBodySize bytes in all (an
// invocation's body must be one slice, at m_body). Short writes, EINTR and
// EAGAIN continue where they stopped until the send timeout has passed.
// 1 when the whole message went out; 0 when it was refused (logged,
// nothing written) or the write failed (logged, the connection closed with
// RTMP_Close as librtmp's sender does).
int send_message(MessageWriter *w, RTMP *r, RTMPPacket *pkt, const BodySlice *slices, int num_slices,
                 int use_remote_call_queue);

// send_message with pkt's own body (m_body, m_nBodySize) as the one slice.
int send_packet_body(MessageWriter *w, RTMP *r, RTMPPacket *pkt, int use_remote_call_queue);

}  // namespace tavrel

#endif
