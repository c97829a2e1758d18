// The chunk writer against real peers: a clip published to nginx (plain
// and RTMPS through the stream module) is recorded, and ffprobe reads the
// recording with the source's packet timings.
#include "ChunksSupport.h"
#include "Media.h"
#include "Nginx.h"
#include "RTMPDumpUtilInternal.h"
#include "RtmpChunks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

using namespace chunks_test;
using namespace tavrel_testing;

namespace {

// A publishing connection to nginx, made and released by the stream
// connection.
class Publisher {
public:
    explicit Publisher(const std::string &url) { ok_ = connect_rtmp_w(url.c_str(), nullptr, nullptr, &r_, nullptr) == 0; }
    ~Publisher() { close_rtmp_w(r_, 1); }
    bool ok() const { return ok_ && r_; }
    RTMP *rtmp() { return r_; }

private:
    RTMP *r_ = nullptr;
    bool ok_ = false;
};

using Send = int (*)(RTMP *, RTMPPacket *);
int send_v2(RTMP *r, RTMPPacket *p) { return RTMP_SendPacket_v2(r, p, 0); }
int send_min(RTMP *r, RTMPPacket *p) { return RTMP_SendPacket_min(r, p); }

struct Plan {
    Send send = send_v2;
    int chunk_size = 0;  // 0: keep the default 128
    int audio_ch = 4, video_ch = 6, meta_ch = 5;
    uint32_t ts_offset = 0;
};

std::vector<uint8_t> with_set_data_frame(const std::vector<uint8_t> &data)
{
    static const char kName[] = "\x02\x00\x0d@setDataFrame";  // AMF0 string
    std::vector<uint8_t> b(kName, kName + sizeof kName - 1);
    b.resize(b.size() + data.size());
    std::copy(data.begin(), data.end(), b.end() - long(data.size()));
    return b;
}

// Every tag of the clip as one message: metadata and video with full
// headers, audio with medium ones that the writer may compress.
void publish(RTMP *r, const std::vector<FlvTag> &tags, const Plan &plan)
{
    if (plan.chunk_size) {
        uint32_t cs = uint32_t(plan.chunk_size);
        auto scs = make_packet(2, 0, 1, 0, {uint8_t(cs >> 24), uint8_t(cs >> 16), uint8_t(cs >> 8), uint8_t(cs)}, 0);
        ASSERT_EQ(plan.send(r, scs.get()), 1);
        r->m_outChunkSize = plan.chunk_size;
    }
    bool audio_started = false;
    for (const FlvTag &t : tags) {
        int ch = t.type == 8 ? plan.audio_ch : t.type == 9 ? plan.video_ch : plan.meta_ch;
        uint8_t header_type = t.type == 8 && audio_started ? 1 : 0;
        audio_started |= t.type == 8;
        auto body = t.type == 18 ? with_set_data_frame(t.data) : t.data;
        auto p = make_packet(ch, header_type, t.type, t.ts_ms + plan.ts_offset, body, r->m_stream_id);
        ASSERT_EQ(plan.send(r, p.get()), 1) << "tag at " << t.ts_ms;
    }
}

// nginx closes the recording when the publisher goes; it is complete once
// its size stops changing.
void wait_recording(const Nginx &nginx, const std::string &stream)
{
    std::string path = nginx.recording(stream);
    size_t last = 0;
    int stable = 0;
    for (int i = 0; i < 200 && stable < 5; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        size_t now = read_file(path).size();
        stable = now == last && now > 0 ? stable + 1 : 0;
        last = now;
    }
}

int64_t first_dts(const std::vector<ProbePacket> &a, const std::vector<ProbePacket> &b)
{
    int64_t m = INT64_MAX;
    for (const auto *v : {&a, &b})
        for (const auto &p : *v)
            m = std::min(m, p.dts);
    return m;
}

// The recording has the source's packets with the source's timings (both
// taken from their first packet: nginx may start a recording at 0).
void expect_same_timings(const std::string &recorded, const std::string &source, const std::string &what)
{
    auto rv = probe_packets(recorded, 'v'), ra = probe_packets(recorded, 'a');
    auto sv = probe_packets(source, 'v'), sa = probe_packets(source, 'a');
    int64_t r0 = first_dts(rv, ra), s0 = first_dts(sv, sa);
    ASSERT_EQ(rv.size(), sv.size()) << what;
    ASSERT_EQ(ra.size(), sa.size()) << what;
    for (size_t i = 0; i < sv.size(); i++) {
        EXPECT_EQ(rv[i].dts - r0, sv[i].dts - s0) << what << " video #" << i;
        EXPECT_EQ(rv[i].pts - r0, sv[i].pts - s0) << what << " video #" << i;
        EXPECT_EQ(rv[i].size, sv[i].size) << what << " video #" << i;
        EXPECT_EQ(rv[i].key, sv[i].key) << what << " video #" << i;
        if (::testing::Test::HasFailure())
            return;
    }
    for (size_t i = 0; i < sa.size(); i++) {
        EXPECT_EQ(ra[i].dts - r0, sa[i].dts - s0) << what << " audio #" << i;
        EXPECT_EQ(ra[i].size, sa[i].size) << what << " audio #" << i;
        if (::testing::Test::HasFailure())
            return;
    }
    EXPECT_EQ(decode_errors(recorded), "") << what;
}

TEST(ChunkWriterNginx, ClipRecordsWithTheSourceTimingsForBothWritersAndChunkSizes)
{
    struct Case {
        const char *what;
        const char *stream;
        Plan plan;
    };
    const Case cases[] = {
        {"_v2 at 128", "v2_128", {send_v2, 0}},
        {"_min at 128", "min_128", {send_min, 0}},
        {"_v2 after Set Chunk Size 4096", "v2_4096", {send_v2, 4096}},
        {"_min after Set Chunk Size 60000", "min_60000", {send_min, 60000}},
    };
    Nginx nginx;
    Clip clip = tavrel_testing::clip();
    auto tags = read_flv(clip.flv);
    for (const Case &c : cases) {
        {
            Publisher pub(nginx.url("live", c.stream));
            ASSERT_TRUE(pub.ok()) << c.what << "\n" << nginx.error_log();
            publish(pub.rtmp(), tags, c.plan);
        }
        wait_recording(nginx, c.stream);
        expect_same_timings(nginx.recording(c.stream), clip.flv, c.what);
    }
}

// Large chunk stream ids and timestamps past 24 bits: the writer's bytes
// decode with an independent decoder, and nginx takes and records them
// (video messages span many chunks, each continuation with its extended
// timestamp).
TEST(ChunkWriterNginx, LargeChunkStreamIdsAndExtendedTimestamps)
{
    Plan plan;
    plan.audio_ch = 64;
    plan.meta_ch = 319;
    plan.video_ch = 320;
    plan.ts_offset = 0xFFFFFF - 1000;  // crosses into the extension one second in
    Clip clip = short_clip();
    auto tags = read_flv(clip.flv);

    CaptureLink link;
    publish(link.rtmp(), tags, plan);
    auto wire = link.finish();
    ChunkDecoder d;
    ASSERT_TRUE(d.feed(wire.data(), wire.size()));
    ASSERT_EQ(d.messages().size(), tags.size());
    bool crossed = false;
    for (size_t i = 0; i < tags.size(); i++) {
        const auto &m = d.messages()[i];
        EXPECT_EQ(m.timestamp, tags[i].ts_ms + plan.ts_offset) << i;
        EXPECT_EQ(m.csid, tags[i].type == 8 ? 64u : tags[i].type == 9 ? 320u : 319u) << i;
        if (tags[i].type != 18) {
            EXPECT_EQ(m.body, tags[i].data) << i;
        }
        crossed |= m.timestamp > 0xFFFFFF && m.body.size() > 128;
    }
    EXPECT_TRUE(crossed) << "a multi-chunk message past 0xFFFFFF";

    Nginx nginx;
    {
        Publisher pub(nginx.url("live", "large"));
        ASSERT_TRUE(pub.ok()) << nginx.error_log();
        publish(pub.rtmp(), tags, plan);
    }
    wait_recording(nginx, "large");
    EXPECT_EQ(nginx.error_log().find("too big"), std::string::npos) << nginx.error_log();
    expect_same_timings(nginx.recording("large"), clip.flv, "ids 64/319/320, timestamps past 0xFFFFFF");
}

// Equal timestamps in a row: the receiver must not add the previous delta.
TEST(ChunkWriterNginx, RepeatedTimestampsRecordAsSent)
{
    Nginx nginx;
    {
        Publisher pub(nginx.url("live", "repeat"));
        ASSERT_TRUE(pub.ok()) << nginx.error_log();
        RTMP *r = pub.rtmp();
        // AAC-LC 44.1 kHz stereo sequence header, then same-size frames.
        auto seq = make_packet(4, 0, 8, 0, {0xAF, 0x00, 0x12, 0x10}, r->m_stream_id);
        ASSERT_EQ(RTMP_SendPacket_v2(r, seq.get(), 0), 1);
        std::vector<uint8_t> frame = {0xAF, 0x01, 0x21, 0x10, 0x04, 0x60, 0x8C, 0x1C};
        for (uint32_t ts : {0u, 40u, 40u, 80u, 120u}) {
            auto p = make_packet(4, 1, 8, ts, frame, r->m_stream_id);
            ASSERT_EQ(RTMP_SendPacket_v2(r, p.get(), 0), 1);
        }
    }
    wait_recording(nginx, "repeat");
    std::vector<uint32_t> got;
    for (const auto &t : read_flv(nginx.recording("repeat")))
        if (t.type == 8 && t.data.size() > 1 && t.data[1] == 1)
            got.push_back(t.ts_ms);
    EXPECT_EQ(got, (std::vector<uint32_t>{0, 40, 40, 80, 120}));
}

TEST(ChunkWriterNginx, RtmpsThroughTheTlsSession)
{
    NginxOptions options;
    options.tls = true;
    Nginx nginx(options);
    Clip clip = short_clip();
    auto tags = read_flv(clip.flv);
    {
        Publisher pub(nginx.tls_url("live", "tls"));
        ASSERT_TRUE(pub.ok()) << nginx.error_log();
        ASSERT_NE(pub.rtmp()->m_sb.sb_ssl, nullptr) << "a TLS session";
        Plan plan;
        plan.chunk_size = 4096;
        publish(pub.rtmp(), tags, plan);
    }
    wait_recording(nginx, "tls");
    expect_same_timings(nginx.recording("tls"), clip.flv, "RTMPS");
}

}  // namespace
