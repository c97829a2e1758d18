// The staggered attempts over real loopback sockets: an address that
// refuses hands over at once, one that never answers after its head start,
// and the winner is the address that accepted.
#include "RTMPDumpUtilInternal.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace tavrel;

namespace {

SocketAddress loopback(int family, int port)
{
    SocketAddress a = {};
    if (family == AF_INET6) {
        auto *v6 = reinterpret_cast<sockaddr_in6 *>(&a.addr);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_loopback;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        a.len = sizeof *v6;
    } else {
        auto *v4 = reinterpret_cast<sockaddr_in *>(&a.addr);
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        v4->sin_port = htons(static_cast<uint16_t>(port));
        a.len = sizeof *v4;
    }
    return a;
}

int port_of(int fd, bool peer)
{
    sockaddr_storage ss = {};
    socklen_t len = sizeof ss;
    if ((peer ? getpeername(fd, reinterpret_cast<sockaddr *>(&ss), &len)
              : getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len)) != 0)
        return -1;
    return ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port
                                          : reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
}

// A listening socket on loopback. A stalled one has a full accept queue:
// the kernel drops further SYNs, so a connect to it never completes, as to
// a filtered port.
class Listener {
public:
    Listener(int family, bool stalled) : fd_(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        SocketAddress a = loopback(family, 0);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr *>(&a.addr), a.len), 0);
        EXPECT_EQ(::listen(fd_, stalled ? 0 : 8), 0);
        port_ = port_of(fd_, false);
        if (stalled) {
            filler_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
            SocketAddress to = loopback(family, port_);
            EXPECT_EQ(::connect(filler_, reinterpret_cast<sockaddr *>(&to.addr), to.len), 0);
        }
    }
    ~Listener()
    {
        ::close(fd_);
        if (filler_ >= 0)
            ::close(filler_);
    }
    int port() const { return port_; }
    int fd() const { return fd_; }

private:
    int fd_;
    int filler_ = -1;
    int port_ = 0;
};

// A port on which nothing listens: connects to it are refused.
int closed_port(int family)
{
    Listener gone(family, false);
    return gone.port();
}

TEST(AddressDialer, TheFirstAddressThatAnswersWins)
{
    Listener good4(AF_INET, false);
    Listener good6(AF_INET6, false);
    Listener stalled(AF_INET, true);
    const int refused = closed_port(AF_INET);
    struct Case {
        const char *what;
        std::vector<SocketAddress> addrs;
        int want_port;  // -1: none connects
        int want_errno;
    };
    const Case cases[] = {
        {"one address", {loopback(AF_INET6, good6.port())}, good6.port(), 0},
        {"first refuses", {loopback(AF_INET, refused), loopback(AF_INET6, good6.port())}, good6.port(), 0},
        {"first never answers", {loopback(AF_INET, stalled.port()), loopback(AF_INET, good4.port())}, good4.port(), 0},
        {"two dead, then one", {loopback(AF_INET, stalled.port()), loopback(AF_INET6, closed_port(AF_INET6)),
                                loopback(AF_INET, good4.port())}, good4.port(), 0},
        {"all refuse", {loopback(AF_INET, refused), loopback(AF_INET6, closed_port(AF_INET6))}, -1, ECONNREFUSED},
        {"none answers in time", {loopback(AF_INET, stalled.port())}, -1, ETIMEDOUT},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        int err = 0;
        // Without the head start, an address that never answers would take
        // the whole time allowed and the next one would never be tried.
        const int fd = connect_first(c.addrs.data(), c.addrs.size(), kStaggerMs, 2000, &err);
        if (c.want_port < 0) {
            EXPECT_EQ(fd, -1);
            EXPECT_EQ(err, c.want_errno);
            continue;
        }
        ASSERT_GE(fd, 0) << std::strerror(err);
        EXPECT_EQ(port_of(fd, true), c.want_port);
        EXPECT_FALSE(fcntl(fd, F_GETFL) & O_NONBLOCK);
        ::close(fd);
    }
}

// One HTTP request of the tunnel as the server reads it (headers and the
// body they announce), or "" when the client went away.
std::string read_request(int fd)
{
    std::string in;
    char buf[4096];
    for (;;) {
        const size_t end = in.find("\r\n\r\n");
        if (end != std::string::npos) {
            const size_t at = in.find("Content-length: ");
            const size_t body = at == std::string::npos ? 0 : std::stoul(in.substr(at + 16));
            if (in.size() >= end + 4 + body)
                return in;
        }
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            return "";
        in.append(buf, size_t(n));
    }
}

// The HTTP tunnel goes through the same address loop: its requests reach a
// server on [::1] and name the host as the URL wrote it. The server opens
// the tunnel, then refuses the handshake.
TEST(AddressDialer, TheTunnelReachesAnIpv6Host)
{
    Listener server(AF_INET6, false);
    std::string open_request;
    std::thread peer([&] {
        const int fd = ::accept(server.fd(), nullptr, nullptr);
        open_request = read_request(fd);
        const char opened[] = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nabcd\n";
        (void)!::write(fd, opened, sizeof opened - 1);
        read_request(fd);
        const char refused[] = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
        (void)!::write(fd, refused, sizeof refused - 1);
        while (!read_request(fd).empty()) {
        }
        ::close(fd);
    });
    const std::string host = "[::1]:" + std::to_string(server.port());
    const std::string url = "rtmpt://" + host + "/live/s timeout=2";
    RTMP *r = nullptr;
    EXPECT_EQ(connect_rtmp_w(url.c_str(), nullptr, nullptr, &r, nullptr), -3);
    peer.join();
    EXPECT_EQ(open_request.rfind("POST /open/1 HTTP/1.1\r\n", 0), 0u) << open_request;
    EXPECT_NE(open_request.find("Host: " + host + "\r\n"), std::string::npos) << open_request;
}

}  // namespace
