// End to end: FFmpeg's clip published through the C API to nginx, then
// read back from nginx's recording (or live, as a subscriber) by ffprobe
// and FFmpeg.
#include "PublishFixture.h"

using namespace tavrel_testing;

namespace {

using Publish = PublishFixture;

TEST_F(Publish, WholeClipInPacketModeIsRecordedFrameForFrame)
{
    RTMPDumpCtx *ctx = connect(nginx_.url("live", "packet"), 0);
    ASSERT_NE(ctx, nullptr) << nginx_.error_log();
    publish_clip_and_check_recording(ctx, VideoForm::kNalusStripped, "packet");
}

TEST_F(Publish, WholeClipInFlvWriteModeIsRecordedFrameForFrame)
{
    RTMPDumpCtx *ctx = connect(nginx_.url("live", "flvwrite"), 1);
    ASSERT_NE(ctx, nullptr) << nginx_.error_log();
    publish_clip_and_check_recording(ctx, VideoForm::kPayloadPrefixed, "flvwrite");
}

// What a subscriber of the `meta` application (meta copy) is told: ffprobe
// reads the stream live while it is being published.
TEST_F(Publish, SubscriberReceivesThePublishersMetadata)
{
    std::string out_path = nginx_.record_dir() + "/probe.json";
    Process probe({"ffprobe", "-v", "error", "-show_format", "-show_streams", "-of", "json",
                   nginx_.url("meta", "m")},
                  out_path);
    bool playing = false;
    for (int i = 0; i < 200 && !playing; i++) {
        playing = nginx_.error_log().find("play: name='m'") != std::string::npos;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ASSERT_TRUE(playing) << nginx_.error_log();
    RTMPDumpCtx *ctx = connect(nginx_.url("meta", "m"), 0);
    ASSERT_NE(ctx, nullptr);
    PublishCounts c = publish(ctx, *src_, VideoForm::kNalusPrefixed, 0, 200);
    EXPECT_EQ(c.failed, 0) << c.first_error;
    EXPECT_EQ(probe.wait(20000), 0) << read_file(out_path);
    tavrel_close(ctx);
    // FFmpeg's FLV reader turns the data rates (kbit/s) into bit rates,
    // the frame rate into the stream's average, and keeps the keys it does
    // not know as tags.
    std::string json = read_file(out_path);
    for (const char *want : {"\"bit_rate\": \"2401280\"", "\"bit_rate\": \"101376\"",
                             "\"avg_frame_rate\": \"30/1\"", "\"fileSize\": \"0\"", "\"audiochannels\": \"2\"",
                             "\"width\": 1280", "\"height\": 720"})
        EXPECT_NE(json.find(want), std::string::npos) << want << " in\n" << json;
}

}  // namespace
