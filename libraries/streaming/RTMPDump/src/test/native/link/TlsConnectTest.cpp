// RTMPS against nginx's stream module with certificates made at test time:
// what is verified and refused, the explicit opt-out, the server name an
// SNI-routing ingest front needs, and a TLS peer that never answers.
#include "CapturedLog.h"
#include "Nginx.h"
#include "RTMPDumpUtilInternal.h"
#include "Tavrel.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

using namespace tavrel_testing;

namespace {

struct Outcome {
    int code;
    int detailed;
};

Outcome connect_once(const std::string &url)
{
    RTMP *r = nullptr;
    Outcome o = {connect_rtmp_w(url.c_str(), nullptr, nullptr, &r, &global_log_callback), 0};
    o.detailed = tavrel_last_connect_result();
    if (r)
        close_rtmp_w(r, 1);
    return o;
}

// "rtmps://localhost:PORT/live/NAME": a host name, so the server name is
// sent and the certificate's DNS name checked.
std::string by_name(const Nginx &nginx, const std::string &stream, const std::string &options)
{
    return "rtmps://localhost:" + std::to_string(nginx.tls_port()) + "/live/" + stream + options;
}

TEST(TlsConnect, OnlyAVerifiedServerGetsThePublish)
{
    const std::string ca = " tlsCAFile=" + TestCertificates::shared().ca_file();
    struct Case {
        const char *what;
        TestCert cert;
        std::string options;
        Outcome want;
        const char *logged;  // at warning or error level
    };
    const Case cases[] = {
        {"issued by the trusted CA", TestCert::kLocalhost, ca, {0, 0}, nullptr},
        {"self-signed", TestCert::kSelfSigned, ca, {-5, -5}, "unknown issuer"},
        {"for another host", TestCert::kOtherHost, ca, {-5, -5}, "host name mismatch"},
        {"expired", TestCert::kExpired, ca, {-5, -5}, "expired"},
        // librtmp's own TLS trusted ./ca.pem, which here is the test CA.
        {"the system store does not know the test CA", TestCert::kLocalhost, "", {-5, -5}, "unknown issuer"},
        {"verification turned off", TestCert::kSelfSigned, " tlsVerify=0", {0, 0}, "tlsVerify=0"},
        {"no such CA file", TestCert::kLocalhost, " tlsCAFile=/nonexistent/ca.pem", {-2, -2}, "tlsCAFile"},
    };
    TempDir cwd("cwd");
    write_file(cwd.file("ca.pem"), read_file(TestCertificates::shared().ca_file()));
    char *before = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(cwd.path().c_str()), 0);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        NginxOptions options;
        options.tls = true;
        options.certificate = c.cert;
        Nginx nginx(options);
        GlobalLogCapture capture;
        const Outcome got = connect_once(by_name(nginx, "verify", c.options));
        EXPECT_EQ(got.code, c.want.code) << capture.log.dump();
        EXPECT_EQ(got.detailed, c.want.detailed);
        if (c.logged) {
            EXPECT_TRUE(capture.log.contains(c.want.code ? 1000 : 900, c.logged)) << capture.log.dump();
        }
        const bool published = nginx.error_log().find("publish: name='verify'") != std::string::npos;
        EXPECT_EQ(published, c.want.code == 0) << nginx.error_log();
    }
    EXPECT_EQ(chdir(before), 0);
    free(before);
}

TEST(TlsConnect, AnSniFrontPassesOnlyTheRightName)
{
    NginxOptions options;
    options.tls = true;
    options.sni_name = "localhost";
    Nginx nginx(options);
    // An address is never sent as a server name: the front cannot route it.
    const Outcome by_address = connect_once(nginx.tls_url("live", "sni"));
    EXPECT_EQ(by_address.code, -3);
    EXPECT_EQ(by_address.detailed, TAVREL_CONNECT_HANDSHAKE);
    EXPECT_EQ(nginx.error_log().find("publish: name='sni'"), std::string::npos);

    const Outcome named = connect_once(by_name(nginx, "sni", " tlsCAFile=" + TestCertificates::shared().ca_file()));
    EXPECT_EQ(named.code, 0) << nginx.error_log();
    EXPECT_NE(nginx.error_log().find("publish: name='sni'"), std::string::npos);
}

// A peer that accepts the TCP connection (the kernel does, for a listener
// that never accepts) and never answers TLS: the handshake ends within the
// link's timeout.
TEST(TlsConnect, ASilentPeerEndsTheHandshakeInTime)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&addr), len), 0);
    ASSERT_EQ(::listen(fd, 8), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len), 0);
    const std::string url = "rtmps://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/live/s timeout=1";
    const Outcome unanswered = connect_once(url);
    EXPECT_EQ(unanswered.code, -3);
    EXPECT_EQ(unanswered.detailed, TAVREL_CONNECT_HANDSHAKE);
    ::close(fd);
}

}  // namespace
