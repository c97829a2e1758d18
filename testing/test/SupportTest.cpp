// The test tooling against the real peers it wraps.
#include "Media.h"
#include "Nginx.h"

#include <gtest/gtest.h>
#include <signal.h>

using namespace tavrel_testing;

TEST(Support, ClipsHaveTheAdvertisedShape)
{
    Clip c = clip();
    auto streams = probe_streams(c.mp4);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0].codec_name, "h264");
    EXPECT_EQ(streams[0].width, 1280);
    EXPECT_EQ(streams[1].codec_name, "aac");
    EXPECT_EQ(streams[1].sample_rate, 44100);
    EXPECT_EQ(streams[1].channels, 2);

    auto tags = read_flv(c.flv);
    auto packets = probe_packets(c.flv, 'v');
    size_t video_tags = 0;
    for (const auto &t : tags)
        video_tags += t.type == 9 && t.data.size() > 1 && t.data[1] == 1;
    EXPECT_EQ(video_tags, packets.size());
    EXPECT_EQ(packets.size(), 300u);
    bool reordered = false;
    for (const auto &p : packets)
        reordered |= p.pts != p.dts;
    EXPECT_TRUE(reordered) << "the clip must have B-frames";
    EXPECT_EQ(decode_errors(c.flv), "");
}

TEST(Support, NginxComesUpStopsAndRestartsOnItsPort)
{
    Nginx nginx;
    EXPECT_TRUE(wait_for_port(nginx.port(), 5000));
    nginx.stop(SIGKILL);
    EXPECT_FALSE(wait_for_port(nginx.port(), 200));
    nginx.start();
    EXPECT_TRUE(wait_for_port(nginx.port(), 5000));
}

TEST(Support, FfmpegPublishesToNginxAndItRecords)
{
    Nginx nginx;
    Clip c = short_clip();
    std::string out;
    int rc = run({"ffmpeg", "-nostdin", "-v", "error", "-re", "-i", c.flv, "-c", "copy", "-f", "flv",
                  nginx.url("live", "support")},
                 60000, &out);
    ASSERT_EQ(rc, 0) << out;
    nginx.stop(SIGQUIT);
    auto packets = probe_packets(nginx.recording("support"), 'v');
    EXPECT_EQ(packets.size(), probe_packets(c.flv, 'v').size());
}
