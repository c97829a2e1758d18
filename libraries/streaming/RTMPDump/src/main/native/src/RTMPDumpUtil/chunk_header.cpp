// Chunk headers and the per-connection records around them, computed the
// same way for the exported chunk writers and for the publisher's message
// writer.
#include "RTMPDumpUtil/chunk_header.h"

#include "RTMPDumpUtil/byte_order.h"
#include "RTMPDumpUtil/invocation_queue.h"

#include <librtmp/log.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace tavrel {

namespace {

// Message header length (basic header byte included) by header type.
constexpr int kPktHeaderSize[4] = {12, 8, 4, 1};
constexpr uint32_t kMaxBodySize = 0xFFFFFF;  // the 24-bit length field

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

bool refuse(const char *who, const char *why, long value)
{
    RTMP_Log(RTMP_LOGERROR, "%s: refused, %s (%ld); nothing sent", who, why, value);
    return false;
}

}  // namespace

bool is_sendable_message(const RTMP *r, const RTMPPacket *pkt, int max_channel, const char *who,
                         bool body_is_elsewhere)
{
    if (r->m_outChunkSize <= 0)
        return refuse(who, "outgoing chunk size not positive", r->m_outChunkSize);
    if (pkt->m_nChannel < 2 || pkt->m_nChannel > max_channel)
        return refuse(who, "chunk stream id outside 2 to the largest id", pkt->m_nChannel);
    if (!body_is_elsewhere && !pkt->m_body && pkt->m_nBodySize != 0)
        return refuse(who, "no body but a body size", long(pkt->m_nBodySize));
    if (pkt->m_nBodySize > kMaxBodySize)
        return refuse(who, "body longer than 24 bits", long(pkt->m_nBodySize));
    return true;
}

const RTMPPacket *last_record(const RTMP *r, int channel)
{
    return channel >= 0 && channel < r->m_channelsAllocatedOut ? r->m_vecChannelsOut[channel] : nullptr;
}

namespace {

// Header compression: a type-1 header whose body size and message type
// repeat the previous message's becomes type 2. Type 2 is never promoted to
// type 3: a receiver adds the previous *delta* to a new message behind a
// type-3 header, which is not what an equal timestamp asks for (0, 40, 40
// would arrive as 0, 40, 80). True when the header is relative to the
// previous message of the chunk stream.
bool compress_header_type(const RTMPPacket *prev_pkt, RTMPPacket *pkt)
{
    const bool prev_pkt_isnt_large = prev_pkt && pkt->m_headerType != RTMP_PACKET_SIZE_LARGE;
    if (prev_pkt_isnt_large && pkt->m_headerType == RTMP_PACKET_SIZE_MEDIUM &&
        prev_pkt->m_nBodySize == pkt->m_nBodySize && prev_pkt->m_packetType == pkt->m_packetType)
        pkt->m_headerType = RTMP_PACKET_SIZE_SMALL;
    return prev_pkt_isnt_large;
}

// False, logged as librtmp logs it, for a header type above 3.
bool has_valid_header_type(const RTMPPacket *pkt)
{
    if (pkt->m_headerType <= RTMP_PACKET_SIZE_MINIMUM)
        return true;
    RTMP_Log(RTMP_LOGERROR, "sanity failed!! trying to send header of type: 0x%02x.",
             static_cast<unsigned>(pkt->m_headerType));
    return false;
}

bool reserve_record(RTMP *r, int channel, const char *who, RTMPPacket **fresh)
{
    *fresh = nullptr;
    if (ensure_channel_slot(r, channel)) {
        if (r->m_vecChannelsOut[channel])
            return true;
        *fresh = static_cast<RTMPPacket *>(std::calloc(1, sizeof(RTMPPacket)));
        if (*fresh)
            return true;
    }
    RTMP_Log(RTMP_LOGERROR, "%s: no memory for chunk stream %d; nothing sent", who, channel);
    return false;
}

}  // namespace

bool prepare_message(RTMP *r, RTMPPacket *pkt, const char *who, uint32_t *elapsed_ts, RTMPPacket **fresh)
{
    const RTMPPacket *prev_pkt = last_record(r, pkt->m_nChannel);
    const bool is_relative = compress_header_type(prev_pkt, pkt);
    if (!has_valid_header_type(pkt) || !reserve_record(r, pkt->m_nChannel, who, fresh))
        return false;
    *elapsed_ts = pkt->m_nTimeStamp - (is_relative ? prev_pkt->m_nTimeStamp : 0);
    return true;
}

void build_chunk_headers(const RTMPPacket *pkt, uint32_t elapsed_ts, bool continues_extended, char *header_end,
                         ChunkHeaders *h)
{
    const uint8_t type = pkt->m_headerType;
    const int pkt_header_size = kPktHeaderSize[type];
    const int channel = pkt->m_nChannel;
    // A header with a timestamp field decides by its value; a type-3 header
    // repeats what the chunk stream's last header said.
    const bool is_elongated_ts = pkt_header_size > 1 ? elapsed_ts >= kTimestampFieldMax : continues_extended;
    h->is_extended = is_elongated_ts;
    h->first_len = pkt_header_size + basic_header_extra(channel) + (is_elongated_ts ? 4 : 0);
    h->first = header_end - h->first_len;

    char *p = h->first + put_basic_header(h->first, type, channel);
    if (pkt_header_size > 1)
        p += put_be24(p, is_elongated_ts ? kTimestampFieldMax : elapsed_ts);  // timestamp or its delta
    if (pkt_header_size > 4) {
        p += put_be24(p, pkt->m_nBodySize);           // message length
        *p++ = static_cast<char>(pkt->m_packetType);  // message type
    }
    if (pkt_header_size > 8)
        p += put_le32(p, static_cast<uint32_t>(pkt->m_nInfoField2));  // message stream id
    if (is_elongated_ts)
        p += put_be32(p, elapsed_ts);  // extended timestamp

    // Receivers read the extended timestamp behind every continuation
    // header of a message whose first header had one; without it every
    // later byte of the message would be misread.
    h->continuation_len = put_basic_header(h->continuation, RTMP_PACKET_SIZE_MINIMUM, channel);
    if (is_elongated_ts)
        h->continuation_len += put_be32(h->continuation + h->continuation_len, elapsed_ts);
}

void keep_record(RTMP *r, const RTMPPacket *pkt, RTMPPacket *fresh)
{
    RTMPPacket *record = fresh ? fresh : r->m_vecChannelsOut[pkt->m_nChannel];
    *record = *pkt;  // shallow: the body pointer, not the body
    r->m_vecChannelsOut[pkt->m_nChannel] = record;
}

// Body: string marker, 16-bit length, name, number marker, 8-byte number.
void remember_invocation(RTMP *r, const RTMPPacket *pkt, int use_remote_call_queue, const char *who)
{
    const uint32_t size = pkt->m_nBodySize;
    if (!pkt->m_body || size < 3)
        return;
    AVal method;
    AMF_DecodeString(pkt->m_body + 1, &method);
    if (uint32_t(method.av_len) + 3 > size)
        return;
    RTMP_Log(RTMP_LOGDEBUG, "Invoking %.*s", method.av_len, method.av_val);
    if (!use_remote_call_queue)
        return;
    if (uint32_t(method.av_len) + 4 + 8 > size) {
        RTMP_Log(RTMP_LOGERROR, "%s: invocation %.*s has no transaction number; not queued", who, method.av_len,
                 method.av_val);
        return;
    }
    double txn = AMF_DecodeNumber(pkt->m_body + 4 + method.av_len);
    if (!(txn > double(INT_MIN) - 1 && txn < double(INT_MAX) + 1)) {
        RTMP_Log(RTMP_LOGERROR, "%s: invocation %.*s has transaction number %f; not queued", who, method.av_len,
                 method.av_val, txn);
        return;
    }
    AV_queue(&r->m_methodCalls, &r->m_numCalls, &method, static_cast<int>(txn));
}

}  // namespace tavrel
