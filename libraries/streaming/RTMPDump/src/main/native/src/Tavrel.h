/*
 * Tavrel: publishes H.264 video and AAC audio to an RTMP server as a live
 * encoder.
 *
 * A publisher context (RTMPDumpCtx) is one published stream on one
 * connection. Make it with tavrel_connect, send metadata, sequence headers
 * and frames, reconnect when a send reports RTMPERR_NEEDS_TO_RECONNECT, and
 * release it with tavrel_close.
 *
 * Threads: one audio and one video thread may send on a context at the same
 * time; two sends of the same kind must not overlap; tavrel_close and
 * tavrel_reconnect_full must not overlap any other call on the context.
 *
 * The process should ignore SIGPIPE (the JVM does): a write to a connection
 * the server has reset would otherwise end it.
 */
#ifndef TAVREL_H
#define TAVREL_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include <librtmp/rtmp.h>

#include "NALU.h"
#include "Ostrel.h"

#define TAVREL_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* Stored connection state of a context. */
typedef enum RTMP_CONN {
    RTMP_CONN_CONNECTED = 0,     /* published; sending is allowed */
    RTMP_CONN_DISCONNECTED = -1, /* a stream reconnection failed, or closing; also: no context */
    RTMP_CONN_TIMEDOUT = -2,     /* never stored */
    RTMP_CONN_CLOSED = -3,       /* never stored */
    RTMP_CONN_RECONNECTING = -4, /* a reconnection of the context is under way */
} RTMP_CONN;

/* Result of every send. */
typedef enum RTMPERR {
    RTMPERR_OK = 0,
    RTMPERR_DISCONNECTED = -1,       /* reserved */
    RTMPERR_TIMEDOUT = -2,           /* reserved */
    RTMPERR_INVALID_BUFF = -3,       /* AAC buffer null or length <= 0 */
    RTMPERR_INVALID_NAL = -4,        /* bad NAL unit input, or Annex B */
    RTMPERR_INVALID_NUM_NAL = -5,    /* no usable NAL unit (or parameter set) */
    RTMPERR_BUFF_TOO_LARGE = -6,     /* metadata does not fit */
    RTMPERR_NON_MONOTONIC = -7,      /* reserved */
    RTMPERR_NEGATIVE_TIMESTAMP = -8, /* AAC elapsed_ms < 0 */
    RTMPERR_FAILED_TO_WRITE = -9,    /* reserved */
    RTMPERR_FAILED_TO_SEND = -10,    /* reserved */
    RTMPERR_RECONNECTING = -11,      /* a reconnection is under way */
    RTMPERR_NEEDS_TO_RECONNECT = -12,/* the send failed and the connection is down */
    RTMPERR_UNKNOWN = -13,           /* the send failed with the connection still up */
} RTMPERR;

/* The publisher context. Fields are read by the Java getters; callers must
 * not write them. */
typedef struct RTMPDumpCtx {
    RTMP *rtmp;               /* made by connect_rtmp_w; owned */
    const char *url;          /* owned copy (the record keeps one of its own) */
    size_t url_len;
    const char *username;     /* owned copy or null */
    size_t username_len;
    const char *password;     /* owned copy or null */
    size_t password_len;
    RTMP_CONN connection_state; /* guarded by state_mutex */
    int use_rtmp_write;       /* FLV-write mode instead of packet mode */
    int is_rtmp_queue;        /* queue flag of RTMP_SendPacket */
    int has_sent_audio_header; /* unused */
    int has_sent_video_header; /* unused */
    int is_log_audio;         /* trace every audio message at level 300 */
    int is_log_video;         /* trace every video message at level 300 */
    pthread_mutex_t state_mutex; /* connection_state, stream_id, state readings */
    pthread_mutex_t rtmp_mutex;  /* every write to the connection */
    uint32_t prev_tag_len;    /* unused */
    int stream_id;            /* published stream id; 0 after a failed stream reconnection */
    RTMPPacket *a_pkt;        /* reusable audio packet */
    RTMPPacket *v_pkt;        /* reusable video packet */
    uint32_t a_body_len;      /* unused */
    uint32_t a_body_max_len;  /* capacity of a_pkt's body */
    uint32_t v_body_len;      /* unused */
    uint32_t v_body_max_len;  /* capacity of v_pkt's body */
    Logger *logger;           /* one reference owned by the context, or null */
} RTMPDumpCtx;

/* Process-wide logger for librtmp's own messages. Takes over the caller's
 * reference (null allowed) and releases the previous logger. Any thread may
 * call it, also while others are logging: a message under way keeps the
 * logger it started with until it is written. */
TAVREL_API void tavrel_set_global_logger(Logger *logger);

/* Connects, publishes and returns a new context, or null. username and
 * password may be null. a_body_max_len / v_body_max_len: the largest AAC
 * frame and H.264 access unit expected, in bytes. On success the context
 * takes over the caller's reference to logger; on failure it stays the
 * caller's. */
TAVREL_API RTMPDumpCtx *tavrel_connect(const char *url, const char *username, const char *password,
                                       int use_rtmp_write, int is_rtmp_queue, int is_log_audio,
                                       int is_log_video, uint32_t a_body_max_len, uint32_t v_body_max_len,
                                       Logger *logger);

/* A second, independent context with ctx's settings (sharing its logger);
 * null for a null ctx or a failed connection. */
TAVREL_API RTMPDumpCtx *tavrel_reconnect_clone(RTMPDumpCtx *ctx);

/* Publishes a new stream on the existing connection. -4 when another
 * reconnection is under way, else 0; the outcome is the stored state. */
TAVREL_API RTMP_CONN tavrel_reconnect_stream(RTMPDumpCtx **ctx_ptr);

/* Replaces *ctx_ptr by a newly connected context. -4: another reconnection
 * runs, nothing done. 0: *ctx_ptr is the context to use (unchanged when the
 * connection was intact). -1: the old context is released and no new one
 * could be made; *ctx_ptr must not be used again. */
TAVREL_API RTMP_CONN tavrel_reconnect_full(RTMPDumpCtx **ctx_ptr);

/* Connects and publishes without credentials, then closes. 0 success,
 * -1 null URL, -2 URL not accepted, -3 connection failed, -4 not published,
 * -5 the server's TLS certificate was not verified. */
TAVREL_API int tavrel_test_connect(const char *url);

/* The detailed result of a connect; each failure has a coarse code above
 * (connect_rtmp_w's and tavrel_test_connect's), given beside it. */
typedef enum TAVREL_CONNECT_RESULT {
    TAVREL_CONNECT_OK = 0,
    TAVREL_CONNECT_NULL_URL = -1,
    TAVREL_CONNECT_BAD_URL = -2,         /* the URL or one of its options not accepted */
    TAVREL_CONNECT_UNREACHABLE = -3,     /* refused, unreachable or timed out at every address */
    TAVREL_CONNECT_NOT_PUBLISHED = -4,   /* any other failure after the handshake */
    TAVREL_CONNECT_TLS_VERIFY = -5,      /* the server's certificate was not verified */
    TAVREL_CONNECT_DNS = -6,             /* the host name was not resolved (coarse -3) */
    TAVREL_CONNECT_HANDSHAKE = -7,       /* the TLS or RTMP handshake failed (coarse -3) */
    TAVREL_CONNECT_APP_REFUSED = -8,     /* connect refused, not for authentication (coarse -4) */
    TAVREL_CONNECT_PUBLISH_REFUSED = -9, /* NetStream.Publish.BadName / Denied / Failed (coarse -4) */
    TAVREL_CONNECT_AUTH_FAILED = -10,    /* authentication refused or rounds exhausted (coarse -4) */
} TAVREL_CONNECT_RESULT;

/* The TAVREL_CONNECT_RESULT of the last connect made on the calling thread
 * (tavrel_connect, tavrel_reconnect_clone, tavrel_reconnect_full,
 * tavrel_test_connect, connect_rtmp_w); 0 before the first. */
TAVREL_API int tavrel_last_connect_result(void);

TAVREL_API RTMP_CONN tavrel_get_connection_state(RTMPDumpCtx *ctx);

/* 1 when connected and not timed out, 0 otherwise, -1 for a null ctx. */
TAVREL_API int tavrel_can_send(RTMPDumpCtx *ctx);

/* Ends the connection and releases the context; null does nothing. */
TAVREL_API void tavrel_close(RTMPDumpCtx *ctx);

/* Media sends; each returns an RTMPERR. */
TAVREL_API int tavrel_send_aac_header(RTMPDumpCtx *ctx, uint8_t *header, uint32_t len);
TAVREL_API int tavrel_send_aac_data(RTMPDumpCtx *ctx, uint8_t *buf, int32_t len, int64_t elapsed_ms);
TAVREL_API int tavrel_send_h264_header(RTMPDumpCtx *ctx, NALUS *nalus);
TAVREL_API int tavrel_send_h264_nals(RTMPDumpCtx *ctx, NALUS *nalus);
TAVREL_API int tavrel_send_h264_nalu_payload(RTMPDumpCtx *ctx, NALUPayload *payload);

/* Outgoing chunk size: sends Set Chunk Size (message type 1, chunk stream
 * 2) under the send lock, then cuts every later message of the connection
 * into chunks of `size` bytes, and tells it again after every stream, full
 * or clone reconnection. Without it a connection keeps 128. RTMPERR_OK;
 * RTMPERR_INVALID_BUFF for a size below 1; RTMPERR_DISCONNECTED for a null
 * ctx or a context that is not connected; RTMPERR_RECONNECTING while a
 * reconnection runs; a failed send as the media sends report it. */
TAVREL_API int tavrel_set_chunk_size(RTMPDumpCtx *ctx, int size);

/* Send bound: a message the network does not take within ms milliseconds
 * (SO_SNDTIMEO on the connection's socket, and the whole message across
 * short writes) fails, the connection is closed and the send returns
 * RTMPERR_NEEDS_TO_RECONNECT. Kept for the context's later connections
 * (stream, full and clone reconnections); 0 removes the bound. Waits for a
 * send in progress. RTMPERR_OK; RTMPERR_INVALID_BUFF for a negative ms;
 * RTMPERR_DISCONNECTED for a null ctx; RTMPERR_UNKNOWN when the socket
 * refused the option. */
TAVREL_API int tavrel_set_send_timeout(RTMPDumpCtx *ctx, int ms);

/* Unsent bytes the connection's socket may hold (TCP_NOTSENT_LOWAT): a send
 * waits while more than this lies in the kernel unsent, so a link slower
 * than the media shows at the sender within about that much data instead
 * of megabytes of kernel buffer. Kept for later connections like the send
 * timeout; 0 gives the kernel's default back. Results as
 * tavrel_set_send_timeout. */
TAVREL_API int tavrel_set_unsent_limit(RTMPDumpCtx *ctx, int bytes);

/* Reads what the server has sent, without waiting: every whole message is
 * handled (Ping Request answered, Set Chunk Size, Window Acknowledgement
 * Size and Set Peer Bandwidth applied, our Acknowledgement sent when the
 * server's window is reached, the server's Acknowledgement counted). Every
 * media send does the same before it writes; call this when no media flows.
 * RTMPERR_OK; RTMPERR_NEEDS_TO_RECONNECT once the server has ended the
 * publish or the connection (an onStatus error such as
 * NetStream.Publish.Failed, NetConnection.Connect.Closed, its side closed),
 * which the next send reports too; RTMPERR_RECONNECTING while a
 * reconnection runs; RTMPERR_DISCONNECTED for a null ctx. */
TAVREL_API int tavrel_poll(RTMPDumpCtx *ctx);

/* Ends the publish gracefully and keeps the context for its figures:
 * FCUnpublish and deleteStream, our side of the connection shut, then the
 * server's messages read until it closes its side, all within the close
 * timeout. RTMPERR_OK when the server closed its side in time,
 * RTMPERR_TIMEDOUT when the time ran out first, RTMPERR_NEEDS_TO_RECONNECT
 * when there was no connection to end (or it was ended already). Later
 * sends return RTMPERR_NEEDS_TO_RECONNECT, and tavrel_reconnect_full
 * connects anew. tavrel_close does the same
 * first unless it has been done. */
TAVREL_API int tavrel_finish(RTMPDumpCtx *ctx);

/* The bound of the graceful end (tavrel_finish, tavrel_close), in
 * milliseconds; 3000 unless set. RTMPERR_OK; RTMPERR_INVALID_BUFF for a
 * negative value; RTMPERR_DISCONNECTED for a null ctx. */
TAVREL_API int tavrel_set_close_timeout(RTMPDumpCtx *ctx, int timeout_ms);

/* Bytes of chunk stream written to the connection since the handshake (on a
 * direct plain TCP link; over TLS, RTMPE, the tunnel or a SOCKS proxy since
 * the publish began). RTMPERR_OK; RTMPERR_INVALID_BUFF for a null bytes. */
TAVREL_API int tavrel_bytes_written(RTMPDumpCtx *ctx, uint64_t *bytes);

/* Bytes the server has acknowledged (its Acknowledgement's sequence number,
 * unwrapped past 2^32), as last read. A server acknowledges when its window
 * is reached: the figure trails the bytes written by up to that window. */
TAVREL_API int tavrel_bytes_acked(RTMPDumpCtx *ctx, uint64_t *bytes);

/* Sends the onMetaData data message: 1 sent, 0 send failed,
 * RTMPERR_UNKNOWN or RTMPERR_BUFF_TOO_LARGE when it could not be built. */
TAVREL_API int tavrel_send_metadata(RTMPDumpCtx *ctx, int w, int h, int v_bitrate, int v_framerate,
                                    int a_bitrate, int a_sample_rate, int a_sample_size_b, int a_num_ch);

#ifdef __cplusplus
}
#endif

#endif
