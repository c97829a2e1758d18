// Chunk writer: one RTMP message into chunks, the header compressed against
// the previous message of the same chunk stream, the body cut by the
// connection's outgoing chunk size. Headers are built in the room in front
// of the body and in front of each chunk, so a chunk and its header leave in
// one write and no body bytes are copied (the tunnel aside).
#include "RTMPDumpUtil/chunk_writer.h"

#include "RTMPDumpUtil.h"
#include "RTMPDumpUtil/byte_order.h"
#include "RTMPDumpUtil/invocation_queue.h"
#include "RTMPDumpUtil/socket_writer.h"

#include <librtmp/log.h>

#include <climits>
#include <cstdlib>
#include <cstring>

using namespace tavrel;

namespace {

// Message header length (basic header byte included) by header type.
constexpr int kPktHeaderSize[4] = {12, 8, 4, 1};
// The room the caller leaves in front of the body: the largest first-chunk
// header, 12 + 2 more basic-header bytes + 4 of extended timestamp.
constexpr int kMaxHeaderLen = 18;
// Three-byte basic header: 64 + 0xFFFF.
constexpr int kMaxChunkStreamId = 65599;
constexpr int kMaxOneByteChunkStreamId = 63;
constexpr uint32_t kMaxBodySize = 0xFFFFFF;  // the 24-bit length field
constexpr uint32_t kTimestampFieldMax = 0xFFFFFF;
// Continuation header: basic header (up to 3) + extended timestamp.
constexpr int kMaxContinuationLen = 3 + 4;

struct Variant {
    const char *name;
    bool is_full;  // ids above 63, tunnel coalescing, invocation bookkeeping
};
constexpr Variant kFull{"RTMP_SendPacket_v2", true};
constexpr Variant kMin{"RTMP_SendPacket_min", false};

// Basic header: type in the top two bits; the id itself, or 0 / 1 for the
// two- and three-byte forms whose extra bytes carry id - 64 low byte first.
int basic_header_extra(int channel) { return channel <= 63 ? 0 : channel <= 319 ? 1 : 2; }

int put_basic_header(char *p, uint8_t header_type, int channel)
{
    int c_size = basic_header_extra(channel);
    uint8_t low = c_size == 0 ? static_cast<uint8_t>(channel) : static_cast<uint8_t>(c_size - 1);
    p[0] = static_cast<char>(header_type << 6 | low);
    if (c_size > 0)
        p[1] = static_cast<char>((channel - 64) & 0xFF);
    if (c_size > 1)
        p[2] = static_cast<char>((channel - 64) >> 8);
    return 1 + c_size;
}

// m_vecChannelsOut grows on demand in this librtmp, zero-filled like its
// own sender grows it, so that the record slot for `channel` exists.
bool ensure_channel_slot(RTMP *r, int channel)
{
    if (channel < r->m_channelsAllocatedOut)
        return true;
    int n = channel + 10;
    auto *grown = static_cast<RTMPPacket **>(std::realloc(r->m_vecChannelsOut, sizeof(RTMPPacket *) * size_t(n)));
    if (!grown)
        return false;
    std::memset(grown + r->m_channelsAllocatedOut, 0, sizeof(RTMPPacket *) * size_t(n - r->m_channelsAllocatedOut));
    r->m_vecChannelsOut = grown;
    r->m_channelsAllocatedOut = n;
    return true;
}

bool refuse(const Variant &v, const char *why, long value)
{
    RTMP_Log(RTMP_LOGERROR, "%s: refused, %s (%ld); nothing sent", v.name, why, value);
    return false;
}

// Everything that would put bytes the receiver cannot parse on the wire, or
// make the writer reach outside the caller's buffers, is refused up front.
bool acceptable(const RTMP *r, const RTMPPacket *pkt, const Variant &v)
{
    if (r->m_outChunkSize <= 0)
        return refuse(v, "outgoing chunk size not positive", r->m_outChunkSize);
    int max_id = v.is_full ? kMaxChunkStreamId : kMaxOneByteChunkStreamId;
    if (pkt->m_nChannel < 2 || pkt->m_nChannel > max_id)
        return refuse(v, "chunk stream id outside 2 to the largest id", pkt->m_nChannel);
    if (!pkt->m_body && pkt->m_nBodySize != 0)
        return refuse(v, "no body but a body size", long(pkt->m_nBodySize));
    if (pkt->m_nBodySize > kMaxBodySize)
        return refuse(v, "body longer than 24 bits", long(pkt->m_nBodySize));
    return true;
}

// Invocations are remembered by transaction number so that the server's
// _result / _error can be matched to the method that asked (the reply path
// of the stream connection reads and releases the entries). Body: string
// marker, 16-bit length, name, number marker, 8-byte number.
void remember_invocation(RTMP *r, const RTMPPacket *pkt, int use_remote_call_queue)
{
    const uint32_t size = pkt->m_nBodySize;
    if (size < 3)
        return;
    AVal method;
    AMF_DecodeString(pkt->m_body + 1, &method);
    if (uint32_t(method.av_len) + 3 > size)
        return;
    RTMP_Log(RTMP_LOGDEBUG, "Invoking %.*s", method.av_len, method.av_val);
    if (!use_remote_call_queue)
        return;
    if (uint32_t(method.av_len) + 4 + 8 > size) {
        RTMP_Log(RTMP_LOGERROR, "%s: invocation %.*s has no transaction number; not queued", kFull.name,
                 method.av_len, method.av_val);
        return;
    }
    double txn = AMF_DecodeNumber(pkt->m_body + 4 + method.av_len);
    if (!(txn > double(INT_MIN) - 1 && txn < double(INT_MAX) + 1)) {
        RTMP_Log(RTMP_LOGERROR, "%s: invocation %.*s has transaction number %f; not queued", kFull.name,
                 method.av_len, method.av_val, txn);
        return;
    }
    AV_queue(&r->m_methodCalls, &r->m_numCalls, &method, static_cast<int>(txn));
}

// Header compression. A type-2 header is never promoted to type 3: a new
// message behind a type-3 header gets the previous *delta* added again by
// the receiver, which is not what an equal absolute timestamp asks for (0,
// 40, 40 would arrive as 0, 40, 80). Type 3 stays the caller's. True when
// the header is relative to the previous message of the chunk stream.
bool compress_header_type(const RTMPPacket *prev_pkt, RTMPPacket *pkt)
{
    const bool prev_pkt_isnt_large = prev_pkt && pkt->m_headerType != RTMP_PACKET_SIZE_LARGE;
    if (prev_pkt_isnt_large && pkt->m_headerType == RTMP_PACKET_SIZE_MEDIUM &&
        prev_pkt->m_nBodySize == pkt->m_nBodySize && prev_pkt->m_packetType == pkt->m_packetType)
        pkt->m_headerType = RTMP_PACKET_SIZE_SMALL;
    return prev_pkt_isnt_large;
}

// Room for the record of this message, before anything is written: a
// message that went out is always recorded. *fresh_record is a new record
// when the chunk stream has none yet.
bool reserve_record(RTMP *r, int channel, const Variant &v, RTMPPacket **fresh_record)
{
    *fresh_record = nullptr;
    if (ensure_channel_slot(r, channel)) {
        if (r->m_vecChannelsOut[channel])
            return true;
        *fresh_record = static_cast<RTMPPacket *>(std::calloc(1, sizeof(RTMPPacket)));
        if (*fresh_record)
            return true;
    }
    RTMP_Log(RTMP_LOGERROR, "%s: no memory for chunk stream %d; nothing sent", v.name, channel);
    return false;
}

// The headers of one message: the first chunk's, built where it is sent
// from, and the continuation header in front of every later chunk.
struct ChunkHeaders {
    char local[kMaxHeaderLen];  // a bodiless message's first header
    char *first;
    int first_len;
    char continuation[kMaxContinuationLen];
    int continuation_len;
};

void build_headers(const RTMPPacket *pkt, uint32_t elapsed_ts, ChunkHeaders *h)
{
    const uint8_t type = pkt->m_headerType;
    const int pkt_header_size = kPktHeaderSize[type];
    const int channel = pkt->m_nChannel;
    const bool is_elongated_ts = pkt_header_size > 1 && elapsed_ts >= kTimestampFieldMax;
    h->first_len = pkt_header_size + basic_header_extra(channel) + (is_elongated_ts ? 4 : 0);

    // The header ends where the body starts; a bodiless message builds it
    // in a local buffer of the same shape.
    char *header_end = pkt->m_body ? pkt->m_body : h->local + kMaxHeaderLen;
    h->first = header_end - h->first_len;
    char *p = h->first + put_basic_header(h->first, type, channel);
    if (pkt_header_size > 1)
        p += put_be24(p, is_elongated_ts ? kTimestampFieldMax : elapsed_ts);  // timestamp or its delta
    if (pkt_header_size > 4) {
        p += put_be24(p, pkt->m_nBodySize);               // message length
        *p++ = static_cast<char>(pkt->m_packetType);      // message type
    }
    if (pkt_header_size > 8)
        p += EncodeInt32LE(p, pkt->m_nInfoField2);         // message stream id
    if (is_elongated_ts)
        p += put_be32(p, elapsed_ts);                      // extended timestamp

    // Receivers read the extended timestamp behind every continuation
    // header of a message whose first header had one; without it every
    // later byte of the message would be misread.
    h->continuation_len = put_basic_header(h->continuation, RTMP_PACKET_SIZE_MINIMUM, channel);
    if (is_elongated_ts)
        h->continuation_len += put_be32(h->continuation + h->continuation_len, elapsed_ts);
}

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
    if (!r || !pkt || !acceptable(r, pkt, v))
        return 0;
    const int channel = pkt->m_nChannel;
    const RTMPPacket *prev_pkt = channel < r->m_channelsAllocatedOut ? r->m_vecChannelsOut[channel] : nullptr;
    const bool is_relative = compress_header_type(prev_pkt, pkt);
    if (pkt->m_headerType > 3) {
        RTMP_Log(RTMP_LOGERROR, "sanity failed!! trying to send header of type: 0x%02x.",
                 static_cast<unsigned>(pkt->m_headerType));
        return 0;
    }
    RTMPPacket *fresh_record;
    if (!reserve_record(r, channel, v, &fresh_record))
        return 0;

    ChunkHeaders h;
    build_headers(pkt, pkt->m_nTimeStamp - (is_relative ? prev_pkt->m_nTimeStamp : 0), &h);
    RTMP_Log(RTMP_LOGDEBUG2, "%s: fd=%d, size=%d", v.name, r->m_sb.sb_socket, int(pkt->m_nBodySize));
    Collector c;
    const bool ok = begin_collecting(r, pkt, h, v, &c) && finish_collecting(r, &c, write_chunks(r, pkt, h, &c, v), v);
    if (!ok) {
        std::free(fresh_record);
        return 0;
    }

    if (v.is_full && pkt->m_packetType == RTMP_PACKET_TYPE_INVOKE)
        remember_invocation(r, pkt, use_remote_call_queue);
    RTMPPacket *record = fresh_record ? fresh_record : r->m_vecChannelsOut[channel];
    *record = *pkt;  // shallow: the body pointer, not the body
    r->m_vecChannelsOut[channel] = record;
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
