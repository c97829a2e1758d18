// The reusable media packets: made once per context, grown on demand,
// stamped per message.
#include "RTMPDumpUtil.h"

#include <cstdlib>
#include <cstring>

extern "C" {

RTMPPacket *new_rtmp_pkt(int is_audio, int32_t stream_id)
{
    auto *pkt = static_cast<RTMPPacket *>(std::calloc(1, sizeof(RTMPPacket)));
    if (!pkt)
        return nullptr;
    pkt->m_packetType = is_audio ? RTMP_PACKET_TYPE_AUDIO : RTMP_PACKET_TYPE_VIDEO;
    pkt->m_headerType = RTMP_PACKET_SIZE_LARGE;
    pkt->m_nChannel = 4;
    pkt->m_nInfoField2 = stream_id;
    return pkt;
}

int resize_pkt_body(RTMPPacket *pkt, uint32_t *curr_len, uint32_t new_len)
{
    if (!pkt || !curr_len)
        return -1;
    if (pkt->m_body && new_len <= *curr_len)
        return 0;
    if (!pkt->m_body) {
        // Nothing to keep: librtmp's allocator gives the same layout.
        if (!RTMPPacket_Alloc(pkt, new_len))
            return -1;
        *curr_len = new_len;
        return 0;
    }
    // The block starts RTMP_MAX_HEADER_SIZE bytes before m_body: librtmp's
    // sender writes the chunk header there, and RTMPPacket_Free frees it.
    char *block = pkt->m_body - RTMP_MAX_HEADER_SIZE;
    auto *grown = static_cast<char *>(std::realloc(block, size_t(new_len) + RTMP_MAX_HEADER_SIZE));
    if (!grown)
        return -1;
    pkt->m_body = grown + RTMP_MAX_HEADER_SIZE;
    *curr_len = new_len;
    return 0;
}

void update_rtmp_pkt_body_metadata(RTMPPacket *pkt, uint32_t ts_ms, uint32_t body_len)
{
    pkt->m_nBytesRead = 0;
    pkt->m_nBodySize = body_len;
    pkt->m_nTimeStamp = ts_ms;
}

void update_rtmp_pkt_body(RTMPPacket *pkt, uint32_t ts_ms, uint8_t *body, uint32_t offset, uint32_t body_len)
{
    std::memcpy(pkt->m_body + offset, body, body_len);
    update_rtmp_pkt_body_metadata(pkt, ts_ms, body_len);
}

uint32_t flv_out_len(int use_rtmp_write, uint32_t body_len)
{
    // FLV-write mode frames the body: 11-byte tag header, 4-byte trailer.
    return use_rtmp_write ? body_len + 15 : body_len;
}

void pprint_pkt(Logger *logger, RTMPPacket *pkt)
{
    if (!pkt)
        return;
    logger_log(logger, OSTREL_FINE,
               "pprint_pkt:: header_type:%d, pkt_type:%d, has_abs_ts:%d, ch:%d, ts:%u [Ms], info_field:%d, "
               "body_size:%u, read:%u, body:%p, chunk:%p\n",
               pkt->m_headerType, pkt->m_packetType, pkt->m_hasAbsTimestamp, pkt->m_nChannel, pkt->m_nTimeStamp,
               pkt->m_nInfoField2, pkt->m_nBodySize, pkt->m_nBytesRead, static_cast<void *>(pkt->m_body),
               static_cast<void *>(pkt->m_chunk));
}

int min_rtmp_send(void) { return 0; }

}  // extern "C"
