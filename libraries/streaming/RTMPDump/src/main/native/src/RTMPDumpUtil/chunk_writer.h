// The chunk writer's pieces of arithmetic; RTMP_SendPacket_v2 and
// RTMP_SendPacket_min are exported (RTMPDumpUtil.h).
#ifndef TAVREL_RTMPDUMPUTIL_CHUNK_WRITER_H
#define TAVREL_RTMPDUMPUTIL_CHUNK_WRITER_H

#include <stdint.h>

extern "C" {

/* nVal as 4 bytes, least significant first; returns 4. */
int EncodeInt32LE(char *output, int nVal);

/* Message header length for header types 0 to 3 (12, 8, 4, 1); 0 above. */
int compute_pkt_header_size(const uint8_t pkt_header_type);

}  // extern "C"

#endif
