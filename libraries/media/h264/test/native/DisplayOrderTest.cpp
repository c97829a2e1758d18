// Display order of raw Annex B streams against the presentation times that
// FFmpeg stored in the MP4 of the same encode: B-frames with and without
// pyramid (order count type 0), no B-frames (type 2), interlaced coding
// (frame_mbs_only_flag 0), and several slices per picture.
#include "Media.h"
#include "Process.h"
#include "TestBytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>

using namespace tavrel_testing;

namespace {

Bytes bytes_of(const std::string &s) { return Bytes(s.begin(), s.end()); }

// display index of each packet from its pts: the rank among all pts.
std::vector<int32_t> ranks_of(const std::vector<ProbePacket> &packets)
{
    std::vector<int64_t> sorted;
    for (const ProbePacket &p : packets)
        sorted.push_back(p.pts);
    std::sort(sorted.begin(), sorted.end());
    std::vector<int32_t> out;
    for (const ProbePacket &p : packets)
        out.push_back(static_cast<int32_t>(std::lower_bound(sorted.begin(), sorted.end(), p.pts) - sorted.begin()));
    return out;
}

std::vector<int32_t> display_order(const Bytes &stream)
{
    int32_t n = h264_annexb_display_order(stream.data(), static_cast<int32_t>(stream.size()), nullptr, 0);
    EXPECT_GT(n, 0);
    if (n <= 0)
        return {};
    std::vector<int32_t> order(static_cast<size_t>(n), -1);
    EXPECT_EQ(h264_annexb_display_order(stream.data(), static_cast<int32_t>(stream.size()), order.data(), n), n);
    return order;
}

TEST(H264DisplayOrder, MatchesTheTimesFfmpegStoredForTheSameEncode)
{
    struct Case {
        const char *name;
        std::string x264;  // x264 options
        std::vector<std::string> extra;
    } cases[] = {
        {"two B-frames", "bframes=2:b-pyramid=0", {}},
        {"three B-frames with pyramid", "bframes=3:b-pyramid=2", {}},
        {"no B-frames", "bframes=0", {}},
        {"interlaced", "bframes=2:interlaced=1", {}},
        {"four slices, short GOP", "bframes=2:slices=4:keyint=7:min-keyint=7:scenecut=0", {}},
    };
    TempDir dir("h264order");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string mp4 = dir.file("clip.mp4"), h264 = dir.file("clip.h264");
        std::vector<std::string> enc = {"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                                        "testsrc2=size=160x96:rate=25", "-frames:v", "40", "-c:v", "libx264",
                                        "-preset", "veryfast", "-x264-params", c.x264, mp4};
        ASSERT_EQ(run(enc, 60000), 0);
        ASSERT_EQ(run({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", mp4, "-c", "copy", "-bsf:v",
                       "h264_mp4toannexb", "-f", "h264", h264},
                      60000),
                  0);
        std::vector<ProbePacket> packets = probe_packets(mp4, 'v');
        std::vector<int32_t> order = display_order(bytes_of(read_file(h264)));
        ASSERT_EQ(order.size(), packets.size());
        EXPECT_EQ(order, ranks_of(packets));
    }
}

TEST(H264DisplayOrder, TestClipInDisplayOrder)
{
    Clip c = clip();
    std::vector<ProbePacket> packets = probe_packets(c.mp4, 'v');
    std::vector<int32_t> order = display_order(bytes_of(read_file(c.h264)));
    ASSERT_EQ(order.size(), 300u);
    EXPECT_EQ(order, ranks_of(packets));
    // The times the header comment promises: dts then pts, never before it.
    int32_t delay = 0;
    for (size_t i = 0; i < order.size(); ++i)
        delay = std::max(delay, static_cast<int32_t>(i) - order[i]);
    EXPECT_EQ(delay, 1) << "non-pyramid B-frames are one picture late at most";
}

TEST(H264DisplayOrder, FillsWhatFitsAndRefusesWhatItCannotRead)
{
    Bytes stream = bytes_of(read_file(short_clip().h264));
    const int32_t len = static_cast<int32_t>(stream.size());
    std::vector<int32_t> all = display_order(stream);
    ASSERT_EQ(all.size(), 60u);

    std::vector<int32_t> some(8, INT_MIN);
    EXPECT_EQ(h264_annexb_display_order(stream.data(), len, some.data(), 5), 60);
    EXPECT_EQ(std::vector<int32_t>(some.begin(), some.begin() + 5), std::vector<int32_t>(all.begin(), all.begin() + 5));
    EXPECT_EQ(some[5], INT_MIN) << "past max_aus";

    // From the second access unit on: slices whose parameter sets were never seen.
    int32_t first = h264_annexb_au_len(stream.data(), len);
    ASSERT_GT(first, 0);
    EXPECT_EQ(h264_annexb_display_order(stream.data() + first, len - first, nullptr, 0), H264ERR_BAD_HEADER);

    const Bytes sps_pps = {0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1E, 0xD9, 0x00, 0xA0, 0x47, 0xFE, 0xC8,
                           0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80};
    struct Case {
        const char *name;
        Bytes input;
        int32_t rc;
    } cases[] = {
        {"parameter sets without a picture", sps_pps, H264ERR_BAD_HEADER},
        {"slice header cut short", cat({sps_pps, {0, 0, 1, 0x65}}), H264ERR_BAD_HEADER},
        {"slice naming PPS 5", cat({sps_pps, {0, 0, 1, 0x65, 0x8C, 0x80}}), H264ERR_BAD_HEADER},
        {"a readable IDR picture", cat({sps_pps, {0, 0, 1, 0x65, 0x88, 0x84, 0x00, 0x33}}), 1},
        {"no start code", {0x67, 0x42, 0, 0, 1, 0x65}, H264ERR_NO_START_CODE},
        {"empty", {}, H264ERR_EMPTY},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(h264_annexb_display_order(c.input.data(), static_cast<int32_t>(c.input.size()), nullptr, 0), c.rc);
    }
    // A fuzz finding: scaling-list deltas far outside -128..127 (an
    // overflow before they were taken modulo 256; the sanitizer build
    // catches a return of it). One picture header still reads.
    Bytes found = bytes_of(read_file(H264_TEST_DATA "/scaling_delta_overflow.h264"));
    EXPECT_EQ(h264_annexb_display_order(found.data(), static_cast<int32_t>(found.size()), nullptr, 0), 1);
    EXPECT_EQ(h264_annexb_display_order(nullptr, 0, nullptr, 0), H264ERR_EMPTY);
    EXPECT_EQ(h264_annexb_display_order(stream.data(), len, nullptr, 3), H264ERR_BAD_ARG);
    EXPECT_EQ(h264_annexb_display_order(stream.data(), -1, nullptr, 0), H264ERR_BAD_ARG);
}

}  // namespace
