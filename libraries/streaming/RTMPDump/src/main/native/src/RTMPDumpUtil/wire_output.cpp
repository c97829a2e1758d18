// All of one message onto the connection: the send loop every link shares
// (progress, retry, time limit, failure), around one attempt per link kind.
#include "RTMPDumpUtil/wire_output.h"

#include "RTMPDumpUtil/link_open.h"
#include "RTMPDumpUtil/socket_writer.h"

#include <librtmp/log.h>

#include <errno.h>
#include <gnutls/gnutls.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

namespace tavrel {

static_assert(kMaxWirePieces <= IOV_MAX, "sendmsg takes at most IOV_MAX pieces");

namespace {

constexpr const char *kWho = "send_message";

enum class LinkKind { kPieces, kPlain, kTls, kTunnel };

// Where the next attempt starts: the unsent pieces, or the unsent rest of
// one buffer.
struct Cursor {
    LinkKind kind;
    RTMP *r;
    msghdr mh;
    const char *p;
};

int64_t now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// What is left of the message's time: -1 without a bound, 0 when it is up.
int remaining_ms(const WireOutput &out, int64_t start_ms)
{
    if (out.timeout_ms <= 0)
        return -1;
    int64_t left = out.timeout_ms - (now_ms() - start_ms);
    return left > 0 ? static_cast<int>(left) : 0;
}

// One write from the cursor: the bytes the link took, 0 when it took none
// without an error, or -1 with an errno value in *err (GnuTLS's interrupted
// and try-again results count as EINTR and EAGAIN, its other failures keep
// their own negative codes).
ssize_t attempt(Cursor &c, size_t left, int *err)
{
    ssize_t took = -1;
    switch (c.kind) {
    case LinkKind::kPieces:
        took = sendmsg(c.r->m_sb.sb_socket, &c.mh, MSG_NOSIGNAL);
        break;
    case LinkKind::kPlain:
        took = send(c.r->m_sb.sb_socket, c.p, left, MSG_NOSIGNAL);
        break;
    case LinkKind::kTunnel:
        took = HTTP_Post_v2(c.r, RTMPT_SEND, c.p, left > INT_MAX ? INT_MAX : static_cast<int>(left));
        break;
    case LinkKind::kTls: {
        // librtmp is built on GnuTLS here: sb_ssl is a gnutls_session_t.
        // Once it has taken part of a record it wants the same arguments
        // again, which a retry from the cursor gives it.
        took = gnutls_record_send(static_cast<gnutls_session_t>(c.r->m_sb.sb_ssl), c.p, left);
        if (took < 0) {
            *err = took == GNUTLS_E_INTERRUPTED ? EINTR : took == GNUTLS_E_AGAIN ? EAGAIN : static_cast<int>(took);
            return -1;
        }
        return took;
    }
    }
    if (took < 0)
        *err = errno;
    return took;
}

void consume(Cursor &c, size_t n)
{
    if (c.kind != LinkKind::kPieces) {
        c.p += n;
        return;
    }
    while (n > 0) {
        iovec &v = c.mh.msg_iov[0];
        if (n < v.iov_len) {
            v.iov_base = static_cast<char *>(v.iov_base) + n;
            v.iov_len -= n;
            return;
        }
        n -= v.iov_len;
        c.mh.msg_iov++;
        c.mh.msg_iovlen--;
    }
}

// After an attempt that took nothing: an interruption is repeated unless
// the user asked librtmp to stop; a full socket buffer is waited out while
// the message's time lasts.
bool may_try_again(const WireOutput &out, int err, int64_t start_ms)
{
    if (err == EINTR)
        return RTMP_ctrlC == 0;
    if (err != EAGAIN)
        return false;
    const int wait_ms = remaining_ms(out, start_ms);
    if (wait_ms == 0)
        return false;
    pollfd p = {out.r->m_sb.sb_socket, POLLOUT, 0};
    poll(&p, 1, wait_ms);
    return true;
}

bool put_all(const WireOutput &out, Cursor &c, size_t total)
{
    const int64_t start_ms = out.timeout_ms > 0 ? now_ms() : 0;
    size_t left = total;
    while (left > 0) {
        int err = 0;
        const ssize_t took = attempt(c, left, &err);
        if (took > 0) {
            *out.bytes_written += uint64_t(took);
            left -= size_t(took);
            consume(c, size_t(took));
            if (left == 0 || remaining_ms(out, start_ms) != 0)
                continue;
            err = ETIMEDOUT;
        } else if (took == 0) {
            return false;  // nothing taken, nothing reported: the link stays as it is
        } else if (may_try_again(out, err, start_ms)) {
            continue;
        }
        RTMP_Log(RTMP_LOGERROR, "%s, RTMP send error:%d, remaining to send:%zu of %zu", kWho, err, left, total);
        // No goodbye on this link: behind part of a message it would be
        // garbage to the server, and on a link that stopped taking bytes
        // each of RTMP_Close's messages would wait out the send timeout
        // again.
        cut_link(out.r);
        RTMP_Close(out.r);
        return false;
    }
    return true;
}

}  // namespace

bool needs_one_buffer(const RTMP *r)
{
    return r->m_sb.sb_ssl || r->Link.rc4keyOut || (r->Link.protocol & RTMP_FEATURE_HTTP);
}

int socket_send_timeout_ms(int fd)
{
    timeval tv = {};
    socklen_t len = sizeof tv;
    if (fd < 0 || getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &len) != 0)
        return 0;
    int64_t ms = int64_t(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

bool put_pieces(const WireOutput &out, struct iovec *iov, int num, size_t total)
{
    Cursor c = {LinkKind::kPieces, out.r, {}, nullptr};
    c.mh.msg_iov = iov;
    c.mh.msg_iovlen = static_cast<size_t>(num);
    return put_all(out, c, total);
}

bool put_buffer(const WireOutput &out, char *buf, size_t len)
{
    RTMP *r = out.r;
    if (r->Link.rc4keyOut && len > 0)
        RC4_encrypt2(r->Link.rc4keyOut, static_cast<int>(len), buf, buf);
    LinkKind kind = (r->Link.protocol & RTMP_FEATURE_HTTP) ? LinkKind::kTunnel
                    : r->m_sb.sb_ssl                      ? LinkKind::kTls
                                                          : LinkKind::kPlain;
    Cursor c = {kind, r, {}, buf};
    return put_all(out, c, len);
}

}  // namespace tavrel
