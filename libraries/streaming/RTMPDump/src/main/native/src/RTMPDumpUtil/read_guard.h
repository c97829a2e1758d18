// The one guard between the server and librtmp's reader and handlers.
// librtmp trusts what the server sends in several places where a broken or
// hostile server can make it write past a body, read past one, leak or
// recurse without limit; everything the connection reads passes here first:
// the next chunk header, the messages in progress, the length of control
// messages and the AMF0 grammar of commands.
#ifndef TAVREL_RTMPDUMPUTIL_READ_GUARD_H
#define TAVREL_RTMPDUMPUTIL_READ_GUARD_H

#include <librtmp/rtmp.h>

#include <stdint.h>

extern "C" {

/* The next chunk header as librtmp will read it. */
typedef struct ChunkHeader {
    int fmt;                    /* 0..3: 11, 7, 3 or 0 bytes of message header */
    int csid;                   /* chunk stream id, 2..65599 */
    int has_length;             /* types 0 and 1 carry a message length */
    uint32_t body_size;         /* that length */
    int has_extended_timestamp; /* types 0..2 with a timestamp field of 0xffffff */
    int size;                   /* bytes of the whole header */
} ChunkHeader;

/* The size of the header at p (n bytes there), or 0 when more are needed. */
int chunk_header_parse(const unsigned char *p, int n, ChunkHeader *out);

/* 0 when h would make librtmp continue a message in progress with another
 * length than the body it holds. */
int chunk_header_is_safe(const RTMP *r, const ChunkHeader *h);

/* Before each RTMP_ReadPacket: 1 to read, 0 when the next header is refused
 * (it is not safe, or announces a message of more than 1 MiB; logged at
 * level 1 with caller's name), -1 when it could not be received. */
int chunk_read_guard(RTMP *r, const char *caller);

}  // extern "C"

namespace tavrel {

// The bytes that the AMF0 values of a command take (unnamed values up to an
// object end or the end of the bytes, as librtmp's AMF_Decode reads a
// command), or -1 when librtmp could not decode them completely and safely.
long amf_check_command(const void *p, long n);

// The AMF0 part of a command message, one byte in for an AMF3 command;
// false for any other message and for an empty one.
bool command_body(const RTMPPacket *pkt, const char **body, int *size);

// One per read loop over a connection.
class ServerReadGuard {
public:
    // Messages a server may interleave while connecting before it is taken
    // for hostile (a real one sends its answers one by one).
    static constexpr int kMaxInProgress = 64;

    ServerReadGuard(RTMP *r, const char *caller) : r_(r), caller_(caller) {}

    // RTMP_ReadPacket behind the chunk header check. false when nothing
    // more is to be read: the connection failed, or it has been closed
    // because what is buffered cannot be read safely, or the server keeps
    // too many messages in progress. On true the packet may still be a
    // part of a message.
    bool read(RTMPPacket *packet);

    // Whether librtmp's own handling may see a whole message; a refusal is
    // logged, the packet stays the caller's to free.
    bool admits(const RTMPPacket *packet) const;

private:
    // librtmp mishandles two cases of a message in progress (one per chunk
    // stream, kept in its table):
    // - a failed RTMP_ReadPacket can leave the packet holding the body of a
    //   message in progress; librtmp frees that body itself when it closes,
    //   often inside the failed read already, so it must not be freed twice;
    // - a new message started on a chunk stream whose message is unfinished
    //   replaces it without freeing its body: nothing refers to it any
    //   more, so it is freed here.
    void remember_bodies();
    bool note(const RTMPPacket &packet);
    void free_unread(RTMPPacket &packet) const;

    struct Kept {
        int ch;
        const char *body;  // as librtmp held it before the current read
    };
    RTMP *r_;
    const char *caller_;
    Kept kept_[kMaxInProgress] = {};
    int num_ = 0;
};

}  // namespace tavrel

#endif
