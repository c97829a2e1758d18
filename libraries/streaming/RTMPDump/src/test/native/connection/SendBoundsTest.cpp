// The send bound of a context: a send to a server that stopped reading ends
// within it as a lost connection, in both output modes, and the bound holds
// on the connection a full reconnection makes.
#include "ChallengeServer.h"
#include "Tavrel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

using tavrel_testing::ChallengeServer;
using tavrel_testing::ChallengeServerOptions;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBoundMs = 500;
// What may come on top of the bound: the writer's last poll, scheduling on
// a shared machine.
constexpr int kSlackMs = 1500;

// Sends 64 KiB frames until one fails (far more than any socket buffers
// hold); that send's result and how long it took.
struct Stall {
    int result;
    long long took_ms;
    int frames;
};

Stall send_until_it_fails(RTMPDumpCtx *ctx)
{
    std::vector<uint8_t> frame(64 * 1024, 0x21);  // a referenced slice, stripped: one length prefix is added
    NALUPayload payload = {};
    payload.data = frame.data();
    payload.len = static_cast<int>(frame.size());
    payload.timebase_num = 1;
    payload.timebase_den = 1000;
    payload.is_stripped = 1;
    Stall s = {RTMPERR_OK, 0, 0};
    for (; s.frames < 5000 && s.result == RTMPERR_OK; s.frames++) {
        payload.pts = payload.dts = s.frames * 33;
        const auto start = Clock::now();
        s.result = tavrel_send_h264_nalu_payload(ctx, &payload);
        s.took_ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    }
    return s;
}

TEST(SendBounds, ASendThatTheNetworkDoesNotTakeEndsWithinTheBoundAsALostConnection)
{
    ChallengeServerOptions options;
    options.auth = "none";
    options.stall_after_publish = true;
    ChallengeServer server(options);
    for (int use_rtmp_write : {0, 1}) {
        SCOPED_TRACE(use_rtmp_write ? "FLV-write mode" : "packet mode");
        RTMPDumpCtx *ctx = tavrel_connect(server.url("live", "stuck").c_str(), nullptr, nullptr, use_rtmp_write, 0,
                                          0, 0, 1024, 64 * 1024, nullptr);
        ASSERT_NE(ctx, nullptr);
        ASSERT_EQ(tavrel_set_send_timeout(ctx, kBoundMs), RTMPERR_OK);
        ASSERT_EQ(tavrel_set_unsent_limit(ctx, 16 * 1024), RTMPERR_OK);
        // Each connection the context makes has the bound: the first, and the
        // one a full reconnection puts in its place.
        for (int connection = 1; connection <= 2; connection++) {
            SCOPED_TRACE("connection " + std::to_string(connection));
            Stall s = send_until_it_fails(ctx);
            EXPECT_EQ(s.result, RTMPERR_NEEDS_TO_RECONNECT) << "after " << s.frames << " frames";
            EXPECT_LE(s.took_ms, kBoundMs + kSlackMs);
            std::printf("send bound %d ms: the stalled send ended after %lld ms\n", kBoundMs, s.took_ms);
            if (connection == 1) {
                ASSERT_EQ(tavrel_reconnect_full(&ctx), RTMP_CONN_CONNECTED);
            }
        }
        tavrel_close(ctx);
    }
}

TEST(SendBounds, BadArgumentsAreRefused)
{
    EXPECT_EQ(tavrel_set_send_timeout(nullptr, 1000), RTMPERR_DISCONNECTED);
    EXPECT_EQ(tavrel_set_unsent_limit(nullptr, 1000), RTMPERR_DISCONNECTED);
    ChallengeServerOptions options;
    options.auth = "none";
    ChallengeServer server(options);
    RTMPDumpCtx *ctx =
        tavrel_connect(server.url("live", "s").c_str(), nullptr, nullptr, 0, 0, 0, 0, 1024, 1024, nullptr);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(tavrel_set_send_timeout(ctx, -1), RTMPERR_INVALID_BUFF);
    EXPECT_EQ(tavrel_set_unsent_limit(ctx, -1), RTMPERR_INVALID_BUFF);
    EXPECT_EQ(tavrel_set_send_timeout(ctx, 0), RTMPERR_OK);  // no bound again
    EXPECT_EQ(tavrel_set_unsent_limit(ctx, 0), RTMPERR_OK);  // the kernel's own
    tavrel_close(ctx);
}

}  // namespace
