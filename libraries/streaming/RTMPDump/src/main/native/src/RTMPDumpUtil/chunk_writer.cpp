// Chunk writer: one RTMP message into chunks, the header compressed against
// the previous message of the same chunk stream, the body cut by the
// connection's outgoing chunk size. Headers are built in the room in front
// of the body and in front of each chunk, so a chunk and its header leave in
// one write and no body bytes are copied (the tunnel aside).
#include "RTMPDumpUtil/chunk_writer.h"

#include "RTMPDumpUtil.h"
#include "RTMPDumpUtil/byte_order.h"
#include "RTMPDumpUtil/chunk_header.h"
#include "RTMPDumpUtil/socket_writer.h"

#include <librtmp/log.h>

#include <climits>
#include <cstdlib>
#include <cstring>

using namespace tavrel;

namespace {

// Message header length (basic header byte included) by header type.
constexpr int kPktHeaderSize[4] = {12, 8, 4, 1};

struct Variant {
    const char *name;
    bool is_full;  // ids above 63, tunnel coalescing, invocation bookkeeping
};
constexpr Variant kFull{"RTMP_SendPacket_v2", true};
constexpr Variant kMin{"RTMP_SendPacket_min", false};

// The first header is built in the room in front of the body; a bodiless
// message builds it in a local buffer of the same shape.
struct LocalHeader {
    char room[kMaxChunkHeaderLen];
};

// Through the tunnel every write is an HTTP request: a message of many
// chunks is collected and sent as one. Without a buffer each piece is
// written at once.
struct Collector {
    char *buf = nullptr;
    size_t cap = 0;
    size_t len = 0;
};

// false (logged) when the buffer cannot be had.
bool begin_collecting(RTMP *r, const RTMPPacket *pkt, const ChunkHeaders &h, const Variant &v, Collector *c)
{
    if (!v.is_full || !is_http(r))
        return true;
    const uint32_t chunk_size = uint32_t(r->m_outChunkSize);
    const uint32_t body_size = pkt->m_nBodySize;
    const uint64_t num_chunks = (uint64_t(body_size) + chunk_size - 1) / chunk_size;
    if (num_chunks <= 1)
        return true;
    c->cap = size_t(h.first_len) + body_size + size_t(num_chunks - 1) * size_t(h.continuation_len);
    c->buf = static_cast<char *>(std::malloc(c->cap));
    if (!c->buf) {
        RTMP_Log(RTMP_LOGERROR, "%s: no memory to collect %u bytes; nothing sent", v.name, body_size);
        return false;
    }
    return true;
}

// One header and its chunk, which lie back to back.
bool put_piece(RTMP *r, Collector *c, const char *piece, size_t n, const Variant &v)
{
    if (!c->buf) {
        int err = 0, closed = 0;
        return WriteN_v2(r, piece, int(n), &err, &closed) != 0;
    }
    if (n > c->cap - c->len) {
        RTMP_Log(RTMP_LOGERROR, "%s: collected message outgrew its buffer", v.name);
        return false;
    }
    std::memcpy(c->buf + c->len, piece, n);
    c->len += n;
    return true;
}

// The collected message in one write, when the chunks went in (ok).
bool finish_collecting(RTMP *r, Collector *c, bool ok, const Variant &v)
{
    if (!c->buf)
        return ok;
    if (ok && c->len != c->cap) {
        RTMP_Log(RTMP_LOGERROR, "%s: collected %zu bytes, expected %zu", v.name, c->len, c->cap);
        ok = false;
    }
    if (ok)
        ok = WriteN_min(r, c->buf, int(c->len)) != 0;
    std::free(c->buf);
    c->buf = nullptr;
    return ok;
}

// Each continuation header is written over the body bytes just in front of
// its chunk, and those bytes are put back once the chunk has gone.
bool write_chunks(RTMP *r, const RTMPPacket *pkt, const ChunkHeaders &h, Collector *c, const Variant &v)
{
    const uint32_t chunk_size = uint32_t(r->m_outChunkSize);
    char *data = pkt->m_body;
    uint32_t body_left = pkt->m_nBodySize;
    char *header = h.first;
    int hlen = h.first_len;
    char saved[kMaxContinuationLen];
    bool has_saved = false;
    for (;;) {
        const uint32_t take = body_left < chunk_size ? body_left : chunk_size;
        RTMP_LogHexString(RTMP_LOGDEBUG2, reinterpret_cast<uint8_t *>(header), unsigned(hlen));
        if (take > 0)
            RTMP_LogHexString(RTMP_LOGDEBUG2, reinterpret_cast<uint8_t *>(data), take);
        const bool ok = put_piece(r, c, header, size_t(hlen) + take, v);
        if (has_saved) {
            std::memcpy(header, saved, size_t(hlen));
            has_saved = false;
        }
        if (!ok)
            return false;
        data += take;
        body_left -= take;
        if (body_left == 0)
            return true;
        header = data - h.continuation_len;
        hlen = h.continuation_len;
        std::memcpy(saved, header, size_t(hlen));
        has_saved = true;
        std::memcpy(header, h.continuation, size_t(hlen));
    }
}

int send_packet(RTMP *r, RTMPPacket *pkt, int use_remote_call_queue, const Variant &v)
{
    if (!r || !pkt || !is_sendable_message(r, pkt, v.is_full ? kMaxChunkStreamId : kMaxOneByteChunkStreamId, v.name))
        return 0;
    uint32_t elapsed_ts;
    RTMPPacket *fresh_record;
    if (!prepare_message(r, pkt, v.name, &elapsed_ts, &fresh_record))
        return 0;

    ChunkHeaders h;
    LocalHeader local;
    build_chunk_headers(pkt, elapsed_ts, false, pkt->m_body ? pkt->m_body : local.room + kMaxChunkHeaderLen, &h);
    RTMP_Log(RTMP_LOGDEBUG2, "%s: fd=%d, size=%d", v.name, r->m_sb.sb_socket, int(pkt->m_nBodySize));
    Collector c;
    const bool ok = begin_collecting(r, pkt, h, v, &c) && finish_collecting(r, &c, write_chunks(r, pkt, h, &c, v), v);
    if (!ok) {
        std::free(fresh_record);
        return 0;
    }

    if (v.is_full && pkt->m_packetType == RTMP_PACKET_TYPE_INVOKE)
        remember_invocation(r, pkt, use_remote_call_queue, v.name);
    keep_record(r, pkt, fresh_record);
    return 1;
}

}  // namespace

extern "C" {

int EncodeInt32LE(char *output, int nVal) { return put_le32(output, static_cast<uint32_t>(nVal)); }

int compute_pkt_header_size(const uint8_t pkt_header_type)
{
    return pkt_header_type < 4 ? kPktHeaderSize[pkt_header_type] : 0;
}

int RTMP_SendPacket_v2(RTMP *r, RTMPPacket *pkt, const int use_remote_call_queue)
{
    return send_packet(r, pkt, use_remote_call_queue, kFull);
}

int RTMP_SendPacket_min(RTMP *r, RTMPPacket *pkt) { return send_packet(r, pkt, 0, kMin); }

}  // extern "C"
