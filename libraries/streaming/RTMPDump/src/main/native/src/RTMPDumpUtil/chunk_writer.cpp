// Chunk writer: one RTMP message into chunks, the header compressed against
// the previous message of the same chunk stream, the body cut by the
// connection's outgoing chunk size. Headers are built in the room in front
// of the body and in front of each chunk, so a chunk and its header leave in
// one write and no body bytes are copied (the tunnel aside).
#include "RTMPDumpUtilInternal.h"

#include <librtmp/log.h>

#include <climits>
#include <cstdlib>
#include <cstring>

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

char *put_be24(char *p, uint32_t v)
{
    p[0] = static_cast<char>(v >> 16);
    p[1] = static_cast<char>(v >> 8);
    p[2] = static_cast<char>(v);
    return p + 3;
}

char *put_be32(char *p, uint32_t v)
{
    p[0] = static_cast<char>(v >> 24);
    return put_be24(p + 1, v);
}

// Basic header: type in the top two bits; the id itself, or 0 / 1 for the
// two- and three-byte forms whose extra bytes carry id - 64 low byte first.
int put_basic_header(char *p, uint8_t header_type, int channel)
{
    int c_size = channel <= 63 ? 0 : channel <= 319 ? 1 : 2;
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

int send_packet(RTMP *r, RTMPPacket *pkt, int use_remote_call_queue, const Variant &v)
{
    if (!r || !pkt || !acceptable(r, pkt, v))
        return 0;
    const int channel = pkt->m_nChannel;
    const RTMPPacket *prev_pkt = channel < r->m_channelsAllocatedOut ? r->m_vecChannelsOut[channel] : nullptr;

    // Compression. A type-2 header is never promoted to type 3: a new
    // message behind a type-3 header gets the previous *delta* added again
    // by the receiver, which is not what an equal absolute timestamp asks
    // for (0, 40, 40 would arrive as 0, 40, 80). Type 3 stays the caller's.
    const bool prev_pkt_isnt_large = prev_pkt && pkt->m_headerType != RTMP_PACKET_SIZE_LARGE;
    if (prev_pkt_isnt_large && pkt->m_headerType == RTMP_PACKET_SIZE_MEDIUM &&
        prev_pkt->m_nBodySize == pkt->m_nBodySize && prev_pkt->m_packetType == pkt->m_packetType)
        pkt->m_headerType = RTMP_PACKET_SIZE_SMALL;

    if (pkt->m_headerType > 3) {
        RTMP_Log(RTMP_LOGERROR, "sanity failed!! trying to send header of type: 0x%02x.",
                 static_cast<unsigned>(pkt->m_headerType));
        return 0;
    }
    const uint8_t type = pkt->m_headerType;
    const int pkt_header_size = kPktHeaderSize[type];

    // Room for the record of this message, before anything is written: a
    // message that went out is always recorded.
    if (!ensure_channel_slot(r, channel)) {
        RTMP_Log(RTMP_LOGERROR, "%s: no memory for chunk stream %d; nothing sent", v.name, channel);
        return 0;
    }
    RTMPPacket *fresh_record = nullptr;
    if (!r->m_vecChannelsOut[channel]) {
        fresh_record = static_cast<RTMPPacket *>(std::calloc(1, sizeof(RTMPPacket)));
        if (!fresh_record) {
            RTMP_Log(RTMP_LOGERROR, "%s: no memory for chunk stream %d; nothing sent", v.name, channel);
            return 0;
        }
    }

    const uint32_t prev_pkt_ts = prev_pkt_isnt_large ? prev_pkt->m_nTimeStamp : 0;
    const uint32_t elapsed_ts = pkt->m_nTimeStamp - prev_pkt_ts;
    const int c_size = channel <= 63 ? 0 : channel <= 319 ? 1 : 2;
    const bool is_elongated_ts = pkt_header_size > 1 && elapsed_ts >= kTimestampFieldMax;
    const int h_size = pkt_header_size + c_size + (is_elongated_ts ? 4 : 0);

    // The header ends where the body starts; a bodiless message builds it
    // in a local buffer of the same shape.
    char local[kMaxHeaderLen];
    char *header_end = pkt->m_body ? pkt->m_body : local + kMaxHeaderLen;
    char *header = header_end - h_size;
    char *p = header + put_basic_header(header, type, channel);
    if (pkt_header_size > 1)
        p = put_be24(p, is_elongated_ts ? kTimestampFieldMax : elapsed_ts);
    if (pkt_header_size > 4) {
        p = put_be24(p, pkt->m_nBodySize);
        *p++ = static_cast<char>(pkt->m_packetType);
    }
    if (pkt_header_size > 8)
        p += EncodeInt32LE(p, pkt->m_nInfoField2);
    if (is_elongated_ts)
        p = put_be32(p, elapsed_ts);

    // Receivers read the extended timestamp behind every continuation
    // header of a message whose first header had one; without it every
    // later byte of the message would be misread.
    char continuation[kMaxContinuationLen];
    int cont_len = put_basic_header(continuation, RTMP_PACKET_SIZE_MINIMUM, channel);
    if (is_elongated_ts)
        cont_len = int(put_be32(continuation + cont_len, elapsed_ts) - continuation);

    RTMP_Log(RTMP_LOGDEBUG2, "%s: fd=%d, size=%d", v.name, r->m_sb.sb_socket, int(pkt->m_nBodySize));

    const uint32_t chunk_size = uint32_t(r->m_outChunkSize);
    const uint32_t body_size = pkt->m_nBodySize;
    // Through the tunnel every write is an HTTP request: a message of many
    // chunks is collected and sent as one.
    char *tbuf = nullptr;
    size_t tbuf_cap = 0, tbuf_len = 0;
    if (v.is_full && is_http(r)) {
        uint64_t num_chunks = (uint64_t(body_size) + chunk_size - 1) / chunk_size;
        if (num_chunks > 1) {
            tbuf_cap = size_t(h_size) + body_size + size_t(num_chunks - 1) * size_t(cont_len);
            tbuf = static_cast<char *>(std::malloc(tbuf_cap));
            if (!tbuf) {
                std::free(fresh_record);
                RTMP_Log(RTMP_LOGERROR, "%s: no memory to collect %u bytes; nothing sent", v.name, body_size);
                return 0;
            }
        }
    }

    bool ok = true;
    char *data = pkt->m_body;
    uint32_t body_left = body_size;
    int hlen = h_size;
    char saved[kMaxContinuationLen];  // body bytes under a continuation header
    bool has_saved = false;
    for (;;) {
        uint32_t take = body_left < chunk_size ? body_left : chunk_size;
        RTMP_LogHexString(RTMP_LOGDEBUG2, reinterpret_cast<uint8_t *>(header), unsigned(hlen));
        if (take > 0)
            RTMP_LogHexString(RTMP_LOGDEBUG2, reinterpret_cast<uint8_t *>(data), take);
        size_t piece = size_t(hlen) + take;  // header and chunk lie back to back
        if (tbuf) {
            if (piece > tbuf_cap - tbuf_len) {
                RTMP_Log(RTMP_LOGERROR, "%s: collected message outgrew its buffer", v.name);
                ok = false;
            } else {
                std::memcpy(tbuf + tbuf_len, header, piece);
                tbuf_len += piece;
            }
        } else {
            int err = 0, closed = 0;
            ok = WriteN_v2(r, header, int(piece), &err, &closed) != 0;
        }
        if (has_saved) {
            std::memcpy(header, saved, size_t(hlen));
            has_saved = false;
        }
        if (!ok)
            break;
        data += take;
        body_left -= take;
        if (body_left == 0)
            break;
        header = data - cont_len;
        hlen = cont_len;
        std::memcpy(saved, header, size_t(hlen));
        has_saved = true;
        std::memcpy(header, continuation, size_t(hlen));
    }
    if (tbuf) {
        if (ok && tbuf_len != tbuf_cap) {
            RTMP_Log(RTMP_LOGERROR, "%s: collected %zu bytes, expected %zu", v.name, tbuf_len, tbuf_cap);
            ok = false;
        }
        if (ok)
            ok = WriteN_min(r, tbuf, int(tbuf_len)) != 0;
        std::free(tbuf);
    }
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

int EncodeInt32LE(char *output, int nVal)
{
    uint32_t v = static_cast<uint32_t>(nVal);
    output[0] = static_cast<char>(v);
    output[1] = static_cast<char>(v >> 8);
    output[2] = static_cast<char>(v >> 16);
    output[3] = static_cast<char>(v >> 24);
    return 4;
}

int compute_pkt_header_size(const uint8_t pkt_header_type)
{
    return pkt_header_type < 4 ? kPktHeaderSize[pkt_header_type] : 0;
}

void AV_queue_v2(RTMP_METHOD **vals, int *num, AVal *av, int txn)
{
    if (!vals || !num || !av || *num < 0 || av->av_len < 0 || (!av->av_val && av->av_len > 0))
        return;
    // The array grows in blocks of 16 entries, as librtmp's own queue does,
    // so both may append to the same queue.
    if (*num % 16 == 0) {
        auto *grown = static_cast<RTMP_METHOD *>(std::realloc(*vals, sizeof(RTMP_METHOD) * size_t(*num + 16)));
        if (!grown) {
            RTMP_Log(RTMP_LOGERROR, "AV_queue_v2: no memory; %.*s not queued", av->av_len, av->av_val);
            return;
        }
        *vals = grown;
    }
    // The reader prints the name as a C string and frees it.
    auto *copy = static_cast<char *>(std::malloc(size_t(av->av_len) + 1));
    if (!copy) {
        RTMP_Log(RTMP_LOGERROR, "AV_queue_v2: no memory; %.*s not queued", av->av_len, av->av_val);
        return;
    }
    if (av->av_len > 0)
        std::memcpy(copy, av->av_val, size_t(av->av_len));
    copy[av->av_len] = '\0';
    RTMP_METHOD &entry = (*vals)[*num];
    entry.name.av_val = copy;
    entry.name.av_len = av->av_len;
    entry.num = txn;
    ++*num;
}

// librtmp keeps its own queue append private; ours does the same job.
void AV_queue(RTMP_METHOD **vals, int *num, AVal *av, int txn) { AV_queue_v2(vals, num, av, txn); }

int RTMP_SendPacket_v2(RTMP *r, RTMPPacket *pkt, const int use_remote_call_queue)
{
    return send_packet(r, pkt, use_remote_call_queue, kFull);
}

int RTMP_SendPacket_min(RTMP *r, RTMPPacket *pkt) { return send_packet(r, pkt, 0, kMin); }

}  // extern "C"
