/*
 * Routines shared between the protocol layer's files but not exported.
 * Hidden by the library's default visibility; the tests link them from the
 * static core library.
 */
#ifndef TAVREL_RTMPDUMPUTIL_INTERNAL_H
#define TAVREL_RTMPDUMPUTIL_INTERNAL_H

#include "RTMPDumpUtil.h"

#include <stdarg.h>

#include <librtmp/amf.h>

#ifdef __cplusplus
extern "C" {
#endif

/* librtmp's log callback for the whole process: forwards its messages to
 * the global logger (tavrel_set_global_logger). */
void global_log_callback(int level, const char *fmt, va_list args);

/* "setDataFrame", shared by the metadata body and the FLV stream writer. */
extern const AVal av_setDataFrame;

/* ---- Stream connection ---- */
int RTMP_ConnectStream_v2(RTMP *r, int seek_time, AVal *username, AVal *password, int *is_uri_alloc,
                          int *is_need_reconnect);
int needs_publisher_auth(RTMP *r, RTMPPacket *pkt, AMFObject *obj);
int get_response_obj_info_props(AMFObject *obj, AVal *code, AVal *level, AVal *description);
void AV_erase(RTMP_METHOD *vals, int *num, int i, int freeit);
int string_to_AVal(const char *str, AVal *aval);
void free_aval(AVal *aval);

/* ---- Chunk read guard ---- */
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
 * (logged at level 1 with caller's name), -1 when it could not be received. */
int chunk_read_guard(RTMP *r, const char *caller);
/* The stream reconnection: deleteStream, createStream and publish again on
 * the same connection, read as the connect reads. 1 once published. */
int reconnect_stream_v2(RTMP *r);

/* ---- Publisher authentication ---- */
int PublisherAuth_v2(RTMP *r, AVal *description, AVal *username, AVal *password, AVal *pubToken);
int b64enc(const unsigned char *input, int length, char *output, int maxsize);
void hexenc(unsigned char *inbuf, int len, char *dst);
char *AValChr(AVal *av, char c);

/* ---- FLV stream writer ---- */
/* Drops what RTMP_Write_fix keeps for r between calls (a tag header or
 * trailer in pieces, a tag body awaiting its data); called when the record
 * is released. Null does nothing. */
void flv_stream_writer_forget(RTMP *r);

/* ---- Chunk writer ---- */
int EncodeInt32LE(char *output, int nVal);
int compute_pkt_header_size(const uint8_t pkt_header_type);
void AV_queue_v2(RTMP_METHOD **vals, int *num, AVal *av, int txn);
void AV_queue(RTMP_METHOD **vals, int *num, AVal *av, int txn);

/* ---- Socket and tunnel writer ---- */
typedef enum RTMPTCmd { RTMPT_OPEN = 0, RTMPT_SEND, RTMPT_IDLE, RTMPT_CLOSE } RTMPTCmd;
int is_http(RTMP *r);
int HTTP_Post_v2(RTMP *r, RTMPTCmd cmd, const char *buf, const int buf_len);
int WriteN_v2(RTMP *r, const char *buffer, const int buffer_len, int *socket_err_code, int *socket_is_closed);
int WriteN_min(RTMP *r, const char *buffer, int length);
void RC4_encrypt2(void *key, int len, const void *in, void *out);

#ifdef __cplusplus
}
#endif

#endif
