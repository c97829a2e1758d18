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

// Header compression: a type-1 header whose body size and message type
// repeat the previous message's becomes type 2. Type 2 is never promoted to
// type 3: a receiver adds the previous *delta* to a new message behind a
// type-3 header, which is not what an equal timestamp asks for (0, 40, 40
// would arrive as 0, 40, 80). True when the header is relative to the
// previous message of the chunk stream.
bool compress_header_type(const RTMPPacket *prev_pkt, RTMPPacket *pkt);

// False, logged as librtmp logs it, for a header type above 3.
bool has_valid_header_type(const RTMPPacket *pkt);

// Builds the headers of pkt: the first one so that it ends at header_end
// (the caller leaves kMaxChunkHeaderLen bytes in front of it), and the
// continuation header. elapsed_ts is the timestamp (type 0) or its delta.
// continues_extended: the chunk stream's last header before this one had
// its timestamp field at 0xFFFFFF, so a type-3 header carries the extended
// timestamp as well.
void build_chunk_headers(const RTMPPacket *pkt, uint32_t elapsed_ts, bool continues_extended, char *header_end,
                         ChunkHeaders *h);

// Room for the record of a message before anything is written, so that a
// message that went out is always recorded. *fresh is a new record when the
// chunk stream has none yet (free it when the message fails); false
// (logged) when memory runs out.
bool reserve_record(RTMP *r, int channel, const char *who, RTMPPacket **fresh);

// After a message went out: its record (a shallow copy of the packet, as
// librtmp keeps it) for the next header compression on the chunk stream.
void keep_record(RTMP *r, const RTMPPacket *pkt, RTMPPacket *fresh);

// After an invocation went out: its method logged and, with
// use_remote_call_queue, queued by transaction number so that the server's
// _result / _error can be matched to it. Reads the body at m_body.
void remember_invocation(RTMP *r, const RTMPPacket *pkt, int use_remote_call_queue, const char *who);

}  // namespace tavrel

#endif
