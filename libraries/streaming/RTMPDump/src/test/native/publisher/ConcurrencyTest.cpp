// One audio thread and one video thread sending on one context while a
// control thread reads its state, sends metadata and republishes the stream
// under them. Run it under ThreadSanitizer (-DTAVREL_TSAN=ON).
#include "PublishFixture.h"

#include <atomic>
#include <map>
#include <mutex>

using namespace tavrel_testing;

namespace {

using Concurrency = PublishFixture;

constexpr int kRounds = 6;

TEST_F(Concurrency, MediaThreadsAndAControlThreadOnOneContext)
{
    for (int use_rtmp_write : {0, 1}) {
        SCOPED_TRACE(use_rtmp_write ? "FLV-write mode" : "packet mode");
        std::string stream = "busy" + std::to_string(use_rtmp_write);
        std::string url = nginx_.url("sink", stream);
        RTMPDumpCtx *ctx = tavrel_connect(url.c_str(), nullptr, nullptr, use_rtmp_write, 0, 0, 0, kAudioMax,
                                          kVideoMax, logger_retain(log_.logger));
        ASSERT_NE(ctx, nullptr);
        ASSERT_EQ(send_headers(ctx, *src_, VideoForm::kNalusStripped), RTMPERR_OK);

        std::mutex results_mutex;
        std::map<int, int> results;  // RTMPERR -> count, both media threads
        std::atomic<bool> stop{false};
        auto media = [&](bool video) {
            std::map<int, int> mine;
            while (!stop)
                for (size_t i = 0; i < src_->frames.size() && !stop; i++)
                    if (src_->frames[i].is_video == video) {
                        int rc = send_frame(ctx, src_->frames[i],
                                            video ? VideoForm::kNalusPrefixed : VideoForm::kNalusStripped, 0);
                        mine[rc]++;
                        if (rc == RTMPERR_RECONNECTING)  // as a caller would: wait a little
                            std::this_thread::sleep_for(std::chrono::microseconds(100));
                    }
            std::lock_guard<std::mutex> lock(results_mutex);
            for (auto &r : mine)
                results[r.first] += r.second;
        };
        std::thread audio(media, false);
        std::thread video(media, true);

        // Bounded by rounds, not by time: each round polls for a while,
        // then republishes the stream under the senders.
        int bad_state = 0, metadata_failed = 0;
        for (int round = 0; round < kRounds; round++) {
            for (int poll = 0; poll < 40; poll++) {
                RTMP_CONN state = tavrel_get_connection_state(ctx);
                int can = tavrel_can_send(ctx);
                if (state != RTMP_CONN_CONNECTED || can != 1)
                    bad_state++;
                // As the Java getters read them while the bodies grow.
                if (tavrel::load_shared(ctx->v_body_max_len) < kVideoMax ||
                    tavrel::load_shared(ctx->a_body_max_len) < kAudioMax)
                    bad_state++;
                if (poll % 10 == 0) {
                    EXPECT_EQ(tavrel_reconnect_stream(&ctx), RTMP_CONN_CONNECTED);  // intact: nothing to do
                    if (tavrel_send_metadata(ctx, 1280, 720, 1, 30, 1, 44100, 16, 2) != 1)
                        metadata_failed++;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(250));
            }
            // A real republish: the connection is up, so only a state other
            // than connected makes the reconnection act.
            force_state(ctx, RTMP_CONN_DISCONNECTED);
            EXPECT_EQ(tavrel_reconnect_stream(&ctx), RTMP_CONN_CONNECTED);
            EXPECT_EQ(tavrel_get_connection_state(ctx), RTMP_CONN_CONNECTED);
        }
        stop = true;
        audio.join();
        video.join();

        EXPECT_EQ(bad_state, 0);
        EXPECT_EQ(metadata_failed, 0);
        for (auto &r : results)
            EXPECT_TRUE(r.first == RTMPERR_OK || r.first == RTMPERR_RECONNECTING) << "result " << r.first;
        EXPECT_GT(results[RTMPERR_OK], 0);
        printf("%s: %d sends OK, %d gave way to a reconnection, %d republishes\n",
               use_rtmp_write ? "FLV-write" : "packet", results[RTMPERR_OK], results[RTMPERR_RECONNECTING],
               kRounds);
        tavrel_close(ctx);
        std::string log = nginx_.error_log();
        int publishes = 0;
        for (size_t at = log.find("name='" + stream + "'"); at != std::string::npos;
             at = log.find("name='" + stream + "'", at + 1))
            publishes++;
        EXPECT_EQ(publishes, 1 + kRounds);
    }
}

}  // namespace
