// What an application's reconnect loop does after a mid-stream fault: a
// stream reconnection on the dead connection fails by itself (state -1), a
// full reconnection makes a new context that sends again, and the
// replaced context leaves no descriptor behind.
#include "Bounded.h"
#include "CaseName.h"
#include "Cases.h"
#include "Feed.h"
#include "MidStreamFault.h"
#include "Report.h"
#include "Tavrel.h"

#include <gtest/gtest.h>

namespace {

constexpr int kFramesAfter = 3;  // 48 KiB of video: below the server's 64 KiB limit

class HostileReconnect : public hostile::MidStreamFault {};

TEST_P(HostileReconnect, FullReconnectionSendsAgainAndLeavesNothing)
{
    hostile::FeedResult fed;
    hostile::run_bounded("sends against " + scenario, hostile::kCallLimitS,
                         [&] { fed = hostile::feed(ctx, hostile::kManySends); });
    ASSERT_EQ(fed.failed_with, RTMPERR_NEEDS_TO_RECONNECT) << server.log();

    RTMP_CONN stream_result = RTMP_CONN_CONNECTED;
    hostile::run_bounded("tavrel_reconnect_stream after " + scenario, hostile::kCallLimitS,
                         [&] { stream_result = tavrel_reconnect_stream(&ctx); });
    const RTMP_CONN state_after_stream = tavrel_get_connection_state(ctx);
    EXPECT_EQ(stream_result, RTMP_CONN_CONNECTED);
    EXPECT_EQ(state_after_stream, RTMP_CONN_DISCONNECTED)
        << "the connection is gone: a new stream on it cannot be published";
    EXPECT_EQ(hostile::send_video_frame(ctx, 0), RTMPERR_NEEDS_TO_RECONNECT);

    RTMP_CONN full_result = RTMP_CONN_DISCONNECTED;
    hostile::run_bounded("tavrel_reconnect_full after " + scenario, hostile::kCallLimitS,
                         [&] { full_result = tavrel_reconnect_full(&ctx); });
    ASSERT_EQ(full_result, RTMP_CONN_CONNECTED) << server.log();
    EXPECT_EQ(tavrel_get_connection_state(ctx), RTMP_CONN_CONNECTED);
    EXPECT_EQ(hostile::send_headers(ctx), RTMPERR_OK) << server.log();
    int frames_after = 0;
    for (int i = 0; i < kFramesAfter; i++)
        frames_after += hostile::send_video_frame(ctx, i) == RTMPERR_OK;
    EXPECT_EQ(frames_after, kFramesAfter) << server.log();
    hostile::run_bounded("tavrel_close after " + scenario, hostile::kCallLimitS, [&] { tavrel_close(ctx); });

    EXPECT_EQ(server.count(": accepted"), 2);
    EXPECT_EQ(hostile::open_fds(), fds_before) << "the replaced context's socket must be closed too";
    hostile::report_row("reconnection after a mid-stream fault",
                        "| scenario | reconnect_stream, then state | reconnect_full | sends after |",
                        "| " + scenario + " | " + std::to_string(stream_result) + ", " +
                            std::to_string(state_after_stream) + " | " + std::to_string(full_result) + " | " + std::to_string(frames_after) + " of " +
                            std::to_string(kFramesAfter) + " OK |");
}

INSTANTIATE_TEST_SUITE_P(MidStream, HostileReconnect,
                         ::testing::ValuesIn(hostile::mid_stream_faults()), tavrel_testing::CaseName());

}  // namespace
