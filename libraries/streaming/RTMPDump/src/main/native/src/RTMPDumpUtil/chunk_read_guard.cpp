// Looks at the next chunk header before librtmp reads it. librtmp continues
// a message in progress from the packet it keeps for the chunk stream, body
// included, yet takes the length of a type-1 header that arrives in the
// middle of it: the following chunks are then written past the old, shorter
// body. A header that restarts a message in progress with another length
// is therefore refused before librtmp sees it.
#include "RTMPDumpUtilInternal.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr uint32_t kExtendedTimestamp = 0xffffff;

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

}  // namespace

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
    static const int kMessageHeaderSize[4] = {11, 7, 3, 0};
    const unsigned char *m = p + at;
    at += kMessageHeaderSize[fmt];
    if (n < at)
        return 0;
    ChunkHeader h = {};
    h.fmt = fmt;
    h.csid = csid;
    if (fmt <= 2) {
        const uint32_t ts = (uint32_t(m[0]) << 16) | (uint32_t(m[1]) << 8) | m[2];
        h.has_extended_timestamp = ts == kExtendedTimestamp;
    }
    if (fmt <= 1) {
        h.has_length = 1;
        h.body_size = (uint32_t(m[3]) << 16) | (uint32_t(m[4]) << 8) | m[5];
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
    if (!is_buffer_plain(r))
        return 1;
    ChunkHeader h = {};
    for (int need = 1;;) {
        if (!fill_to(r, need))
            return -1;
        const int n = r->m_sb.sb_size;
        if (chunk_header_parse(reinterpret_cast<const unsigned char *>(r->m_sb.sb_start), n, &h) > 0)
            break;
        need = n + 1;
    }
    if (chunk_header_is_safe(r, &h))
        return 1;
    const RTMPPacket *kept = r->m_vecChannelsIn[h.csid];
    RTMP_Log(RTMP_LOGERROR,
             "%s, server gives the message in progress on chunk stream %d (%u of %u bytes read) a new length of "
             "%u bytes; refused",
             caller, h.csid, kept->m_nBytesRead, kept->m_nBodySize, h.body_size);
    return 0;
}

}  // extern "C"
