// One connection of a link: socket, TLS, RTMP handshake, connect command.
#include "RTMPDumpUtil/link_open.h"

#include "RTMPDumpUtil/tunnel_open.h"
#include "RTMPDumpUtil/url_host.h"
#include "Tavrel.h"

#include <gnutls/gnutls.h>
#include <librtmp/log.h>

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace tavrel {

namespace {

constexpr int kDefaultTimeoutS = 30;

int link_timeout_ms(const RTMP *r) { return (r->Link.timeout > 0 ? r->Link.timeout : kDefaultTimeoutS) * 1000; }

// The state librtmp's own socket set-up starts a connection with, and its
// socket options: the receive timeout of the link, no Nagle delay.
void adopt_socket(RTMP *r, int fd)
{
    r->m_sb.sb_socket = fd;
    r->m_sb.sb_timedout = 0;
    r->m_pausing = 0;
    r->m_fDuration = 0.0;
    struct timeval tv = {};
    tv.tv_sec = link_timeout_ms(r) / 1000;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0)
        RTMP_Log(RTMP_LOGWARNING, "%s, could not set a receive timeout", "connect_rtmp_w");
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// A send to a server that has stopped reading must fail rather than block
// the sending thread until the kernel gives up on the peer.
void set_send_timeout(RTMP *r)
{
    struct timeval tv = {};
    tv.tv_sec = link_timeout_ms(r) / 1000;
    if (setsockopt(r->m_sb.sb_socket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0)
        RTMP_Log(RTMP_LOGWARNING, "%s, could not set a send timeout", "connect_rtmp_w");
}

// Through a SOCKS4 proxy (the URL option socks=host:port) librtmp's own
// set-up runs, which speaks that protocol: IPv4 only, as SOCKS4 is.
bool dial_socks(RTMP *r, int *detailed)
{
    char host[NI_MAXHOST];
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    if (!host_for_lookup(r->Link.sockshost, host, sizeof host) || getaddrinfo(host, nullptr, &hints, &list) != 0) {
        RTMP_Log(RTMP_LOGERROR, "%s, cannot resolve the SOCKS proxy %.*s", "connect_rtmp_w",
                 r->Link.sockshost.av_len, r->Link.sockshost.av_val ? r->Link.sockshost.av_val : "");
        *detailed = TAVREL_CONNECT_DNS;
        return false;
    }
    sockaddr_in proxy = {};
    std::memcpy(&proxy, list->ai_addr, sizeof proxy);
    freeaddrinfo(list);
    proxy.sin_port = htons(r->Link.socksport);
    if (!RTMP_Connect0(r, reinterpret_cast<sockaddr *>(&proxy))) {
        *detailed = TAVREL_CONNECT_UNREACHABLE;
        return false;
    }
    return true;
}

bool dial(RTMP *r, const char *host, const LinkPlan &plan, int *detailed)
{
    if (r->Link.socksport)
        return dial_socks(r, detailed);
    const Dialer dialer = plan.dialer ? *plan.dialer : Dialer{dial_host, nullptr};
    const int fd = dialer.dial(dialer.context, DialRequest{host, r->Link.port, link_timeout_ms(r)}, detailed);
    if (fd < 0)
        return false;
    adopt_socket(r, fd);
    return true;
}

// librtmp's handshake and connect command over the transport set up here:
// with the TLS bit of the protocol hidden, RTMP_Connect1 starts no TLS of
// its own, and reads and writes through ours. Through the HTTP tunnel its
// wait for the open's answer has no end, so that part is ours (the
// encrypted tunnel's handshake stays librtmp's).
bool rtmp_handshake(RTMP *r, int left_ms)
{
    if ((r->Link.protocol & RTMP_FEATURE_HTTP) && !(r->Link.protocol & RTMP_FEATURE_ENC)) {
        if (left_ms > 0 && tunnel_open(r, left_ms))
            return true;
        cut_link(r);
        return false;
    }
    const int protocol = r->Link.protocol;
    r->Link.protocol &= ~RTMP_FEATURE_SSL;
    const bool ok = RTMP_Connect1(r, nullptr);
    r->Link.protocol = protocol;
    return ok;
}

}  // namespace

int open_link(RTMP *r, const LinkPlan &plan)
{
    char host[NI_MAXHOST];
    if (!host_for_lookup(r->Link.hostname, host, sizeof host)) {
        RTMP_Log(RTMP_LOGERROR, "%s, no host to connect to", "connect_rtmp_w");
        return TAVREL_CONNECT_BAD_URL;
    }
    const long long start = monotonic_ms();
    int detailed = TAVREL_CONNECT_UNREACHABLE;
    if (!dial(r, host, plan, &detailed))
        return detailed;
    set_send_timeout(r);
    if (r->Link.protocol & RTMP_FEATURE_SSL) {
        const int left_ms = link_timeout_ms(r) - static_cast<int>(monotonic_ms() - start);
        detailed = left_ms > 0 ? tls_start(r, host, plan.tls, plan.trust, left_ms) : TAVREL_CONNECT_HANDSHAKE;
        if (detailed != TAVREL_CONNECT_OK) {
            cut_link(r);
            return detailed;
        }
    }
    if (!rtmp_handshake(r, link_timeout_ms(r) - static_cast<int>(monotonic_ms() - start))) {
        RTMP_Log(RTMP_LOGERROR, "%s, the RTMP handshake with %s failed", "connect_rtmp_w", host);
        return TAVREL_CONNECT_HANDSHAKE;
    }
    return TAVREL_CONNECT_OK;
}

void cut_link(RTMP *r)
{
    if (r->m_sb.sb_ssl) {
        gnutls_deinit(static_cast<gnutls_session_t>(r->m_sb.sb_ssl));
        r->m_sb.sb_ssl = nullptr;
    }
    std::free(r->m_clientID.av_val);
    r->m_clientID = AVal{nullptr, 0};
    if (r->m_sb.sb_socket >= 0) {
        ::close(r->m_sb.sb_socket);
        r->m_sb.sb_socket = -1;
    }
}

}  // namespace tavrel
