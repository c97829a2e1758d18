// Outgoing chunks end to end with nginx: a stream that runs past 0xFFFFFF ms
// (4 h 40 min, where chunk headers take the extended timestamp) is recorded
// with every timestamp in both modes, at chunk sizes 128 and 4096, plain and
// through TLS; the chunk size is refused where it cannot be sent and told
// again on every new connection, so that nginx reads 4096-byte chunks.
#include "PublishFixture.h"

#include <sys/socket.h>

#include <climits>

using namespace tavrel_testing;

namespace {

// The clip starts 4 s before the extension and runs 6 s past it.
constexpr int64_t kPastExtensionMs = 0xFFFFFF - 4000;

class OutgoingChunks : public PublishFixture {
public:
    // The clip at chunk_size, past the extension, then nginx's recording
    // (which keeps the times as sent) against the source: video times and
    // sizes, audio times.
    void publish_past_extension(const Nginx &server, RTMPDumpCtx *ctx, int chunk_size, const std::string &stream)
    {
        ASSERT_NE(ctx, nullptr) << server.error_log();
        if (chunk_size != 128) {
            ASSERT_EQ(tavrel_set_chunk_size(ctx, chunk_size), RTMPERR_OK);
        }
        PublishCounts c = publish(ctx, *src_, VideoForm::kNalusStripped, 0, SIZE_MAX, true, kPastExtensionMs);
        EXPECT_EQ(c.failed, 0) << "first error " << c.first_error;
        tavrel_close(ctx);
        ASSERT_TRUE(wait_closed(stream, 1, &server)) << server.error_log();
        expect_recording_matches_source(server.recording(stream), kPastExtensionMs);
        auto want = probe_packets(src_->clip.flv, 'a');
        auto got = probe_packets(server.recording(stream), 'a');
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < got.size(); i++)
            ASSERT_EQ(got[i].dts - kPastExtensionMs, want[i].dts) << "audio packet " << i;
    }
};

TEST_F(OutgoingChunks, AStreamPastTheTimestampExtensionIsRecordedWithEveryTimestamp)
{
    struct Case {
        const char *stream;
        int use_rtmp_write;
        int chunk_size;
    };
    const Case cases[] = {
        {"ext_packet_128", 0, 128},
        {"ext_packet_4096", 0, 4096},
        {"ext_flv_write_128", 1, 128},
        {"ext_flv_write_4096", 1, 4096},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.stream);
        publish_past_extension(nginx_, connect(nginx_.url("live", c.stream), c.use_rtmp_write), c.chunk_size,
                               c.stream);
    }
    // Through TLS every message is gathered and encrypted as one.
    NginxOptions options;
    options.tls = true;
    Nginx tls(options);
    publish_past_extension(tls, connect(tls.tls_url("live", "ext_tls"), 0), 4096, "ext_tls");
}

// The clip at 4096-byte chunks on `ctx`, recorded by nginx (the `nth`
// publish of "told").
void expect_told(OutgoingChunks &t, RTMPDumpCtx *ctx, int nth)
{
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->rtmp->m_outChunkSize, 4096);
    t.publish_clip_and_check_recording(ctx, VideoForm::kNalusPrefixed, "told", nth);
}

TEST_F(OutgoingChunks, ChunkSizeIsRefusedWhereItCannotGoAndToldAgainOnEveryNewConnection)
{
    EXPECT_EQ(tavrel_set_chunk_size(nullptr, 4096), RTMPERR_DISCONNECTED);
    RTMPDumpCtx *ctx = connect(nginx_.url("live", "told"), 0);
    ASSERT_NE(ctx, nullptr) << nginx_.error_log();
    struct Refusal {
        int size;
        RTMP_CONN state;
        int result;
    };
    const Refusal refusals[] = {
        {0, RTMP_CONN_CONNECTED, RTMPERR_INVALID_BUFF},
        {INT_MIN, RTMP_CONN_CONNECTED, RTMPERR_INVALID_BUFF},
        {4096, RTMP_CONN_RECONNECTING, RTMPERR_RECONNECTING},
        {4096, RTMP_CONN_DISCONNECTED, RTMPERR_DISCONNECTED},
    };
    for (const Refusal &r : refusals) {
        force_state(ctx, r.state);
        EXPECT_EQ(tavrel_set_chunk_size(ctx, r.size), r.result) << r.size << " in state " << r.state;
        EXPECT_EQ(ctx->rtmp->m_outChunkSize, 128);
    }
    force_state(ctx, RTMP_CONN_CONNECTED);
    ASSERT_EQ(tavrel_set_chunk_size(ctx, 4096), RTMPERR_OK);

    // A new stream on the same connection.
    force_state(ctx, RTMP_CONN_DISCONNECTED);
    EXPECT_EQ(tavrel_reconnect_stream(&ctx), RTMP_CONN_CONNECTED);
    ASSERT_EQ(tavrel_get_connection_state(ctx), RTMP_CONN_CONNECTED);
    EXPECT_EQ(publish(ctx, *src_, VideoForm::kNalusPrefixed, 0, 60).failed, 0);

    // A clone connects anew once the stream is free again.
    shutdown(ctx->rtmp->m_sb.sb_socket, SHUT_RDWR);
    ASSERT_TRUE(wait_closed("told", 2));
    expect_told(*this, tavrel_reconnect_clone(ctx), 3);

    // So does the full reconnection.
    force_state(ctx, RTMP_CONN_DISCONNECTED);
    ASSERT_EQ(tavrel_reconnect_full(&ctx), RTMP_CONN_CONNECTED);
    expect_told(*this, ctx, 4);
}

}  // namespace
