// What every chunk writer of this library works out the same way before a
// byte goes out: which messages may be sent at all, the header compression
// against the chunk stream's last message, the first chunk's header in its
// three basic-header forms with the extended timestamp, the continuation
// header, and the records librtmp keeps per chunk stream and per invocation.
#ifndef TAVREL_RTMPDUMPUTIL_CHUNK_HEADER_H
#define TAVREL_RTMPDUMPUTIL_CHUNK_HEADER_H

#include <librtmp/rtmp.h>

#include <cstdint>

namespace tavrel {

// The largest first-chunk header: 12, 2 more basic-header bytes and 4 of
// extended timestamp.
constexpr int kMaxChunkHeaderLen = 18;
// A continuation header: basic header (up to 3) and extended timestamp.
constexpr int kMaxContinuationLen = 3 + 4;
// Three-byte basic header: 64 + 0xFFFF.
constexpr int kMaxChunkStreamId = 65599;
constexpr int kMaxOneByteChunkStreamId = 63;
// The 24-bit timestamp field holds this when the real value follows in the
// extended timestamp.
constexpr uint32_t kTimestampFieldMax = 0xFFFFFF;

// The headers of one message: the first chunk's, built so that it ends
// where the caller asked, and the one in front of every later chunk.
struct ChunkHeaders {
    char *first;
    int first_len;
    char continuation[kMaxContinuationLen];
    int continuation_len;
    // The extended timestamp follows every header of the message; a
    // type-3 header of the next message on the chunk stream carries it too.
    bool is_extended;
};

// Refuses (logged under `who`) what would put bytes the receiver cannot
// parse on the wire, or make a writer reach outside the caller's buffers:
// a chunk size below 1, a chunk stream id outside 2 to max_channel, a body
// size without body or above 24 bits. The body is not looked at when
// body_is_elsewhere.
bool is_sendable_message(const RTMP *r, const RTMPPacket *pkt, int max_channel, const char *who,
                         bool body_is_elsewhere = false);

// The record of the last message sent on the chunk stream, or null.
const RTMPPacket *last_record(const RTMP *r, int channel);

// Builds the headers of pkt: the first one so that it ends at header_end
// (the caller leaves kMaxChunkHeaderLen bytes in front of it), and the
// continuation header. elapsed_ts is the timestamp (type 0) or its delta.
// continues_extended: the chunk stream's last header before this one had
// its timestamp field at 0xFFFFFF, so a type-3 header carries the extended
// timestamp as well.
void build_chunk_headers(const RTMPPacket *pkt, uint32_t elapsed_ts, bool continues_extended, char *header_end,
                         ChunkHeaders *h);

// What every writer does before a message's first byte: the header
// compression, the header type check, and room for the message's record so
// that a message that went out is always recorded (*fresh is a new record
// when the chunk stream has none yet: free it when the message fails).
// *elapsed_ts is what the timestamp field carries, the timestamp (type 0)
// or its delta. False (logged) when the message is not to be sent.
bool prepare_message(RTMP *r, RTMPPacket *pkt, const char *who, uint32_t *elapsed_ts, RTMPPacket **fresh);

// After a message went out: its record (a shallow copy of the packet, as
// librtmp keeps it) for the next header compression on the chunk stream.
void keep_record(RTMP *r, const RTMPPacket *pkt, RTMPPacket *fresh);

// After an invocation went out: its method logged and, with
// use_remote_call_queue, queued by transaction number so that the server's
// _result / _error can be matched to it. Reads the body at m_body.
void remember_invocation(RTMP *r, const RTMPPacket *pkt, int use_remote_call_queue, const char *who);

}  // namespace tavrel

#endif
