// The bottom of the alternative output path: raw bytes onto the connection,
// through the RTMPT tunnel when the link runs there. RTMPSockBuf_Send_v2 and
// discard_recv_data are exported (RTMPDumpUtil.h).
#ifndef TAVREL_RTMPDUMPUTIL_SOCKET_WRITER_H
#define TAVREL_RTMPDUMPUTIL_SOCKET_WRITER_H

#include <librtmp/rtmp.h>

extern "C" {

typedef enum RTMPTCmd { RTMPT_OPEN = 0, RTMPT_SEND, RTMPT_IDLE, RTMPT_CLOSE } RTMPTCmd;

/* Non-zero when the link runs through the HTTP tunnel. */
int is_http(RTMP *r);

/* One tunnel request carrying buf_len bytes; the body write's result. */
int HTTP_Post_v2(RTMP *r, RTMPTCmd cmd, const char *buf, const int buf_len);

/* Writes all of buffer: 1, or 0 with the failing write's result and
 * whether it closed the connection. */
int WriteN_v2(RTMP *r, const char *buffer, const int buffer_len, int *socket_err_code, int *socket_is_closed);
/* WriteN_v2 without the error outputs. */
int WriteN_min(RTMP *r, const char *buffer, int length);

/* The RC4 key stream held in key over len bytes, from in to out. */
void RC4_encrypt2(void *key, int len, const void *in, void *out);

}  // extern "C"

#endif
