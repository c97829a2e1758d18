// Everything read from the server passes here before librtmp sees it. Each
// check is bounded first, then read: a header or value that is not all
// there yet asks for more or is refused, never read past.
#include "RTMPDumpUtil/read_guard.h"

#include "RTMPDumpUtil/byte_order.h"
#include "RTMPDumpUtil/tunnel_framing.h"

#include <librtmp/log.h>

#include <climits>
#include <cstdint>
#include <cstring>

namespace tavrel {

namespace {

// ---- The next chunk header --------------------------------------------------
// librtmp continues a message in progress from the packet it keeps for the
// chunk stream, body included, yet takes the length of a type-1 header that
// arrives in the middle of it: the following chunks are then written past
// the old, shorter body. Such a header is refused before librtmp reads it.

constexpr uint32_t kExtendedTimestamp = 0xffffff;
constexpr int kMessageHeaderSize[4] = {11, 7, 3, 0};

// librtmp allocates (and zero-fills) the whole body that a header
// announces at its first chunk, before any of it arrives: up to 16 MiB per
// chunk stream for a dozen bytes sent. Nothing a server says to a publisher
// comes near this size.
constexpr uint32_t kMaxServerMessage = 1u << 20;

// librtmp's buffered bytes are ciphertext (RTMPE) or HTTP framing
// (RTMPT): nothing here can be read as a chunk header.
bool is_buffer_plain(const RTMP *r)
{
    return !(r->Link.protocol & RTMP_FEATURE_HTTP) && !r->Link.rc4keyIn;
}

// Fills librtmp's receive buffer until it holds `need` unread bytes. Each
// fill adds at least one byte or fails, and `need` is at most a header, so
// the number of reads is bounded; each one by the socket's receive timeout.
bool fill_to(RTMP *r, int need)
{
    RTMPSockBuf &sb = r->m_sb;
    const int cap = static_cast<int>(sizeof sb.sb_buf) - 1;  // librtmp never fills the last byte
    while (sb.sb_size < need) {
        if (sb.sb_size <= 0) {
            sb.sb_size = 0;
            sb.sb_start = sb.sb_buf;
        } else if (static_cast<int>(sb.sb_start - sb.sb_buf) + need > cap) {
            // The header is cut at the end of the buffer: librtmp would
            // fill nothing more there.
            std::memmove(sb.sb_buf, sb.sb_start, static_cast<size_t>(sb.sb_size));
            sb.sb_start = sb.sb_buf;
        }
        if (RTMPSockBuf_Fill(&sb) < 1)
            return false;
    }
    return true;
}

// Through the tunnel, the rest of the chunk is unwrapped too, so that
// librtmp's reader meets no framing inside it (as far as the buffer
// holds): 1 to read, 0 when the answers are not well-formed, -1 when the
// bytes did not arrive.
int unwrap_chunk(RTMP *r, const ChunkHeader &h)
{
    const RTMPPacket *kept = h.csid < r->m_channelsAllocatedIn ? r->m_vecChannelsIn[h.csid] : nullptr;
    const uint32_t read = (h.fmt == 0 || !kept) ? 0 : kept->m_nBytesRead;
    const uint32_t body = h.has_length ? h.body_size : kept ? kept->m_nBodySize : 0;
    const uint32_t rest = body > read ? body - read : 0;
    const uint32_t chunk = r->m_inChunkSize > 0 && rest > uint32_t(r->m_inChunkSize) ? uint32_t(r->m_inChunkSize) : rest;
    const int cap = static_cast<int>(sizeof r->m_sb.sb_buf) - 1;
    const uint64_t whole = uint64_t(h.size) + chunk;
    return tunnel_unwrap(r, whole < uint64_t(cap) ? int(whole) : cap);
}

// ---- AMF0 commands ------------------------------------------------------------
// librtmp's AMF0 decoder leaks what it has read of a nested object or array
// when a later part of it is malformed, reads up to two bytes past the
// buffer for a string marker at its very end, and recurses without limit.
// Commands are therefore checked first with the same grammar, bounded and
// without allocating: what passes here librtmp decodes completely.

constexpr long kAmfMalformed = -1;
constexpr int kAmfMaxDepth = 32;

long amf_check_value(const unsigned char *p, long n, bool has_name, int depth);

// A run of values up to an object end marker or the end of the bytes, as
// librtmp's AMF_Decode reads it: the bytes taken, or kAmfMalformed.
long amf_check_sequence(const unsigned char *p, long n, bool has_names, int depth)
{
    const long start = n;
    while (n > 0) {
        if (n >= 3 && get_be24(p) == AMF_OBJECT_END) {
            n -= 3;
            break;
        }
        const long v = amf_check_value(p, n, has_names, depth);
        if (v < 0 || v > n)
            return kAmfMalformed;
        p += v;
        n -= v;
    }
    return start - n;
}

// A text behind its `width`-byte length.
long amf_check_counted(const unsigned char *p, long n, int width)
{
    if (n < width)
        return kAmfMalformed;
    return width + static_cast<long>(width == 2 ? get_be16(p) : get_be32(p));
}

// An object's or ECMA array's properties (behind the array's 4-byte count,
// which librtmp does not trust either), up to the object end marker.
long amf_check_object(unsigned char marker, const unsigned char *p, long n, int depth)
{
    const long skip = marker == AMF_ECMA_ARRAY ? 4 : 0;
    if (depth >= kAmfMaxDepth || n < skip)
        return kAmfMalformed;
    const long inner = amf_check_sequence(p + skip, n - skip, true, depth + 1);
    return inner < 0 ? kAmfMalformed : skip + inner;
}

// A strict array: a 4-byte count, then that many unnamed values.
long amf_check_strict_array(const unsigned char *p, long n, int depth)
{
    if (depth >= kAmfMaxDepth || n < 4)
        return kAmfMalformed;
    uint32_t count = get_be32(p);
    long at = 4;
    while (count-- > 0) {
        if (n - at <= 0)
            return kAmfMalformed;
        const long v = amf_check_value(p + at, n - at, false, depth + 1);
        if (v < 0)
            return kAmfMalformed;
        at += v;
    }
    return at;
}

// What a value takes behind its marker, or kAmfMalformed.
long amf_check_payload(unsigned char marker, const unsigned char *p, long n, int depth)
{
    switch (marker) {
    case AMF_NUMBER:
        return 8;
    case AMF_BOOLEAN:
        return 1;
    case AMF_STRING:
        return amf_check_counted(p, n, 2);
    case AMF_LONG_STRING:
    case AMF_XML_DOC:
        return amf_check_counted(p, n, 4);
    case AMF_DATE:
        return 10;
    case AMF_NULL:
    case AMF_UNDEFINED:
    case AMF_UNSUPPORTED:
        return 0;
    case AMF_OBJECT:
    case AMF_ECMA_ARRAY:
        return amf_check_object(marker, p, n, depth);
    case AMF_STRICT_ARRAY:
        return amf_check_strict_array(p, n, depth);
    default:
        // References, typed objects, record sets, movie clips, a stray
        // object end and AMF3 values: librtmp refuses the first ones, and a
        // live encoder never asks for the last.
        return kAmfMalformed;
    }
}

// One value (with its name inside objects): the bytes it takes, or
// kAmfMalformed.
long amf_check_value(const unsigned char *p, long n, bool has_name, int depth)
{
    const long start = n;
    if (n <= 0)
        return kAmfMalformed;
    if (has_name) {
        if (n < 4)
            return kAmfMalformed;
        const long name_len = get_be16(p);
        if (name_len > n - 2)
            return kAmfMalformed;
        p += 2 + name_len;
        n -= 2 + name_len;
    }
    if (n <= 0)
        return kAmfMalformed;
    const unsigned char marker = *p++;
    n--;
    const long used = amf_check_payload(marker, p, n, depth);
    if (used < 0 || used > n)
        return kAmfMalformed;
    return (start - n) + used;
}

// ---- Whole messages -----------------------------------------------------------

bool is_command(const RTMPPacket *pkt)
{
    return pkt->m_packetType == RTMP_PACKET_TYPE_INVOKE || pkt->m_packetType == RTMP_PACKET_TYPE_FLEX_MESSAGE;
}

// librtmp's handlers of these protocol control messages read their fixed
// fields without looking at the length, past the end of a shorter body.
bool is_short_control(const RTMPPacket *pkt)
{
    switch (pkt->m_packetType) {
    case RTMP_PACKET_TYPE_CHUNK_SIZE:
    case RTMP_PACKET_TYPE_BYTES_READ_REPORT:
    case RTMP_PACKET_TYPE_SERVER_BW:
    case RTMP_PACKET_TYPE_CLIENT_BW:
        return pkt->m_nBodySize < 4;
    case RTMP_PACKET_TYPE_CONTROL:
        return pkt->m_nBodySize < 2;
    default:
        return false;
    }
}

bool command_decodes(const RTMPPacket *pkt)
{
    const char *body;
    int size;
    return command_body(pkt, &body, &size) && amf_check_command(body, size) >= 0;
}

// librtmp reads a command's transaction id as a number whatever its type
// (a boolean true as 1, a date as its time) where our own handling takes
// only numbers: an _error with `true` there would answer our connect for
// librtmp and nothing for us, and librtmp then looks for the authentication
// mode in a description that is not there (a null pointer). Such ids are no
// server's; the command is ignored. A command of a name alone has none.
bool has_number_transaction(const RTMPPacket *pkt)
{
    const char *body;
    int size;
    if (!command_body(pkt, &body, &size))
        return false;
    const auto *p = reinterpret_cast<const unsigned char *>(body);
    const long name = amf_check_value(p, size, false, 0);
    return name >= 0 && (name >= size || p[name] == AMF_NUMBER);
}

// librtmp's record of the message in progress on chunk stream ch.
const char *kept_body(const RTMP *r, int ch)
{
    if (!r->m_vecChannelsIn || ch < 0 || ch >= r->m_channelsAllocatedIn || !r->m_vecChannelsIn[ch])
        return nullptr;
    return r->m_vecChannelsIn[ch]->m_body;
}

}  // namespace

long amf_check_command(const void *p, long n)
{
    return amf_check_sequence(static_cast<const unsigned char *>(p), n, false, 0);
}

bool command_body(const RTMPPacket *pkt, const char **body, int *size)
{
    uint32_t n = pkt->m_nBodySize;
    const char *p = pkt->m_body;
    if (!p)
        return false;
    if (pkt->m_packetType == RTMP_PACKET_TYPE_FLEX_MESSAGE) {
        if (n < 1)
            return false;
        p++;
        n--;
    } else if (pkt->m_packetType != RTMP_PACKET_TYPE_INVOKE) {
        return false;
    }
    if (n < 1 || n > INT_MAX)
        return false;
    *body = p;
    *size = static_cast<int>(n);
    return true;
}

bool ServerReadGuard::read(RTMPPacket *packet)
{
    const int verdict = chunk_read_guard(r_, caller_);
    if (verdict == 0) {
        // What is buffered cannot be read safely any more.
        RTMP_Close(r_);
        return false;
    }
    if (verdict < 0)
        return false;
    remember_bodies();
    if (!RTMP_ReadPacket(r_, packet)) {
        free_unread(*packet);
        return false;
    }
    if (!note(*packet)) {
        RTMP_Log(RTMP_LOGERROR, "%s, server interleaves more than %d messages; giving up", "RTMP_ConnectStream_v2",
                 kMaxInProgress);
        RTMPPacket_Free(packet);
        return false;
    }
    return true;
}

bool ServerReadGuard::admits(const RTMPPacket *packet) const
{
    if (is_short_control(packet)) {
        RTMP_Log(RTMP_LOGWARNING, "%s, control message of type %d too short (%u bytes); ignored",
                 "RTMP_ConnectStream_v2", packet->m_packetType, packet->m_nBodySize);
        return false;
    }
    // librtmp's own handling would decode a malformed command too, leak
    // what it read and read past its end.
    if (is_command(packet) && !command_decodes(packet)) {
        RTMP_Log(RTMP_LOGERROR, "%s, error decoding invoke packet", "RTMP_ConnectStream_v2");
        return false;
    }
    if (is_command(packet) && !has_number_transaction(packet)) {
        RTMP_Log(RTMP_LOGERROR, "%s, command whose transaction id is not a number; ignored", "RTMP_ConnectStream_v2");
        return false;
    }
    return true;
}

void ServerReadGuard::remember_bodies()
{
    for (int i = 0; i < num_; i++)
        kept_[i].body = kept_body(r_, kept_[i].ch);
}

// After each successful read; false when too many are in progress.
bool ServerReadGuard::note(const RTMPPacket &packet)
{
    const int ch = packet.m_nChannel;
    for (int i = 0; i < num_; i++) {
        if (kept_[i].ch != ch)
            continue;
        const char *body = kept_[i].body;
        if (body && body != packet.m_body && body != kept_body(r_, ch)) {
            RTMPPacket dropped = {};
            dropped.m_body = const_cast<char *>(body);
            RTMPPacket_Free(&dropped);
        }
        kept_[i] = kept_[--num_];
        break;
    }
    if (RTMPPacket_IsReady(&packet))
        return true;
    if (num_ == kMaxInProgress)
        return false;
    kept_[num_++] = {ch, nullptr};
    return true;
}

void ServerReadGuard::free_unread(RTMPPacket &packet) const
{
    bool is_librtmps = packet.m_body && packet.m_body == kept_body(r_, packet.m_nChannel);
    for (int i = 0; i < num_; i++)
        is_librtmps = is_librtmps || (packet.m_body && kept_[i].body == packet.m_body);
    if (is_librtmps)
        packet.m_body = nullptr;
    RTMPPacket_Free(&packet);
}

}  // namespace tavrel

extern "C" {

int chunk_header_parse(const unsigned char *p, int n, ChunkHeader *out)
{
    if (!p || !out || n < 1)
        return 0;
    const int fmt = p[0] >> 6;
    int at = 1;
    int csid = p[0] & 0x3f;
    if (csid == 0) {
        if (n < 2)
            return 0;
        csid = 64 + p[1];
        at = 2;
    } else if (csid == 1) {
        if (n < 3)
            return 0;
        csid = 64 + p[1] + 256 * p[2];
        at = 3;
    }
    const unsigned char *m = p + at;
    at += tavrel::kMessageHeaderSize[fmt];
    if (n < at)
        return 0;
    ChunkHeader h = {};
    h.fmt = fmt;
    h.csid = csid;
    if (fmt <= 2)
        h.has_extended_timestamp = tavrel::get_be24(m) == tavrel::kExtendedTimestamp;
    if (fmt <= 1) {
        h.has_length = 1;
        h.body_size = tavrel::get_be24(m + 3);
    }
    // A type-3 header's extended timestamp depends on what came before it
    // and decides nothing here: it is left to librtmp.
    if (h.has_extended_timestamp)
        at += 4;
    if (n < at)
        return 0;
    h.size = at;
    *out = h;
    return at;
}

int chunk_header_is_safe(const RTMP *r, const ChunkHeader *h)
{
    if (!h->has_length || !r->m_vecChannelsIn || h->csid >= r->m_channelsAllocatedIn)
        return 1;
    const RTMPPacket *kept = r->m_vecChannelsIn[h->csid];
    // Only an unfinished message keeps its body in librtmp's table.
    if (!kept || !kept->m_body)
        return 1;
    return kept->m_nBodySize == h->body_size;
}

int chunk_read_guard(RTMP *r, const char *caller)
{
    const bool tunnelled = tavrel::is_plain_tunnel(r);
    if (!tavrel::is_buffer_plain(r) && !tunnelled)
        return 1;
    auto refuse_answer = [caller] {
        RTMP_Log(RTMP_LOGERROR, "%s, the server's tunnel answer is not well-formed; refused", caller);
        return 0;
    };
    ChunkHeader h = {};
    for (int need = 1;;) {
        const int got = tunnelled ? tavrel::tunnel_unwrap(r, need) : tavrel::fill_to(r, need) ? 1 : -1;
        if (got <= 0)
            return got == 0 ? refuse_answer() : -1;
        const int n = tunnelled ? tavrel::tunnel_data_buffered(r) : r->m_sb.sb_size;
        if (chunk_header_parse(reinterpret_cast<const unsigned char *>(r->m_sb.sb_start), n, &h) > 0)
            break;
        need = n + 1;
    }
    if (h.has_length && h.body_size > tavrel::kMaxServerMessage) {
        RTMP_Log(RTMP_LOGERROR, "%s, server announces a message of %u bytes on chunk stream %d (at most %u); refused",
                 caller, h.body_size, h.csid, tavrel::kMaxServerMessage);
        return 0;
    }
    if (chunk_header_is_safe(r, &h)) {
        const int got = tunnelled ? tavrel::unwrap_chunk(r, h) : 1;
        return got == 0 ? refuse_answer() : got;
    }
    const RTMPPacket *kept = r->m_vecChannelsIn[h.csid];
    RTMP_Log(RTMP_LOGERROR,
             "%s, server gives the message in progress on chunk stream %d (%u of %u bytes read) a new length of "
             "%u bytes; refused",
             caller, h.csid, kept->m_nBytesRead, kept->m_nBodySize, h.body_size);
    return 0;
}

}  // extern "C"
