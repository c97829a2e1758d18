// Opening an RTMPT link with every wait bounded: each read first waits for
// the socket with the time left, so a server that hangs up ends the open at
// once and a silent one at the deadline.
#include "RTMPDumpUtil/tunnel_open.h"

#include "RTMPDumpUtil/address_dialer.h"
#include "RTMPDumpUtil/byte_order.h"
#include "RTMPDumpUtil/connect_command.h"
#include "RTMPDumpUtil/socket_writer.h"
#include "RTMPDumpUtil/tunnel_framing.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <librtmp/log.h>

#include <poll.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tavrel {

namespace {

constexpr int kSigLen = 1536;  // C1, S1, C2, S2
constexpr char kPlainRtmp = 0x03;
// Longer than any server's session id; the request header has room for it.
constexpr int kMaxSessionId = 128;
// The open and idle requests carry one byte, as servers expect.
constexpr char kEmptyBody[1] = {0};

struct Deadline {
    long long at_ms;
    int left_ms() const
    {
        const long long left = at_ms - monotonic_ms();
        return left > 0 ? static_cast<int>(left) : 0;
    }
};

// Whether the socket has something to read before the deadline (bytes a
// TLS session already holds count).
bool wait_readable(RTMP *r, const Deadline &deadline)
{
    if (r->m_sb.sb_ssl && gnutls_record_check_pending(static_cast<gnutls_session_t>(r->m_sb.sb_ssl)) > 0)
        return true;
    for (;;) {
        pollfd p = {r->m_sb.sb_socket, POLLIN, 0};
        const int rc = poll(&p, 1, deadline.left_ms());
        if (rc >= 0 || errno != EINTR)
            return rc > 0;
    }
}

// More bytes into librtmp's receive buffer, where its reader finds what
// the open leaves behind. false at the deadline, end of stream, an error or
// a full buffer.
bool fill(RTMP *r, const Deadline &deadline)
{
    const bool is_full = r->m_sb.sb_size >= static_cast<int>(sizeof r->m_sb.sb_buf) - 1;
    return !is_full && wait_readable(r, deadline) && receive_more(r);
}

// One whole answer at the buffer's start: 1 with its header and body
// lengths, 0 while it is incomplete, -1 when it is not a tunnel answer.
int whole_answer(const RTMPSockBuf &sb, int *header_len, int *body_len)
{
    const int state = tunnel_answer_header(sb.sb_start, sb.sb_size, header_len, body_len);
    return state <= 0 ? state : (sb.sb_size - *header_len >= *body_len ? 1 : 0);
}

// Reads the next answer; its header is taken off the buffer, its body is
// left at the buffer's start. false when none came whole in time.
bool read_answer(RTMP *r, const Deadline &deadline, int *body_len)
{
    int header_len = 0;
    int state;
    while ((state = whole_answer(r->m_sb, &header_len, body_len)) == 0) {
        if (!fill(r, deadline))
            return false;
    }
    if (state < 0) {
        RTMP_Log(RTMP_LOGERROR, "%s, the server's answer is not an RTMPT answer", "connect_rtmp_w");
        return false;
    }
    r->m_sb.sb_start += header_len;
    r->m_sb.sb_size -= header_len;
    r->m_unackd--;
    return true;
}

// Whether the id, the open answer's body without its line end, is one path
// segment of visible characters: it is written into the path of every
// later request, where a line end or a space would end the request line
// and let the server's bytes write our request headers.
bool is_plain_session_id(const char *id, int len)
{
    if (len > kMaxSessionId)
        return false;
    for (int i = 0; i < len; i++) {
        const unsigned char c = static_cast<unsigned char>(id[i]);
        if (c <= ' ' || c >= 0x7f || c == '/' || c == '?' || c == '#')
            return false;
    }
    return true;
}

// The open request; its answer's body is the session's id, kept with a
// leading "/" (the form every later request's path takes) and without the
// line end.
bool open_session(RTMP *r, const Deadline &deadline)
{
    r->m_msgCounter = 1;
    std::free(r->m_clientID.av_val);
    r->m_clientID = AVal{nullptr, 0};
    int body_len = 0;
    if (HTTP_Post_v2(r, RTMPT_OPEN, kEmptyBody, sizeof kEmptyBody) <= 0 || !read_answer(r, deadline, &body_len) ||
        body_len < 1)
        return false;
    if (!is_plain_session_id(r->m_sb.sb_start, body_len - 1)) {
        RTMP_Log(RTMP_LOGERROR, "%s, the server's tunnel session id is not a plain token", "connect_rtmp_w");
        return false;
    }
    char *id = static_cast<char *>(std::malloc(static_cast<size_t>(body_len) + 1));
    if (!id)
        return false;
    id[0] = '/';
    std::memcpy(id + 1, r->m_sb.sb_start, static_cast<size_t>(body_len) - 1);
    id[body_len] = '\0';
    r->m_clientID = AVal{id, body_len};
    r->m_sb.sb_start += body_len;
    r->m_sb.sb_size -= body_len;
    r->m_msgCounter = 0;
    return true;
}

// n bytes of RTMP data from the tunnel's answers, asking with an idle
// request when no answer is owed. Leaves librtmp's reader state (the
// polling interval, the rest of the current body) as librtmp keeps it.
bool tunnel_read(RTMP *r, char *out, int n, const Deadline &deadline)
{
    while (n > 0) {
        if (r->m_resplen > 0 && r->m_sb.sb_size > 0) {
            int take = r->m_resplen < r->m_sb.sb_size ? r->m_resplen : r->m_sb.sb_size;
            take = take < n ? take : n;
            std::memcpy(out, r->m_sb.sb_start, static_cast<size_t>(take));
            out += take;
            n -= take;
            r->m_sb.sb_start += take;
            r->m_sb.sb_size -= take;
            r->m_resplen -= take;
            continue;
        }
        if (r->m_resplen > 0) {
            if (!fill(r, deadline))
                return false;
            continue;
        }
        if (r->m_unackd <= 0 && HTTP_Post_v2(r, RTMPT_IDLE, kEmptyBody, sizeof kEmptyBody) <= 0)
            return false;
        int body_len = 0;
        if (!read_answer(r, deadline, &body_len) || body_len < 1)
            return false;
        r->m_polling = static_cast<unsigned char>(*r->m_sb.sb_start);
        r->m_sb.sb_start++;
        r->m_sb.sb_size--;
        r->m_resplen = body_len - 1;
    }
    return true;
}

bool tunnel_send(RTMP *r, const char *buf, int len) { return HTTP_Post_v2(r, RTMPT_SEND, buf, len) == len; }

// The plain handshake: C0 and C1 (our uptime, four zero bytes, random
// bytes), then S1 echoed as C2.
bool handshake(RTMP *r, const Deadline &deadline)
{
    char c0c1[1 + kSigLen] = {};
    c0c1[0] = kPlainRtmp;
    put_be32(reinterpret_cast<uint8_t *>(c0c1 + 1), RTMP_GetTime());
    if (gnutls_rnd(GNUTLS_RND_NONCE, c0c1 + 9, kSigLen - 8) != 0 || !tunnel_send(r, c0c1, sizeof c0c1))
        return false;
    char s0s1[1 + kSigLen];
    if (!tunnel_read(r, s0s1, sizeof s0s1, deadline))
        return false;
    if (s0s1[0] != kPlainRtmp)
        RTMP_Log(RTMP_LOGWARNING, "%s, the server answered the handshake with version %d", "connect_rtmp_w",
                 static_cast<unsigned char>(s0s1[0]));
    char s2[kSigLen];
    return tunnel_send(r, s0s1 + 1, kSigLen) && tunnel_read(r, s2, sizeof s2, deadline);
}

}  // namespace

bool tunnel_open(RTMP *r, int timeout_ms)
{
    const Deadline deadline{monotonic_ms() + timeout_ms};
    r->m_resplen = 0;
    r->m_unackd = 0;
    return open_session(r, deadline) && handshake(r, deadline) && send_connect_command(r);
}

}  // namespace tavrel
