// An audio and a video thread sending on one context while a control
// thread polls its state and the server, when the server fails mid-stream: neither media
// thread blocks for good, both learn "reconnect", and the context is then
// closed cleanly. Run under ThreadSanitizer by the sanitizer job.
#include "Bounded.h"
#include "CaseName.h"
#include "Cases.h"
#include "Feed.h"
#include "MidStreamFault.h"
#include "Tavrel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

constexpr int kLimitS = 90;
constexpr int kMaxFrames = 40000;

struct Track {
    int sent = 0;
    int result = RTMPERR_OK;
};

void send_until_failure(RTMPDumpCtx *ctx, bool is_audio, Track &track)
{
    for (int i = 0; i < kMaxFrames; i++) {
        const int rc = is_audio ? hostile::send_audio_frame(ctx, i) : hostile::send_video_frame(ctx, i);
        if (rc != RTMPERR_OK) {
            track.result = rc;
            return;
        }
        track.sent++;
    }
}

class HostileThreads : public hostile::MidStreamFault {};

TEST_P(HostileThreads, BothMediaThreadsLearnToReconnect)
{
    ASSERT_EQ(hostile::send_headers(ctx), RTMPERR_OK) << server.log();

    Track audio, video;
    int polls = 0;
    hostile::run_bounded("two media threads against " + scenario, kLimitS, [&] {
        std::atomic<int> running{2};
        std::thread a([&] {
            send_until_failure(ctx, true, audio);
            running--;
        });
        std::thread v([&] {
            send_until_failure(ctx, false, video);
            running--;
        });
        // The control thread's polling, as the application's reconnect
        // loop does while the media threads are stuck or failing. At least
        // once: a fast fault may end both threads before the first look.
        do {
            EXPECT_EQ(tavrel_get_connection_state(ctx), RTMP_CONN_CONNECTED);
            EXPECT_GE(tavrel_can_send(ctx), 0);
            // The look at the server and the figures take the send lock.
            const int polled = tavrel_poll(ctx);
            EXPECT_TRUE(polled == RTMPERR_OK || polled == RTMPERR_NEEDS_TO_RECONNECT) << polled;
            uint64_t written = 0, acked = 0;
            EXPECT_EQ(tavrel_bytes_written(ctx, &written), RTMPERR_OK);
            EXPECT_EQ(tavrel_bytes_acked(ctx, &acked), RTMPERR_OK);
            polls++;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } while (running > 0);
        a.join();
        v.join();
    });
    hostile::run_bounded("tavrel_close after " + scenario, kLimitS, [&] { tavrel_close(ctx); });

    EXPECT_EQ(audio.result, RTMPERR_NEEDS_TO_RECONNECT) << "audio after " << audio.sent << " frames\n" << server.log();
    EXPECT_EQ(video.result, RTMPERR_NEEDS_TO_RECONNECT) << "video after " << video.sent << " frames\n" << server.log();
    EXPECT_GT(polls, 0);
    EXPECT_EQ(hostile::open_fds(), fds_before);
}

INSTANTIATE_TEST_SUITE_P(MidStream, HostileThreads,
                         ::testing::ValuesIn(hostile::mid_stream_faults()), tavrel_testing::CaseName());

}  // namespace
