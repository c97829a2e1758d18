// End to end: FFmpeg's clip published through the C API to nginx, then
// read back from nginx's recording (or live, as a subscriber) by ffprobe
// and FFmpeg.
#include "Nginx.h"
#include "PublisherTesting.h"
#include "SourceClip.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <thread>

using namespace tavrel_testing;

namespace {

constexpr uint32_t kAudioMax = 2048;
constexpr uint32_t kVideoMax = 256 * 1024;

class Publish : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        signal(SIGPIPE, SIG_IGN);
        src_ = new SourceClip(load_source(clip()));
    }
    static void TearDownTestSuite()
    {
        delete src_;
        src_ = nullptr;
    }

    RTMPDumpCtx *connect(const std::string &url, int use_rtmp_write)
    {
        return tavrel_connect(url.c_str(), nullptr, nullptr, use_rtmp_write, 0, 0, 0, kAudioMax, kVideoMax,
                              logger_retain(log_.logger));
    }

    // nginx closes a recording when its publisher's connection ends: wait
    // for the disconnect of the connection that published `stream` the
    // `nth` time (counting from 1).
    bool wait_closed(const std::string &stream, int nth = 1)
    {
        for (int i = 0; i < 200; i++) {
            std::string log = nginx_.error_log();
            size_t at = std::string::npos;
            for (int k = 0; k < nth; k++) {
                at = log.find("publish: name='" + stream + "'", at == std::string::npos ? 0 : at + 1);
                if (at == std::string::npos)
                    break;
            }
            if (at != std::string::npos) {
                size_t star = log.rfind('*', at);
                std::string conn = log.substr(star, log.find(' ', star) - star);
                if (log.find(conn + " disconnect", at) != std::string::npos)
                    return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    void expect_recording_matches_source(const std::string &path)
    {
        auto streams = probe_streams(path);
        ASSERT_EQ(streams.size(), 2u);
        for (const auto &s : streams) {
            if (s.codec_type == "video") {
                EXPECT_EQ(s.codec_name, "h264");
                EXPECT_EQ(s.width, 1280);
                EXPECT_EQ(s.height, 720);
            } else {
                EXPECT_EQ(s.codec_type, "audio");
                EXPECT_EQ(s.codec_name, "aac");
                EXPECT_EQ(s.sample_rate, 44100);
                EXPECT_EQ(s.channels, 2);
            }
        }
        auto want = probe_packets(src_->clip.flv, 'v');
        auto got = probe_packets(path, 'v');
        ASSERT_EQ(got.size(), want.size());
        ASSERT_EQ(want.size(), src_->num_video);
        for (size_t i = 0; i < got.size(); i++) {
            SCOPED_TRACE("video packet " + std::to_string(i));
            EXPECT_EQ(got[i].pts, want[i].pts);
            EXPECT_EQ(got[i].dts, want[i].dts);
            EXPECT_EQ(got[i].size, want[i].size);
            EXPECT_EQ(got[i].key, want[i].key);
            if (HasFailure())
                break;
        }
        EXPECT_EQ(probe_packets(path, 'a').size(), src_->num_audio);
        EXPECT_EQ(decode_errors(path), "");
    }

    static SourceClip *src_;
    CapturedLog log_;
    Nginx nginx_;
};

SourceClip *Publish::src_ = nullptr;

TEST_F(Publish, WholeClipInPacketModeIsRecordedFrameForFrame)
{
    RTMPDumpCtx *ctx = connect(nginx_.url("live", "packet"), 0);
    ASSERT_NE(ctx, nullptr) << nginx_.error_log();
    PublishCounts c = publish(ctx, *src_, VideoForm::kNalusStripped);
    EXPECT_EQ(c.failed, 0) << "first error " << c.first_error;
    EXPECT_EQ(static_cast<size_t>(c.ok), src_->frames.size());
    tavrel_close(ctx);
    ASSERT_TRUE(wait_closed("packet", 1)) << nginx_.error_log();
    expect_recording_matches_source(nginx_.recording("packet"));
}

TEST_F(Publish, WholeClipInFlvWriteModeIsRecordedFrameForFrame)
{
    RTMPDumpCtx *ctx = connect(nginx_.url("live", "flvwrite"), 1);
    ASSERT_NE(ctx, nullptr) << nginx_.error_log();
    PublishCounts c = publish(ctx, *src_, VideoForm::kPayloadPrefixed);
    EXPECT_EQ(c.failed, 0) << "first error " << c.first_error;
    EXPECT_EQ(static_cast<size_t>(c.ok), src_->frames.size());
    tavrel_close(ctx);
    ASSERT_TRUE(wait_closed("flvwrite", 1)) << nginx_.error_log();
    expect_recording_matches_source(nginx_.recording("flvwrite"));
}

}  // namespace

namespace {

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
