// RTMPS against nginx's stream module with certificates made at test time:
// what is verified and refused, the explicit opt-out, the server name an
// SNI-routing ingest front needs, and TLS peers that misbehave.
#include "CapturedLog.h"
#include "Nginx.h"
#include "RTMPDumpUtilInternal.h"
#include "Tavrel.h"

#include <gtest/gtest.h>

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
        {"the system store does not know the test CA", TestCert::kLocalhost, "", {-5, -5}, "unknown issuer"},
        {"verification turned off", TestCert::kSelfSigned, " tlsVerify=0", {0, 0}, "tlsVerify=0"},
        {"no such CA file", TestCert::kLocalhost, " tlsCAFile=/nonexistent/ca.pem", {-2, -2}, "tlsCAFile"},
    };
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
}

// librtmp's TLS took its trust anchors from ./ca.pem; ours never does.
TEST(TlsConnect, ACaFileInTheWorkingDirectoryIsNotTrusted)
{
    NginxOptions options;
    options.tls = true;
    Nginx nginx(options);
    TempDir cwd("cwd");
    write_file(cwd.file("ca.pem"), read_file(TestCertificates::shared().ca_file()));
    char *before = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(cwd.path().c_str()), 0);
    const Outcome got = connect_once(by_name(nginx, "cwd", ""));
    ASSERT_EQ(chdir(before), 0);
    free(before);
    EXPECT_EQ(got.code, -5);
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

// A loopback listener and the rtmps URL of its port.
int listen_loopback(std::string *url)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0 || ::listen(fd, 8) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        ADD_FAILURE() << "no listener";
    *url = "rtmps://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/live/s timeout=1";
    return fd;
}

// Peers that accept the TCP connection and then fail TLS: the handshake
// ends within the link's timeout.
TEST(TlsConnect, APeerThatFailsTheHandshakeEndsTheConnect)
{
    // Never accepted: the kernel completes the connection, nobody answers.
    std::string silent_url;
    const int silent = listen_loopback(&silent_url);
    const Outcome unanswered = connect_once(silent_url);
    EXPECT_EQ(unanswered.code, -3);
    EXPECT_EQ(unanswered.detailed, TAVREL_CONNECT_HANDSHAKE);
    ::close(silent);

    // Accepted and answered with bytes that are no TLS record.
    std::string junk_url;
    const int listener = listen_loopback(&junk_url);
    std::thread peer([listener] {
        int fd = ::accept(listener, nullptr, nullptr);
        const char junk[] = "RTMP is not TLS, and neither is this.";
        (void)!::write(fd, junk, sizeof junk);
        ::close(fd);
    });
    const Outcome junk = connect_once(junk_url);
    peer.join();
    EXPECT_EQ(junk.code, -3);
    EXPECT_EQ(junk.detailed, TAVREL_CONNECT_HANDSHAKE);
    ::close(listener);
}

}  // namespace
