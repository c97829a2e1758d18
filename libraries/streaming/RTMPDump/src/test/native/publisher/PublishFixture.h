// A test with its own nginx, FFmpeg's clip ready to publish, and a
// captured log for the contexts it makes.
#pragma once

#include "Nginx.h"
#include "PublisherTesting.h"
#include "SourceClip.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <thread>

inline constexpr uint32_t kAudioMax = 2048;
inline constexpr uint32_t kVideoMax = 256 * 1024;

// Every video packet of a recording as in the source (offset_ms later,
// when the clip was published so), and as many audio packets.
inline void expect_recording_matches(const SourceClip &src, const std::string &path, int64_t offset_ms = 0)
{
    auto streams = tavrel_testing::probe_streams(path);
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
    auto want = tavrel_testing::probe_packets(src.clip.flv, 'v');
    auto got = tavrel_testing::probe_packets(path, 'v');
    ASSERT_EQ(got.size(), want.size());
    ASSERT_EQ(want.size(), src.num_video);
    for (size_t i = 0; i < got.size(); i++) {
        SCOPED_TRACE("video packet " + std::to_string(i));
        EXPECT_EQ(got[i].pts - offset_ms, want[i].pts);
        EXPECT_EQ(got[i].dts - offset_ms, want[i].dts);
        EXPECT_EQ(got[i].size, want[i].size);
        EXPECT_EQ(got[i].key, want[i].key);
        if (::testing::Test::HasFailure())
            break;
    }
    EXPECT_EQ(tavrel_testing::probe_packets(path, 'a').size(), src.num_audio);
    EXPECT_EQ(tavrel_testing::decode_errors(path), "");
}

class PublishFixture : public ::testing::Test {
public:
    explicit PublishFixture(tavrel_testing::NginxOptions options = {}) : nginx_(std::move(options)) {}

    static void SetUpTestSuite()
    {
        signal(SIGPIPE, SIG_IGN);
        src_ = new SourceClip(load_source(tavrel_testing::clip()));
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
    // `nth` time (counting from 1), on this test's nginx or on `server`.
    bool wait_closed(const std::string &stream, int nth = 1, const tavrel_testing::Nginx *server = nullptr)
    {
        for (int i = 0; i < 200; i++) {
            std::string log = (server ? *server : nginx_).error_log();
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

    // The whole clip on ctx, which is then closed, and nginx's recording of
    // `stream` (published the `nth` time) checked against the source.
    void publish_clip_and_check_recording(RTMPDumpCtx *ctx, VideoForm form, const std::string &stream, int nth = 1)
    {
        PublishCounts c = publish(ctx, *src_, form);
        EXPECT_EQ(c.failed, 0) << "first error " << c.first_error;
        EXPECT_EQ(static_cast<size_t>(c.ok), src_->frames.size());
        tavrel_close(ctx);
        ASSERT_TRUE(wait_closed(stream, nth)) << nginx_.error_log();
        expect_recording_matches_source(nginx_.recording(stream));
    }

    void expect_recording_matches_source(const std::string &path, int64_t offset_ms = 0)
    {
        expect_recording_matches(*src_, path, offset_ms);
    }

    static inline SourceClip *src_ = nullptr;
    CapturedLog log_;
    tavrel_testing::Nginx nginx_;
};
