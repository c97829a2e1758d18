// Socket writer: the bottom of the alternative output path. Raw bytes onto
// the connection librtmp opened (plain TCP, TLS, or the RTMPT tunnel), RC4
// applied first on encrypted links, send errors sorted into retry and close.
#include "RTMPDumpUtil/socket_writer.h"

#include "RTMPDumpUtil.h"

#include <librtmp/log.h>

#include <errno.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <gnutls/gnutls.h>
#include <nettle/arcfour.h>

#include <cstdlib>

namespace {

// Encrypted writes up to this size allocate nothing.
constexpr int kCipherStackLen = 16384;
// Pending input is dropped in pieces of this size.
constexpr int kDiscardPieceLen = 512;
// discard_recv_data: the server closed the connection while we drained.
constexpr int kDiscardPeerClosed = -3;

bool is_tls(const RTMPSockBuf *sb) { return sb->sb_ssl != nullptr; }

// An interrupted write may be repeated unchanged, unless the user asked the
// library to stop. GnuTLS reports the interrupted send as its own code.
bool is_recoverable(const RTMP *r, int amt_sent, int sockerr)
{
    bool interrupted = sockerr == EINTR || (is_tls(&r->m_sb) && amt_sent == GNUTLS_E_INTERRUPTED);
    return interrupted && RTMP_ctrlC == 0;
}

}  // namespace

extern "C" {

int is_http(RTMP *r) { return r->Link.protocol & RTMP_FEATURE_HTTP; }

int RTMPSockBuf_Send_v2(RTMPSockBuf *sb, const char *buf, const int buf_len)
{
    if (!sb || (!buf && buf_len != 0) || buf_len < 0) {
        errno = EINVAL;
        return -1;
    }
    // librtmp is built on GnuTLS here: sb_ssl is a gnutls_session_t.
    if (is_tls(sb))
        return static_cast<int>(
            gnutls_record_send(static_cast<gnutls_session_t>(sb->sb_ssl), buf, static_cast<size_t>(buf_len)));
    // A peer that went away must give EPIPE, not kill the host process.
    return static_cast<int>(send(sb->sb_socket, buf, static_cast<size_t>(buf_len), MSG_NOSIGNAL));
}

// librtmp keeps the outgoing key stream as a nettle arcfour context.
void RC4_encrypt2(void *key, int len, const void *in, void *out)
{
    if (!key || len <= 0)
        return;
    arcfour_crypt(static_cast<struct arcfour_ctx *>(key), static_cast<size_t>(len), static_cast<uint8_t *>(out),
                  static_cast<const uint8_t *>(in));
}

int WriteN_v2(RTMP *r, const char *buffer, const int buffer_len, int *socket_err_code, int *socket_is_closed)
{
    if (!r || (!buffer && buffer_len > 0))
        return 0;
    const char *ptr = buffer;
    char stack_area[kCipherStackLen];
    char *heap_area = nullptr;
    if (r->Link.rc4keyOut && buffer_len > 0) {
        char *area = stack_area;
        if (buffer_len > kCipherStackLen) {
            heap_area = static_cast<char *>(std::malloc(static_cast<size_t>(buffer_len)));
            if (!heap_area) {
                // Nothing encrypted, nothing sent: the key stream and the
                // connection are as they were.
                RTMP_Log(RTMP_LOGERROR, "%s, no memory to encrypt %d bytes", "WriteN_v2", buffer_len);
                if (socket_err_code)
                    *socket_err_code = 0;
                if (socket_is_closed)
                    *socket_is_closed = 0;
                return 0;
            }
            area = heap_area;
        }
        RC4_encrypt2(r->Link.rc4keyOut, buffer_len, buffer, area);
        ptr = area;
    }

    const bool is_http_proto = is_http(r) != 0;
    int left_to_send = buffer_len;
    while (left_to_send > 0) {
        int amt_sent = is_http_proto ? HTTP_Post_v2(r, RTMPT_SEND, ptr, left_to_send)
                                     : RTMPSockBuf_Send_v2(&r->m_sb, ptr, left_to_send);
        if (amt_sent > 0) {
            left_to_send -= amt_sent;
            ptr += amt_sent;
            continue;
        }
        if (amt_sent < 0) {
            int sockerr = errno;
            bool recoverable = is_recoverable(r, amt_sent, sockerr);
            RTMP_Log(RTMP_LOGERROR, "%s, RTMP send error:%d, remaining to send:%d, is recoverable:%d", "WriteN_v2",
                     sockerr, left_to_send, recoverable ? 1 : 0);
            if (recoverable)
                continue;
            RTMP_Close(r);
        }
        if (socket_err_code)
            *socket_err_code = amt_sent;
        if (socket_is_closed)
            *socket_is_closed = amt_sent < 0 ? 1 : 0;
        break;
    }
    std::free(heap_area);
    return left_to_send == 0 ? 1 : 0;
}

int WriteN_min(RTMP *r, const char *buffer, int length)
{
    int err = 0, closed = 0;
    return WriteN_v2(r, buffer, length, &err, &closed);
}

int discard_recv_data(RTMP *r)
{
    if (!r)
        return -1;
    int fd = r->m_sb.sb_socket;
    int count = 0;
    if (ioctl(fd, FIONREAD, &count) != 0 && count <= 0)
        return -2;
    char buffer[kDiscardPieceLen];
    // The amount is fixed here: what arrives meanwhile stays for later.
    while (count > 0) {
        int request = count < kDiscardPieceLen ? count : kDiscardPieceLen;
        ssize_t got = recv(fd, buffer, static_cast<size_t>(request), 0);
        count -= request;
        if (got < 0) {
            int err = errno;
            RTMP_Log(RTMP_LOGERROR, "recv err: %d (%d [B])", err, count);
            return err;
        }
        if (got == 0)
            return kDiscardPeerClosed;
    }
    return 0;
}

}  // extern "C"
