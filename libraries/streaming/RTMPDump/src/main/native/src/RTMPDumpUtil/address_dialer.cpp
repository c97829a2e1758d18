// Name resolution and the staggered connection attempts.
#include "RTMPDumpUtil/address_dialer.h"

#include "Tavrel.h"

#include <librtmp/log.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace tavrel {

namespace {

// An address as text for the log: "[::1]:1935", "127.0.0.1:1935".
void address_text(const SocketAddress &a, char *buf, size_t size)
{
    char host[INET6_ADDRSTRLEN] = "?";
    unsigned port = 0;
    if (a.addr.ss_family == AF_INET6) {
        const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(&a.addr);
        inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
        port = ntohs(v6->sin6_port);
        std::snprintf(buf, size, "[%s]:%u", host, port);
        return;
    }
    const auto *v4 = reinterpret_cast<const sockaddr_in *>(&a.addr);
    inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
    std::snprintf(buf, size, "%s:%u", host, ntohs(v4->sin_port));
}

// The host's addresses with the families taken in turn, the first answer's
// family first (RFC 8305): a broken IPv6 path then costs one head start,
// not one per IPv6 address. The count, or 0 with *detailed set.
size_t resolve(const DialRequest &request, SocketAddress *out, size_t max, int *detailed)
{
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    char port[8];
    std::snprintf(port, sizeof port, "%u", static_cast<unsigned>(request.port));
    addrinfo *list = nullptr;
    const int rc = getaddrinfo(request.host, port, &hints, &list);
    if (rc != 0 || !list) {
        RTMP_Log(RTMP_LOGERROR, "%s, cannot resolve %s: %s", "connect_rtmp_w", request.host,
                 rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc));
        *detailed = TAVREL_CONNECT_DNS;
        return 0;
    }
    const int first_family = list->ai_family;
    size_t n = 0;
    const addrinfo *next_of[2] = {list, list};  // [0]: the first family, [1]: the others
    for (int turn = 0; n < max; turn ^= 1) {
        const addrinfo *&ai = next_of[turn];
        while (ai && ((ai->ai_family == first_family) != (turn == 0) || ai->ai_addrlen > sizeof(sockaddr_storage)))
            ai = ai->ai_next;
        if (!ai) {
            if (!next_of[turn ^ 1])
                break;
            continue;
        }
        std::memcpy(&out[n].addr, ai->ai_addr, ai->ai_addrlen);
        out[n++].len = ai->ai_addrlen;
        ai = ai->ai_next;
    }
    freeaddrinfo(list);
    if (n == 0) {
        RTMP_Log(RTMP_LOGERROR, "%s, no address for %s", "connect_rtmp_w", request.host);
        *detailed = TAVREL_CONNECT_DNS;
    }
    return n;
}

struct Attempt {
    int fd;
    size_t index;
};

// Starts a non-blocking connect: its socket, -1 when it failed at once.
// *is_connected when it is already up.
int start_attempt(const SocketAddress &a, bool *is_connected, int *last_errno)
{
    const int fd = ::socket(a.addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        *last_errno = errno;
        return -1;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&a.addr), a.len) == 0) {
        *is_connected = true;
        return fd;
    }
    if (errno == EINPROGRESS)
        return fd;
    *last_errno = errno;
    ::close(fd);
    return -1;
}

void log_failed(const SocketAddress &a, int err)
{
    char text[INET6_ADDRSTRLEN + 16];
    address_text(a, text, sizeof text);
    RTMP_Log(RTMP_LOGDEBUG, "%s, %s: %s", "connect_rtmp_w", text, std::strerror(err));
}

int make_blocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0)
        return fd;
    ::close(fd);
    return -1;
}

// Reaps the attempts that poll reported: the connected socket, or -1 when
// none has connected (failed ones are closed and taken out).
int reap(Attempt *attempts, pollfd *polled, size_t *in_flight, const SocketAddress *addrs, int *last_errno)
{
    size_t kept = 0;
    int winner = -1;
    for (size_t i = 0; i < *in_flight; i++) {
        int err = 0;
        socklen_t len = sizeof err;
        if (winner < 0 && polled[i].revents) {
            if (::getsockopt(attempts[i].fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                err = errno;
            if (err == 0) {
                winner = attempts[i].fd;
                continue;
            }
            if (err != EINPROGRESS && err != EALREADY) {
                log_failed(addrs[attempts[i].index], err);
                *last_errno = err;
                ::close(attempts[i].fd);
                continue;
            }
        }
        attempts[kept++] = attempts[i];
    }
    *in_flight = kept;
    return winner;
}

void close_all(Attempt *attempts, size_t count)
{
    for (size_t i = 0; i < count; i++)
        ::close(attempts[i].fd);
}

}  // namespace

long long monotonic_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int connect_first(const SocketAddress *addrs, size_t count, int stagger_ms, int timeout_ms, int *last_errno)
{
    Attempt attempts[kMaxAddresses];
    pollfd polled[kMaxAddresses];
    size_t in_flight = 0;
    size_t next = 0;
    count = count < kMaxAddresses ? count : kMaxAddresses;
    *last_errno = ETIMEDOUT;
    const long long deadline = monotonic_ms() + timeout_ms;
    long long next_start = 0;
    for (;;) {
        long long now = monotonic_ms();
        while (next < count && (in_flight == 0 || now >= next_start)) {
            bool is_connected = false;
            const int fd = start_attempt(addrs[next], &is_connected, last_errno);
            if (fd < 0)
                log_failed(addrs[next], *last_errno);
            if (is_connected) {
                close_all(attempts, in_flight);
                return make_blocking(fd);
            }
            if (fd >= 0) {
                attempts[in_flight++] = Attempt{fd, next};
                next_start = now + stagger_ms;
            }
            next++;
        }
        if (in_flight == 0)
            return -1;
        if (now >= deadline) {
            close_all(attempts, in_flight);
            *last_errno = ETIMEDOUT;
            return -1;
        }
        const long long wake = next < count && next_start < deadline ? next_start : deadline;
        for (size_t i = 0; i < in_flight; i++)
            polled[i] = pollfd{attempts[i].fd, POLLOUT, 0};
        const int ready = ::poll(polled, in_flight, static_cast<int>(wake > now ? wake - now : 0));
        if (ready < 0 && errno != EINTR) {
            *last_errno = errno;
            close_all(attempts, in_flight);
            return -1;
        }
        if (ready <= 0)
            continue;
        const size_t before = in_flight;
        const int winner = reap(attempts, polled, &in_flight, addrs, last_errno);
        if (winner >= 0) {
            close_all(attempts, in_flight);
            return make_blocking(winner);
        }
        if (in_flight < before)
            next_start = monotonic_ms();  // a failure hands over at once
    }
}

int dial_host(void *, const DialRequest &request, int *detailed)
{
    SocketAddress addrs[kMaxAddresses];
    const size_t count = resolve(request, addrs, kMaxAddresses, detailed);
    if (count == 0)
        return -1;
    int last_errno = 0;
    const int fd = connect_first(addrs, count, kStaggerMs, request.timeout_ms, &last_errno);
    if (fd < 0) {
        RTMP_Log(RTMP_LOGERROR, "%s, could not connect to %s port %u (%zu address%s): %s", "connect_rtmp_w",
                 request.host, static_cast<unsigned>(request.port), count, count == 1 ? "" : "es",
                 std::strerror(last_errno));
        *detailed = TAVREL_CONNECT_UNREACHABLE;
    }
    return fd;
}

}  // namespace tavrel
