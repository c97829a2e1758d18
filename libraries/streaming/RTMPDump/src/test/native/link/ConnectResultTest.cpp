// The detailed connect results against real peers, each beside the coarse
// code it keeps, and the dialer seam under the connect loop.
#include "CapturedLog.h"
#include "ChallengeServer.h"
#include "HostileServer.h"
#include "Nginx.h"
#include "RTMPDumpUtilInternal.h"
#include "Tavrel.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

using namespace tavrel_testing;

namespace {

struct Outcome {
    int code;
    int detailed;
    bool operator==(const Outcome &o) const { return code == o.code && detailed == o.detailed; }
};

std::ostream &operator<<(std::ostream &os, const Outcome &o)
{
    return os << "{" << o.code << ", " << o.detailed << "}";
}

Outcome connect_once(const char *url)
{
    RTMP *r = nullptr;
    Outcome o = {connect_rtmp_w(url, nullptr, nullptr, &r, &global_log_callback), tavrel_last_connect_result()};
    if (r)
        close_rtmp_w(r, 1);
    return o;
}

TEST(ConnectResult, EachFailureHasItsReason)
{
    Nginx nginx;
    const std::string taken = nginx.url("live", "taken");
    RTMP *holder = nullptr;
    ASSERT_EQ(connect_rtmp_w(taken.c_str(), nullptr, nullptr, &holder, &global_log_callback), 0);
    const std::string refused = "rtmp://127.0.0.1:" + std::to_string(free_port()) + "/live/s";
    const std::string ok = nginx.url("live", "fine");
    struct Case {
        const char *url;
        Outcome want;
    };
    const Case cases[] = {
        {nullptr, {-1, TAVREL_CONNECT_NULL_URL}},
        {"rtmp:/nohost", {-2, TAVREL_CONNECT_BAD_URL}},
        {"rtmp://[::1/live/s", {-2, TAVREL_CONNECT_BAD_URL}},
        {"rtmps://127.0.0.1/live/s tlsVerify=maybe", {-2, TAVREL_CONNECT_BAD_URL}},
        {"rtmp://no-such-host.invalid/live/s", {-3, TAVREL_CONNECT_DNS}},
        {refused.c_str(), {-3, TAVREL_CONNECT_UNREACHABLE}},
        {taken.c_str(), {-4, TAVREL_CONNECT_PUBLISH_REFUSED}},
        {ok.c_str(), {0, TAVREL_CONNECT_OK}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(connect_once(c.url), c.want) << (c.url ? c.url : "null");
    close_rtmp_w(holder, 1);
}

TEST(ConnectResult, ServersThatRefuseSayWhy)
{
    const struct {
        const char *scenario;
        Outcome want;
    } cases[] = {
        {"close-after-s0", {-3, TAVREL_CONNECT_HANDSHAKE}},
        {"error-info-missing", {-4, TAVREL_CONNECT_APP_REFUSED}},
        {"error-unknown-authmod", {-4, TAVREL_CONNECT_AUTH_FAILED}},
        {"needauth-forever-adobe", {-4, TAVREL_CONNECT_AUTH_FAILED}},
        {"publish-rejected", {-4, TAVREL_CONNECT_PUBLISH_REFUSED}},
        {"close-at-publish", {-4, TAVREL_CONNECT_NOT_PUBLISHED}},
    };
    for (const auto &c : cases) {
        HostileServer server(c.scenario);
        RTMP *r = nullptr;
        const int code = connect_rtmp_w(server.url().c_str(), "user", "pass", &r, &global_log_callback);
        EXPECT_EQ((Outcome{code, tavrel_last_connect_result()}), c.want) << c.scenario;
    }
    // Credentials demanded and none given.
    ChallengeServer challenge;
    EXPECT_EQ(connect_once(challenge.url("live", "s").c_str()), (Outcome{-4, TAVREL_CONNECT_AUTH_FAILED}));
}

TEST(ConnectResult, EachThreadKeepsItsOwn)
{
    EXPECT_EQ(tavrel_test_connect("not a url"), -2);
    std::thread other([] {
        EXPECT_EQ(tavrel_connect(nullptr, nullptr, nullptr, 0, 0, 0, 0, 10, 10, nullptr), nullptr);
        EXPECT_EQ(tavrel_last_connect_result(), TAVREL_CONNECT_NULL_URL);
    });
    other.join();
    EXPECT_EQ(tavrel_last_connect_result(), TAVREL_CONNECT_BAD_URL);
}

// What a harness that plays the server uses: the connect loop over a
// descriptor handed in, whatever the URL's host.
struct Seam {
    int port;
    int dials = 0;
};

int dial_nginx(void *context, const tavrel::DialRequest &, int *detailed)
{
    auto *seam = static_cast<Seam *>(context);
    seam->dials++;
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(seam->port));
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0)
        return fd;
    ::close(fd);
    *detailed = TAVREL_CONNECT_UNREACHABLE;
    return -1;
}

TEST(ConnectResult, TheDialerSeamHandsInTheConnection)
{
    Nginx nginx;
    Seam seam{nginx.port()};
    const tavrel::Dialer dialer = {dial_nginx, &seam};
    RTMP *r = nullptr;
    ASSERT_EQ(tavrel::connect_rtmp_via("rtmp://ingest.invalid/live/seam", nullptr, nullptr, &r, &global_log_callback,
                                       &dialer),
              0);
    EXPECT_EQ(seam.dials, 1);
    EXPECT_TRUE(r->m_bPlaying);
    close_rtmp_w(r, 1);
}

}  // namespace
