// The TCP connection under a link: every address of the host (IPv4 and
// IPv6), tried one after another with a head start each, so that an address
// that never answers costs a fraction of a second instead of the whole
// connect time, as FFmpeg and OBS do.
#ifndef TAVREL_RTMPDUMPUTIL_ADDRESS_DIALER_H
#define TAVREL_RTMPDUMPUTIL_ADDRESS_DIALER_H

#include <sys/socket.h>

#include <cstddef>

namespace tavrel {

// What one connection of a link needs: the host to look up (no brackets),
// its port, and the time allowed.
struct DialRequest {
    const char *host;
    unsigned short port;
    int timeout_ms;
};

// Opens the connection for one request: a connected, blocking socket, or -1
// with *detailed set to a TAVREL_CONNECT_RESULT (and the reason logged).
using DialFn = int (*)(void *context, const DialRequest &request, int *detailed);

// The seam under the connect loop: the address lookup and the staggered
// attempts by default, or whatever hands in a connected descriptor (one end
// of a socket pair for a harness that plays the server).
struct Dialer {
    DialFn dial;
    void *context;
};

// The default dialer.
int dial_host(void *context, const DialRequest &request, int *detailed);

struct SocketAddress {
    sockaddr_storage addr;
    socklen_t len;
};

// The head start of each attempt over the next, as RFC 8305 suggests.
inline constexpr int kStaggerMs = 250;
// Addresses tried per connection; a host with more is rare.
inline constexpr size_t kMaxAddresses = 16;

// Tries addrs in order, starting the next one stagger_ms after the last or
// as soon as every attempt under way has failed; the first to connect wins
// and the others are dropped. A connected, blocking socket; -1 when every
// address failed or timeout_ms passed (*last_errno then tells why).
int connect_first(const SocketAddress *addrs, size_t count, int stagger_ms, int timeout_ms, int *last_errno);

// Milliseconds on the monotonic clock.
long long monotonic_ms();

}  // namespace tavrel

#endif
