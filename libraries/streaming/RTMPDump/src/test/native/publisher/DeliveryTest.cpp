// Nothing lost at the end of a publish: FFmpeg's own RTMP server, which
// reads more slowly than we send, records every frame of an unpaced
// 6 Mbit/s publish once the close lets it finish; nginx with a small
// acknowledgement window acknowledges every byte we wrote.
#include "CaseName.h"
#include "PublishFixture.h"

#include <chrono>
#include <thread>

namespace {

using tavrel_testing::Process;
using tavrel_testing::TempDir;

// The whole clip each time: twice per mode here; the delivery figure in
// the README comes from more rounds (--gtest_repeat).
constexpr int kRounds = 2;
constexpr int kCloseTimeoutMs = 10000;  // a loaded machine; the default 3 s suffices on an idle one

struct ModeCase {
    const char *what;
    int use_rtmp_write;
    bool tls = false;  // RTMPS through nginx's stream module
};

const ModeCase kModes[] = {{"packet mode", 0}, {"FLV-write mode", 1}};
const ModeCase kAckModes[] = {{"packet mode", 0}, {"FLV-write mode", 1}, {"packet mode over TLS", 0, true}};

class Delivery : public ::testing::TestWithParam<ModeCase> {
public:
    static void SetUpTestSuite()
    {
        signal(SIGPIPE, SIG_IGN);
        src_ = new SourceClip(load_source(tavrel_testing::heavy_clip()));
    }
    static void TearDownTestSuite()
    {
        delete src_;
        src_ = nullptr;
    }

protected:
    // A failed connect leaves the logger reference with the caller.
    RTMPDumpCtx *connect(const std::string &url)
    {
        Logger *logger = logger_retain(log_.logger);
        RTMPDumpCtx *ctx = tavrel_connect(url.c_str(), nullptr, nullptr, GetParam().use_rtmp_write, 0, 0, 0,
                                          kAudioMax, kVideoMax, logger);
        if (!ctx)
            logger_release(logger);
        return ctx;
    }

    static inline SourceClip *src_ = nullptr;
    CapturedLog log_;
};

uint64_t written(RTMPDumpCtx *ctx)
{
    uint64_t bytes = 0;
    EXPECT_EQ(tavrel_bytes_written(ctx, &bytes), RTMPERR_OK);
    return bytes;
}

uint64_t acked(RTMPDumpCtx *ctx)
{
    uint64_t bytes = 0;
    EXPECT_EQ(tavrel_bytes_acked(ctx, &bytes), RTMPERR_OK);
    return bytes;
}

TEST_P(Delivery, FfmpegListenerRecordsEveryFrame)
{
    for (int round = 0; round < kRounds && !HasFailure(); round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        TempDir dir("delivery");
        const int port = tavrel_testing::free_port();
        const std::string url = "rtmp://127.0.0.1:" + std::to_string(port) + "/live/x";
        const std::string out = dir.file("out.flv");
        Process ffmpeg({"ffmpeg", "-nostdin", "-v", "error", "-listen", "1", "-i", url, "-c", "copy", "-f", "flv", out},
                       dir.file("ffmpeg.log"));
        // FFmpeg takes one connection: no probe of the port before ours.
        RTMPDumpCtx *ctx = nullptr;
        for (int i = 0; i < 200 && !ctx; i++) {
            ctx = connect(url);
            if (!ctx)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ASSERT_NE(ctx, nullptr) << tavrel_testing::read_file(dir.file("ffmpeg.log"));
        ASSERT_EQ(tavrel_set_close_timeout(ctx, kCloseTimeoutMs), RTMPERR_OK);

        PublishCounts c = publish(ctx, *src_, VideoForm::kNalusStripped);
        EXPECT_EQ(c.failed, 0) << "first error " << c.first_error;
        EXPECT_EQ(tavrel_finish(ctx), RTMPERR_OK) << "FFmpeg closes once it has read everything";
        tavrel_close(ctx);
        ASSERT_EQ(ffmpeg.wait(30000), 0) << tavrel_testing::read_file(dir.file("ffmpeg.log"));
        expect_recording_matches(*src_, out);
    }
}

class NginxAcks : public Delivery {};

// nginx acknowledges whenever it has read the window we announced (its own
// ack_window, echoed) since the last time: with a window of one byte, after
// every read, the last one included.
TEST_P(NginxAcks, AckedRiseAndEqualWrittenAfterFinish)
{
    tavrel_testing::NginxOptions options;
    options.ack_window = 1;
    options.tls = GetParam().tls;
    tavrel_testing::Nginx nginx(options);
    RTMPDumpCtx *ctx = connect(options.tls ? nginx.tls_url("sink", "acked") : nginx.url("sink", "acked"));
    ASSERT_NE(ctx, nullptr) << nginx.error_log();
    // nginx reads at most a chunk at a time: an acknowledgement per 128
    // bytes would be more than the point needs.
    ASSERT_EQ(tavrel_set_chunk_size(ctx, 4096), RTMPERR_OK);

    const size_t quarter = src_->frames.size() / 4;
    uint64_t last_acked = 0;
    for (size_t q = 0; q < 4; q++) {
        const size_t to = q == 3 ? src_->frames.size() : (q + 1) * quarter;
        PublishCounts c = publish(ctx, *src_, VideoForm::kNalusStripped, q * quarter, to, q == 0);
        ASSERT_EQ(c.failed, 0) << "first error " << c.first_error;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_EQ(tavrel_poll(ctx), RTMPERR_OK);
        const uint64_t now = acked(ctx);
        EXPECT_GT(now, last_acked) << "quarter " << q;
        last_acked = now;
    }
    EXPECT_EQ(tavrel_finish(ctx), RTMPERR_OK);
    // Over TLS the front (nginx's stream proxy) ends both of its sides when
    // ours is shut, so the last acknowledgements may not come back; and the
    // written figure counts from the publish there.
    if (!GetParam().tls) {
        EXPECT_EQ(acked(ctx), written(ctx));
    }
    EXPECT_GT(written(ctx), uint64_t(src_->clip.seconds) * 6000000 / 8 / 2) << "about the clip's size";
    tavrel_close(ctx);
}

INSTANTIATE_TEST_SUITE_P(Modes, Delivery, ::testing::ValuesIn(kModes), tavrel_testing::CaseName());
INSTANTIATE_TEST_SUITE_P(Modes, NginxAcks, ::testing::ValuesIn(kAckModes), tavrel_testing::CaseName());

}  // namespace
