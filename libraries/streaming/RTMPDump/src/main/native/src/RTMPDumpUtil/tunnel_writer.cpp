// Tunnel writer: on an RTMPT link every write is one HTTP POST, header and
// body over the link's plain or TLS socket.
#include "RTMPDumpUtil/socket_writer.h"

#include "RTMPDumpUtil.h"

#include <librtmp/log.h>

#include <errno.h>

#include <gnutls/gnutls.h>

#include <cstdio>

namespace {

constexpr int kHeaderLen = 512;

const char *const kRtmptCmds[] = {"open", "send", "idle", "close"};

// The line ends are mixed on purpose: servers of the Flash era accept this
// exact header, and it is what they have always been sent.
constexpr const char kPostTemplate[] =
    "POST /%s%s/%d HTTP/1.1\r\n"
    "Host: %.*s:%d\r\n"
    "Accept: */*\r\n"
    "User-Agent: Shockwave Flash\n"
    "Connection: Keep-Alive\n"
    "Cache-Control: no-cache\r\n"
    "Content-type: application/x-fcs\r\n"
    "Content-length: %d\r\n"
    "\r\n";

bool interrupted(const RTMP *r, int result)
{
    bool eintr = errno == EINTR || (r->m_sb.sb_ssl && result == GNUTLS_E_INTERRUPTED);
    return eintr && RTMP_ctrlC == 0;
}

// The header goes out whole or the request is abandoned: a body behind a
// partial header would be read as part of the header by the server. A
// failure before any header byte left is passed up for the caller to judge
// (and retry); once part of it is on the wire only an interruption is
// continued here.
int send_header(RTMP *r, const char *header, int header_len)
{
    int sent = 0;
    while (sent < header_len) {
        int n = RTMPSockBuf_Send_v2(&r->m_sb, header + sent, header_len - sent);
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n < 0 && sent > 0 && interrupted(r, n))
            continue;
        return n;
    }
    return sent;
}

}  // namespace

extern "C" {

int HTTP_Post_v2(RTMP *r, RTMPTCmd cmd, const char *buf, const int buf_len)
{
    if (!r || cmd < RTMPT_OPEN || cmd > RTMPT_CLOSE || buf_len < 0 || (!buf && buf_len > 0))
        return 0;
    const AVal &id = r->m_clientID;
    const AVal &host = r->Link.hostname;
    char header[kHeaderLen];
    int header_len = std::snprintf(header, sizeof header, kPostTemplate, kRtmptCmds[cmd], id.av_val ? id.av_val : "",
                                   r->m_msgCounter, host.av_val ? host.av_len : 0, host.av_val ? host.av_val : "",
                                   r->Link.port, buf_len);
    if (header_len < 0 || header_len >= kHeaderLen) {
        RTMP_Log(RTMP_LOGERROR, "%s, tunnel request header needs %d bytes, room for %d; nothing sent", "HTTP_Post_v2",
                 header_len, kHeaderLen - 1);
        return 0;
    }
    int header_result = send_header(r, header, header_len);
    if (header_result <= 0)
        return header_result;
    // With the header out, an interruption before any body byte is taken
    // is waited out here: repeating the whole request would leave this
    // header on the wire without its body.
    int body_result;
    do {
        body_result = RTMPSockBuf_Send_v2(&r->m_sb, buf, buf_len);
    } while (body_result < 0 && interrupted(r, body_result));
    r->m_msgCounter++;
    r->m_unackd++;
    return body_result;
}

}  // extern "C"
