// The clip published over the other ways to reach a server: IPv6 only,
// RTMPS verified against the test CA by name and over IPv6; the recording
// must hold every frame of the source.
#include "PublishFixture.h"

namespace {

tavrel_testing::NginxOptions tls_on(const std::string &host)
{
    tavrel_testing::NginxOptions options;
    options.tls = true;
    options.host = host;
    return options;
}

// nginx listens on [::1] alone: nothing reaches it over IPv4.
class Ipv6Publish : public PublishFixture {
public:
    Ipv6Publish() : PublishFixture(tls_on("[::1]")) {}
};

class TlsPublish : public PublishFixture {
public:
    TlsPublish() : PublishFixture(tls_on("127.0.0.1")) {}
};

TEST_F(Ipv6Publish, PlainRtmpToABracketedAddress)
{
    const std::string url = nginx_.url("live", "v6");
    ASSERT_EQ(url.rfind("rtmp://[::1]:", 0), 0u);
    RTMPDumpCtx *ctx = connect(url, 0);
    ASSERT_NE(ctx, nullptr) << log_.dump();
    EXPECT_EQ(std::string(ctx->rtmp->Link.hostname.av_val, ctx->rtmp->Link.hostname.av_len), "[::1]");
    publish_clip_and_check_recording(ctx, VideoForm::kNalusStripped, "v6");
}

TEST_F(Ipv6Publish, RtmpsToABracketedAddress)
{
    RTMPDumpCtx *ctx = connect(nginx_.tls_url("live", "v6tls"), 1);
    ASSERT_NE(ctx, nullptr) << log_.dump();
    EXPECT_NE(ctx->rtmp->m_sb.sb_ssl, nullptr);
    publish_clip_and_check_recording(ctx, VideoForm::kNalusStripped, "v6tls");
}

TEST_F(TlsPublish, RtmpsByNameWithTheTestCa)
{
    const std::string url = "rtmps://localhost:" + std::to_string(nginx_.tls_port()) + "/live/named tlsCAFile=" +
                            tavrel_testing::TestCertificates::shared().ca_file();
    RTMPDumpCtx *ctx = connect(url, 0);
    ASSERT_NE(ctx, nullptr) << log_.dump();
    publish_clip_and_check_recording(ctx, VideoForm::kNalusStripped, "named");
}

}  // namespace
