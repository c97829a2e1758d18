// The context's life against a real server: connect, state, the two
// reconnections, clone and close, with nginx stopped and started under it.
#include "ChallengeServer.h"
#include "PublishFixture.h"

using namespace tavrel_testing;

namespace {

class Context : public PublishFixture {
public:
    RTMPDumpCtx *connect_max(const std::string &stream, int use_rtmp_write, uint32_t a_max, uint32_t v_max)
    {
        std::string url = nginx_.url("live", stream);
        return tavrel_connect(url.c_str(), nullptr, nullptr, use_rtmp_write, 0, 0, 0, a_max, v_max,
                              logger_retain(log_.logger));
    }

    // Sends clip frames from `from` until one fails; its code, or 0 when
    // none did.
    int send_until_failure(RTMPDumpCtx *ctx, size_t from, size_t *sent = nullptr)
    {
        for (size_t i = from; i < src_->frames.size(); i++) {
            int rc = send_frame(ctx, src_->frames[i], VideoForm::kNalusStripped, 0);
            if (rc != RTMPERR_OK)
                return rc;
            if (sent)
                ++*sent;
        }
        return RTMPERR_OK;
    }

    int count(const std::string &text) const
    {
        std::string log = nginx_.error_log();
        int n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            n++;
        return n;
    }
};

TEST_F(Context, CapacitiesComeFromTheExpectedMaxima)
{
    struct Case {
        int use_rtmp_write;
        uint32_t a_max, v_max, a_cap, v_cap;
    };
    const Case cases[] = {
        {0, 1000, 2000, 1002, 2009},
        {1, 1000, 2000, 1017, 2024},
        {0, 1024, 65536, 1026, 65545},
        {1, 1024, 65536, 1041, 65560},
        {0, 0, 0, 2, 9},
        {0, 0xFFFFFFFF, 0x7FFFFFFF, 0xFFFFFF, 0xFFFFFF},  // never more than one message holds
        {1, 0xFFFFFFFF, 0x7FFFFFFF, 0xFFFFFF + 15, 0xFFFFFF + 15},
    };
    int n = 0;
    for (const Case &c : cases) {
        RTMPDumpCtx *ctx = connect_max("cap" + std::to_string(n++), c.use_rtmp_write, c.a_max, c.v_max);
        ASSERT_NE(ctx, nullptr);
        EXPECT_EQ(ctx->a_body_max_len, c.a_cap);
        EXPECT_EQ(ctx->v_body_max_len, c.v_cap);
        EXPECT_EQ(ctx->connection_state, RTMP_CONN_CONNECTED);
        EXPECT_EQ(ctx->stream_id, ctx->rtmp->m_stream_id);
        EXPECT_EQ(ctx->a_pkt->m_nInfoField2, ctx->stream_id);
        EXPECT_EQ(ctx->v_pkt->m_nInfoField2, ctx->stream_id);
        EXPECT_NE(ctx->url, nullptr);
        tavrel_close(ctx);
    }
}

TEST_F(Context, ContextKeepsItsOwnCopyOfTheSettings)
{
    std::string url = nginx_.url("live", "copy");
    std::string user = "someone", password = "secret";
    RTMPDumpCtx *ctx = tavrel_connect(url.c_str(), user.c_str(), password.c_str(), 0, 1, 0, 0, 10, 10, nullptr);
    ASSERT_NE(ctx, nullptr);
    EXPECT_NE(ctx->url, url.c_str());
    EXPECT_STREQ(ctx->url, url.c_str());
    EXPECT_EQ(ctx->url_len, url.size());
    EXPECT_STREQ(ctx->username, "someone");
    EXPECT_EQ(ctx->password_len, 6u);
    EXPECT_EQ(ctx->is_rtmp_queue, 1);
    // The caller's texts may go right after the call.
    url.assign(url.size(), 'x');
    user.clear();
    EXPECT_EQ(send_headers(ctx, *src_, VideoForm::kNalusStripped), RTMPERR_OK);
    tavrel_close(ctx);
}

TEST_F(Context, FailedConnectionsAndNullContexts)
{
    std::string nobody = "rtmp://127.0.0.1:" + std::to_string(free_port()) + "/live/x";
    struct Case {
        const char *what;
        const char *url;
        int code;
    };
    const Case cases[] = {
        {"null URL", nullptr, -1},
        {"not a URL", "no url at all", -2},
        {"nothing listens", nobody.c_str(), -3},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(tavrel_test_connect(c.url), c.code) << c.what;
        Logger *logger = logger_retain(log_.logger);
        EXPECT_EQ(tavrel_connect(c.url, nullptr, nullptr, 0, 0, 0, 0, 10, 10, logger), nullptr) << c.what;
        logger_release(logger);  // still the caller's after a failure
    }
    EXPECT_EQ(tavrel_test_connect(nginx_.url("live", "probe").c_str()), 0);

    EXPECT_EQ(tavrel_get_connection_state(nullptr), RTMP_CONN_DISCONNECTED);
    EXPECT_EQ(tavrel_can_send(nullptr), -1);
    EXPECT_EQ(tavrel_reconnect_clone(nullptr), nullptr);
    tavrel_close(nullptr);
    RTMPDumpCtx *none = nullptr;
    EXPECT_EQ(tavrel_reconnect_stream(&none), RTMP_CONN_DISCONNECTED);
    EXPECT_EQ(tavrel_reconnect_full(&none), RTMP_CONN_DISCONNECTED);
}

TEST_F(Context, ReconnectionsLeaveAWorkingContextAlone)
{
    RTMPDumpCtx *ctx = connect_max("intact", 0, kAudioMax, kVideoMax);
    ASSERT_NE(ctx, nullptr);
    RTMPDumpCtx *before = ctx;
    int stream_id = ctx->stream_id;
    EXPECT_EQ(tavrel_reconnect_stream(&ctx), RTMP_CONN_CONNECTED);
    EXPECT_EQ(tavrel_reconnect_full(&ctx), RTMP_CONN_CONNECTED);
    EXPECT_EQ(ctx, before);
    EXPECT_EQ(ctx->stream_id, stream_id);
    EXPECT_EQ(tavrel_get_connection_state(ctx), RTMP_CONN_CONNECTED);
    EXPECT_EQ(tavrel_can_send(ctx), 1);
    EXPECT_EQ(count("publish: name='intact'"), 1);

    // Another reconnection under way: both kinds step back at once.
    force_state(ctx, RTMP_CONN_RECONNECTING);
    EXPECT_EQ(tavrel_reconnect_stream(&ctx), RTMP_CONN_RECONNECTING);
    EXPECT_EQ(tavrel_reconnect_full(&ctx), RTMP_CONN_RECONNECTING);
    EXPECT_EQ(ctx, before);
    EXPECT_EQ(tavrel_can_send(ctx), 0);
    force_state(ctx, RTMP_CONN_CONNECTED);
    tavrel_close(ctx);
}

TEST_F(Context, StreamReconnectionPublishesAgainOnTheSameConnection)
{
    RTMPDumpCtx *ctx = connect_max("again", 0, kAudioMax, kVideoMax);
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(publish(ctx, *src_, VideoForm::kNalusStripped, 0, 60).failed, 0);
    force_state(ctx, RTMP_CONN_DISCONNECTED);
    RTMPDumpCtx *before = ctx;
    EXPECT_EQ(tavrel_reconnect_stream(&ctx), RTMP_CONN_CONNECTED);
    EXPECT_EQ(ctx, before);
    EXPECT_EQ(tavrel_get_connection_state(ctx), RTMP_CONN_CONNECTED);
    EXPECT_GT(ctx->stream_id, 0);
    EXPECT_EQ(ctx->stream_id, ctx->rtmp->m_stream_id);
    EXPECT_EQ(ctx->a_pkt->m_nInfoField2, ctx->stream_id);
    EXPECT_EQ(ctx->v_pkt->m_nInfoField2, ctx->stream_id);
    EXPECT_EQ(count("publish: name='again'"), 2);
    EXPECT_EQ(count("connect: app='live'"), 1) << "the same connection";
    // The whole clip again, into the recording the new publish started.
    publish_clip_and_check_recording(ctx, VideoForm::kNalusStripped, "again", 2);
}

TEST_F(Context, ServerGoneThenBackAfterAFullReconnection)
{
    RTMPDumpCtx *ctx = connect_max("back", 0, kAudioMax, kVideoMax);
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(publish(ctx, *src_, VideoForm::kNalusStripped, 0, 30).failed, 0);
    nginx_.stop(SIGKILL);

    // The kernel takes a few writes to notice; then every send says so.
    EXPECT_EQ(send_until_failure(ctx, 30), RTMPERR_NEEDS_TO_RECONNECT);
    EXPECT_EQ(send_until_failure(ctx, 30), RTMPERR_NEEDS_TO_RECONNECT);
    EXPECT_EQ(tavrel_get_connection_state(ctx), RTMP_CONN_CONNECTED) << "sends never change the state";

    // A stream reconnection cannot help: it fails and says so in the state.
    EXPECT_EQ(tavrel_reconnect_stream(&ctx), RTMP_CONN_CONNECTED);
    EXPECT_EQ(tavrel_get_connection_state(ctx), RTMP_CONN_DISCONNECTED);
    EXPECT_EQ(ctx->stream_id, 0);
    EXPECT_EQ(tavrel_can_send(ctx), 0);
    EXPECT_EQ(send_until_failure(ctx, 30), RTMPERR_NEEDS_TO_RECONNECT) << "still attempted";

    nginx_.start();
    ASSERT_EQ(tavrel_reconnect_full(&ctx), RTMP_CONN_CONNECTED);
    EXPECT_EQ(count("publish: name='back'"), 2) << "published again, on the restarted server";
    EXPECT_EQ(tavrel_get_connection_state(ctx), RTMP_CONN_CONNECTED);
    EXPECT_EQ(tavrel_can_send(ctx), 1);
    // The capacities pass on, framing added once more (as for a clone).
    EXPECT_EQ(ctx->a_body_max_len, kAudioMax + 2 + 2);
    EXPECT_GE(ctx->v_body_max_len, kVideoMax + 9 + 9);
    publish_clip_and_check_recording(ctx, VideoForm::kNalusStripped, "back", 1);
}

TEST_F(Context, FailedFullReconnectionReleasesTheContext)
{
    RTMPDumpCtx *ctx = connect_max("gone", 1, kAudioMax, kVideoMax);
    ASSERT_NE(ctx, nullptr);
    nginx_.stop(SIGKILL);
    EXPECT_EQ(send_until_failure(ctx, 0), RTMPERR_NEEDS_TO_RECONNECT);
    // Released, with nothing left behind (the sanitizer build checks).
    EXPECT_EQ(tavrel_reconnect_full(&ctx), RTMP_CONN_DISCONNECTED);
    EXPECT_TRUE(log_.contains(900, "tavrel_reconnect_full:: the new connection failed"));
}

TEST_F(Context, CloneOfAStreamNginxAlreadyHasIsRefusedAndTheOriginGoesOn)
{
    // nginx refuses a second publisher of a name with a status librtmp
    // does not act on, so the clone waits for its receive time-out: a short
    // one, from the URL the clone copies.
    std::string url = nginx_.url("live", "origin") + " timeout=2";
    RTMPDumpCtx *ctx = tavrel_connect(url.c_str(), nullptr, nullptr, 0, 0, 0, 0, 1000, 2000,
                                      logger_retain(log_.logger));
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(tavrel_reconnect_clone(ctx), nullptr);
    EXPECT_NE(nginx_.error_log().find("already publishing"), std::string::npos);
    EXPECT_EQ(tavrel_get_connection_state(ctx), RTMP_CONN_CONNECTED);
    EXPECT_EQ(ctx->a_body_max_len, 1002u);
    EXPECT_EQ(publish(ctx, *src_, VideoForm::kNalusStripped, 0, 30).failed, 0);
    tavrel_close(ctx);
}

TEST_F(Context, CloneConnectsOnItsOwnWithTheOriginsSettings)
{
    // A server that takes any number of publishers, and demands the
    // credentials the clone has to pass on.
    ChallengeServerOptions options;
    options.auth = "adobe";
    options.users = {{"pub", "s3cret"}};
    ChallengeServer server(options);
    std::string url = server.url("live", "twice");
    CapturedLog shared;
    RTMPDumpCtx *origin =
        tavrel_connect(url.c_str(), "pub", "s3cret", 0, 0, 0, 0, 1000, 2000, logger_retain(shared.logger));
    ASSERT_NE(origin, nullptr);
    RTMPDumpCtx *clone = tavrel_reconnect_clone(origin);
    ASSERT_NE(clone, nullptr);
    EXPECT_NE(clone->rtmp, origin->rtmp);
    EXPECT_EQ(clone->logger, origin->logger);
    EXPECT_STREQ(clone->url, origin->url);
    EXPECT_STREQ(clone->username, "pub");
    // The stored capacities are passed as maxima, so framing is added again.
    EXPECT_EQ(clone->a_body_max_len, 1004u);
    EXPECT_EQ(clone->v_body_max_len, 2018u);
    EXPECT_EQ(server.events("publish").size(), 2u);

    Bytes frame = pattern(300, 1);
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(tavrel_send_aac_data(origin, frame.data(), 300, i * 23), RTMPERR_OK);
        EXPECT_EQ(tavrel_send_aac_data(clone, frame.data(), 100, i * 23), RTMPERR_OK);
    }
    // Either may go first; the shared logger lives until both have.
    tavrel_close(origin);
    EXPECT_EQ(tavrel_send_aac_data(clone, frame.data(), 100, 200), RTMPERR_OK);
    tavrel_close(clone);
    EXPECT_TRUE(shared.contains(500, "close"));
    ASSERT_TRUE(server.wait_for({"closed", "\"8\": {\"count\": 5, \"bytes\": 1510}"}));
    ASSERT_TRUE(server.wait_for({"closed", "\"8\": {\"count\": 6, \"bytes\": 612}"}));
}

TEST_F(Context, ClosingOnlySaysGoodbyeWhilePublishing)
{
    // Orderly: the stream is deleted before the connection ends.
    RTMPDumpCtx *a = connect_max("orderly", 0, 10, 10);
    ASSERT_NE(a, nullptr);
    tavrel_close(a);
    ASSERT_TRUE(wait_closed("orderly"));
    std::string log = nginx_.error_log();
    size_t pub = log.find("publish: name='orderly'");
    EXPECT_LT(log.find("deleteStream", pub), log.find("disconnect", pub));

    // Not publishing any more (a failed stream reconnection): nothing is
    // sent, but the connection is closed all the same.
    RTMPDumpCtx *b = connect_max("abrupt", 0, 10, 10);
    ASSERT_NE(b, nullptr);
    force_state(b, RTMP_CONN_DISCONNECTED);
    tavrel_close(b);
    ASSERT_TRUE(wait_closed("abrupt"));
    log = nginx_.error_log();
    pub = log.find("publish: name='abrupt'");
    EXPECT_GT(log.find("deleteStream", pub), log.find("disconnect", pub));
}

TEST_F(Context, NoDescriptorIsLeftBehindByAnyWayOfEnding)
{
    // One cycle first: whatever the libraries open once stays open.
    tavrel_close(connect_max("fd", 0, 10, 10));
    const int before = open_fds();
    for (int i = 0; i < 10; i++) {
        RTMPDumpCtx *ctx = connect_max("fd", i % 2, 10, 10);
        ASSERT_NE(ctx, nullptr);
        ASSERT_EQ(send_headers(ctx, *src_, VideoForm::kNalusStripped), RTMPERR_OK);
        tavrel_close(ctx);
    }
    for (int i = 0; i < 3; i++) {
        RTMPDumpCtx *ctx = connect_max("fd", 0, 10, 10);
        ASSERT_NE(ctx, nullptr);
        nginx_.stop(SIGKILL);
        EXPECT_EQ(send_until_failure(ctx, 0), RTMPERR_NEEDS_TO_RECONNECT);
        nginx_.start();
        if (i == 0) {
            // Closed after a failed stream reconnection.
            tavrel_reconnect_stream(&ctx);
            EXPECT_EQ(tavrel_get_connection_state(ctx), RTMP_CONN_DISCONNECTED);
        } else {
            // Replaced by a full reconnection, the new one closed.
            ASSERT_EQ(tavrel_reconnect_full(&ctx), RTMP_CONN_CONNECTED);
        }
        tavrel_close(ctx);
    }
    EXPECT_EQ(open_fds(), before);
}

}  // namespace
