/*
 * The publisher's protocol layer around librtmp: stream connection with
 * publisher authentication, reusable packets, the FLV stream writer, the
 * chunk writer and the socket/tunnel writer. Exported for callers that drive
 * a connection themselves; the publisher context (Tavrel.h) is built on it.
 */
#ifndef TAVREL_RTMPDUMPUTIL_H
#define TAVREL_RTMPDUMPUTIL_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include <librtmp/log.h>
#include <librtmp/rtmp.h>

#include "Ostrel.h"

#define TAVREL_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Stream connection ---------------------------------------------------
 * Connects to url as a live encoder ("FMLE/3.0 (compatible; FMSc/1.0)"),
 * answers adobe / llnw publisher authentication with username / password
 * (either may be null) and waits until the server has started the publish.
 * Unless url is null, cb becomes librtmp's process-wide log callback (null
 * keeps the current one) and librtmp's log level is set to RTMP_LOGWARNING.
 *
 * url is librtmp's, IPv6 literals in brackets included
 * (rtmp://[::1]:1935/app/stream), with librtmp's options and ours after it:
 * tlsCAFile=PATH (a PEM bundle trusted instead of the system store) and
 * tlsVerify=0 (no certificate check, logged as a warning on every
 * connect). Every address of the host is tried, each 250 ms after the
 * last, within the link's timeout; rtmps is TLS of ours with the host name
 * as SNI and the certificate verified against it.
 *
 * On success stores the record into *rtmp and returns 0; otherwise *rtmp is
 * untouched and the result is -1 (null url), -2 (url or option not
 * accepted), -3 (connection or handshake failed), -4 (stream not
 * published: refused, closed by the server, authentication failed, or
 * still challenged after three authentication rounds) or -5 (the server's
 * certificate was not verified). tavrel_last_connect_result (Tavrel.h)
 * then tells why in more detail.
 *
 * The socket gets a send timeout equal to the link's timeout (the URL
 * option "timeout=", 30 s by default), so a send to a server that has
 * stopped reading fails instead of blocking.
 *
 * The record keeps its own copy of url and owns every text it points to;
 * the caller's strings may go as soon as the call returns. Release the
 * record with close_rtmp_w, never with RTMP_Close / RTMP_Free alone. */
TAVREL_API int connect_rtmp_w(const char *url, const char *username, const char *password, RTMP **rtmp,
                              RTMP_LogCallback *cb);

/* Ends and releases a record made by connect_rtmp_w. With is_orderly the
 * stream is unpublished and the connection closed as RTMP_Close does
 * (FCUnpublish, deleteStream, the TLS close alert); without it not one byte
 * more is sent (the link may be dead or stalled) but the socket is still
 * closed. Either way everything the record owns is freed, its pending FLV
 * writer state included. Null does nothing. Must not overlap any other use
 * of the record. */
TAVREL_API void close_rtmp_w(RTMP *rtmp, int is_orderly);

/* Reads RTMP_IsConnected / RTMP_IsTimedout under mutex (when not null).
 * 0 and outputs untouched for a null rtmp, else 1. */
TAVREL_API int get_rtmp_state(RTMP *rtmp, pthread_mutex_t *mutex, int *is_connected, int *is_timedout);

/* ---- Stream metadata body ------------------------------------------------
 * The AMF0 onMetaData body ("setDataFrame" first when include_setDataFrame
 * is set): its length (293 or 278), or -1 when it does not fit out_len. */
TAVREL_API int write_metadata(uint8_t *out, size_t out_len, int include_setDataFrame, int w, int h,
                              int v_bitrate, int v_framerate, int a_bitrate, int a_sample_rate,
                              int a_sample_size_b, int a_num_ch, Logger *logger);

/* ---- Packet buffers ------------------------------------------------------ */

/* A zeroed packet: type 8 (audio) or 9 (video), header type 0, chunk
 * stream 4, message stream id stream_id, no body. Null when out of memory.
 * Release with RTMPPacket_Free, then free. */
TAVREL_API RTMPPacket *new_rtmp_pkt(int is_audio, int32_t stream_id);

/* Grows the body (keeping librtmp's header room in front of it) to new_len
 * bytes when *curr_len is smaller, and updates *curr_len. 0 on success,
 * -1 when the body cannot be grown (the packet and *curr_len are then
 * unchanged). Take m_body after the call: growing may move it. */
TAVREL_API int resize_pkt_body(RTMPPacket *pkt, uint32_t *curr_len, uint32_t new_len);

TAVREL_API void update_rtmp_pkt_body_metadata(RTMPPacket *pkt, uint32_t ts_ms, uint32_t body_len);
TAVREL_API void update_rtmp_pkt_body(RTMPPacket *pkt, uint32_t ts_ms, uint8_t *body, uint32_t offset,
                                     uint32_t body_len);

/* Bytes a tag body of body_len occupies on the way out: +15 in FLV-write
 * mode (tag header and previous tag size), unchanged in packet mode. */
TAVREL_API uint32_t flv_out_len(int use_rtmp_write, uint32_t body_len);

TAVREL_API void pprint_pkt(Logger *logger, RTMPPacket *pkt);
TAVREL_API int min_rtmp_send(void);

/* ---- FLV stream writer ---------------------------------------------------
 * RTMP_Write_v2: one FLV tag (optionally behind the 13-byte file header),
 * sent as one RTMP message. RTMP_Write_fix: any number of tags, a tag's data
 * may be split across calls. Only audio (8), video (9) and script-data (18)
 * tags are sent: v2 refuses others with -1, fix skips them. */
TAVREL_API int RTMP_Write_v2(RTMP *r, const char *buff, int buff_len, Logger *logger);
TAVREL_API int RTMP_Write_fix(RTMP *r, const char *buf, int size);

/* ---- Chunk writer --------------------------------------------------------
 * Write one message as chunks: 1 when all of it went out, else 0 (also for
 * a chunk size below 1, a chunk stream id below 2 or above 65599 (63 for
 * _min), a body size without body or above 24 bits). The body needs 18
 * writable bytes in front of it (RTMPPacket_Alloc provides them); the
 * continuation headers written into it are taken out again, so the body is
 * as it was afterwards. m_headerType may be lowered (1 to 2). */
TAVREL_API int RTMP_SendPacket_v2(RTMP *r, RTMPPacket *pkt, const int use_remote_call_queue);
TAVREL_API int RTMP_SendPacket_min(RTMP *r, RTMPPacket *pkt);

/* ---- Socket writer -------------------------------------------------------
 * One write attempt on the plain or TLS socket; the write's own result. */
TAVREL_API int RTMPSockBuf_Send_v2(RTMPSockBuf *sb, const char *buf, const int buf_len);

/* Drops the bytes waiting on r's socket. 0 done, -1 null r, -2 the socket
 * cannot say how much waits, -3 the server closed the connection while they
 * were read, otherwise the errno of a failed read. */
TAVREL_API int discard_recv_data(RTMP *r);

/* librtmp's process-wide TLS context pointer; defined here too (see the
 * load-time initialisation), never used by this library. */
TAVREL_API extern void *RTMP_TLS_ctx;

#ifdef __cplusplus
}
#endif

#endif
