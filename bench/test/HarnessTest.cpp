// The harness's own claims: every contender is handed the same bytes, the
// floor replays exactly what librtmp's sender writes, message by message,
// and the one-write sketch lays the bytes out as librtmp does.
#include "BenchClip.h"
#include "Contenders.h"

#include "RtmpChunks.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

namespace {

using bench::Clip;
using bench::Message;

Clip &clip()
{
    static Clip c(bench::default_clip_path());
    return c;
}

// What a receiver needs to decode chunks of another size: the Set Chunk Size
// message a publisher sends first.
std::vector<uint8_t> set_chunk_size_bytes(int size)
{
    uint32_t v = uint32_t(size);
    return {0x02, 0, 0, 0, 0, 0, 4, 0x01, 0, 0, 0, 0, uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8),
            uint8_t(v)};
}

class CaptureTest : public ::testing::TestWithParam<int> {};

TEST_P(CaptureTest, DecodesToTheClipMessageByMessage)
{
    int chunk = GetParam();
    auto steps = bench::plan(clip(), 2);
    auto cap = bench::capture_chunks(clip(), steps, chunk, 1);
    ASSERT_EQ(cap.ends.size(), steps.size());
    tavrel_testing::ChunkDecoder dec;
    size_t control = 0;
    if (chunk != 128) {
        auto scs = set_chunk_size_bytes(chunk);
        ASSERT_TRUE(dec.feed(scs.data(), scs.size()));
        control = 1;
    }
    size_t begin = 0;
    for (size_t i = 0; i < steps.size(); ++i) {
        // Each recorded end is a message boundary: the slice up to it decodes
        // to exactly one more message, with nothing left over.
        ASSERT_TRUE(dec.feed(cap.bytes.data() + begin, cap.ends[i] - begin)) << "message " << i;
        ASSERT_EQ(dec.messages().size(), control + i + 1) << "message " << i;
        ASSERT_EQ(dec.pending_bytes(), 0u) << "message " << i;
        begin = cap.ends[i];
        const auto &got = dec.messages().back();
        const Message &m = clip().messages()[steps[i].index];
        EXPECT_EQ(got.csid, 4u);
        EXPECT_EQ(got.fmt, 0);
        EXPECT_EQ(got.type, m.type);
        EXPECT_EQ(got.stream_id, 1u);
        EXPECT_EQ(got.timestamp, m.seq_header ? 0u : m.ts_ms + steps[i].offset_ms);
        ASSERT_EQ(got.body, std::vector<uint8_t>(m.body(), m.body() + m.body_len())) << "message " << i;
    }
    EXPECT_EQ(begin, cap.bytes.size());
}

TEST_P(CaptureTest, OneWriteSketchLaysOutLibrtmpsBytes)
{
    int chunk = GetParam();
    auto steps = bench::plan(clip(), 1);
    auto cap = bench::capture_chunks(clip(), steps, chunk, 1);
    bench::Scratch out;
    size_t begin = 0;
    for (size_t i = 0; i < steps.size(); ++i) {
        const Message &m = clip().messages()[steps[i].index];
        size_t n = bench::coalesce_message(m, m.seq_header ? 0 : m.ts_ms, chunk, 1, out);
        ASSERT_EQ(n, cap.ends[i] - begin) << "message " << i;
        ASSERT_EQ(std::memcmp(out.data(), cap.bytes.data() + begin, n), 0) << "message " << i;
        begin = cap.ends[i];
    }
}

INSTANTIATE_TEST_SUITE_P(ChunkSizes, CaptureTest, ::testing::Values(128, 1000, 4096, 65536));

TEST(PlanTest, SequenceHeadersOnceThenLapsInTimeOrder)
{
    const auto &msgs = clip().messages();
    size_t headers = 0, frames = 0;
    for (const auto &m : msgs)
        (m.seq_header ? headers : frames)++;
    ASSERT_EQ(headers, 2u);  // AAC and AVC
    auto steps = bench::plan(clip(), 3);
    ASSERT_EQ(steps.size(), headers + 3 * frames);
    uint32_t last[2] = {0, 0};
    for (size_t i = 0; i < steps.size(); ++i) {
        const Message &m = msgs[steps[i].index];
        EXPECT_EQ(m.seq_header, i < headers) << "step " << i;
        uint32_t ts = m.seq_header ? 0 : m.ts_ms + steps[i].offset_ms;
        int k = m.type == bench::kTagAudio ? 0 : 1;
        EXPECT_GE(ts, last[k]) << "step " << i;  // each stream's timestamps never go back, lap after lap
        last[k] = ts;
    }
    EXPECT_EQ(bench::body_bytes(clip(), steps),
              bench::body_bytes(clip(), bench::plan(clip(), 0)) +
                  3 * (bench::body_bytes(clip(), bench::plan(clip(), 1)) -
                       bench::body_bytes(clip(), bench::plan(clip(), 0))));
}

// The publisher's contenders get records, RTMP_Write gets tags: both must
// describe the same bytes, or the comparison compares different work.
TEST(ClipTest, RecordsHoldExactlyTheTagsBytes)
{
    for (const auto &m : clip().messages()) {
        if (m.type != bench::kTagVideo)
            continue;
        ASSERT_NE(m.nalus, nullptr);
        const uint8_t *d = m.body();
        EXPECT_EQ(m.nalus->is_keyframe != 0, (d[0] >> 4) == 1);
        EXPECT_EQ(m.nalus->is_annexb, 0);
        std::vector<uint8_t> units;
        for (int i = 0; i < m.nalus->num_nalu; ++i)
            units.insert(units.end(), m.nalus->nalus[i].data, m.nalus->nalus[i].data + m.nalus->nalus[i].len);
        if (m.seq_header) {
            // AVCDecoderConfigurationRecord: 6 bytes, SPS length and SPS,
            // PPS count, PPS length and PPS.
            ASSERT_EQ(m.nalus->num_nalu, 2);
            EXPECT_EQ(m.nalus->nalus[0].type, NAL_TYPE_SPS);
            EXPECT_EQ(m.nalus->nalus[1].type, NAL_TYPE_PPS);
            size_t sps = size_t(m.nalus->nalus[0].len), pps = size_t(m.nalus->nalus[1].len);
            // x264's High profile record carries 4 more bytes (chroma format,
            // bit depths, no SPS extensions) after the PPS; the publisher
            // writes the record without them, so this one message differs.
            EXPECT_TRUE(m.body_len() == 5 + 11 + sps + pps || m.body_len() == 5 + 11 + sps + pps + 4);
            EXPECT_EQ(std::memcmp(m.nalus->nalus[0].data, d + 5 + 8, sps), 0);
            EXPECT_EQ(std::memcmp(m.nalus->nalus[1].data, d + 5 + 11 + sps, pps), 0);
        } else {
            EXPECT_EQ(m.nalus->is_stripped, 0);
            ASSERT_EQ(units, std::vector<uint8_t>(d + 5, d + m.body_len()));
            EXPECT_EQ(m.nalus->dts, int64_t(m.ts_ms));
            EXPECT_EQ(m.nalus->pts - m.nalus->dts, m.cts_ms);
        }
    }
}

TEST(ClipTest, StampMovesTagAndRecordToTheLap)
{
    struct Case {
        uint32_t offset;
    } cases[] = {{0}, {10034}, {0x00FFFFFF}, {0x7F000000}};
    for (auto &m : clip().messages()) {
        if (m.type != bench::kTagVideo)
            continue;
        for (const auto &c : cases) {
            m.stamp(c.offset);
            uint32_t want = m.seq_header ? 0 : m.ts_ms + c.offset;
            const uint8_t *h = m.tag.data();
            uint32_t got = uint32_t(h[7]) << 24 | uint32_t(h[4]) << 16 | uint32_t(h[5]) << 8 | h[6];
            EXPECT_EQ(got, want) << "offset " << c.offset;
            if (!m.seq_header) {
                EXPECT_EQ(m.nalus->dts, int64_t(want));
                EXPECT_EQ(m.nalus->pts, int64_t(want) + m.cts_ms);
            }
        }
        m.stamp(0);
    }
}

// The chunk-size experiment announces its size before using it, and librtmp's
// sender then cuts by it: a receiver that follows the announcement gets the
// message back whole.
TEST(ChunkSizeTest, AnnouncedThenUsed)
{
    struct Case {
        int size;
        size_t control_messages;
    } cases[] = {{128, 0}, {4096, 1}, {65536, 1}};
    for (const auto &c : cases) {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        std::vector<uint8_t> got;
        std::thread reader([&got, fd = sv[1]] {
            uint8_t buf[4096];
            ssize_t n;
            while ((n = read(fd, buf, sizeof buf)) > 0)
                got.insert(got.end(), buf, buf + n);
        });
        RTMP r;
        RTMP_Init(&r);
        r.m_sb.sb_socket = sv[0];
        r.m_stream_id = 1;
        ASSERT_TRUE(bench::set_out_chunk_size(&r, c.size));
        EXPECT_EQ(r.m_outChunkSize, c.size);
        RTMPPacket p;
        std::memset(&p, 0, sizeof p);
        ASSERT_TRUE(RTMPPacket_Alloc(&p, 10000));
        for (int i = 0; i < 10000; ++i)
            p.m_body[i] = char(i * 7);
        std::vector<uint8_t> want(p.m_body, p.m_body + 10000);
        p.m_nChannel = 4;
        p.m_headerType = RTMP_PACKET_SIZE_LARGE;
        p.m_packetType = RTMP_PACKET_TYPE_VIDEO;
        p.m_nInfoField2 = 1;
        p.m_nBodySize = 10000;
        ASSERT_TRUE(RTMP_SendPacket(&r, &p, 0));
        shutdown(sv[0], SHUT_WR);
        reader.join();
        RTMPPacket_Free(&p);
        close(sv[0]);
        close(sv[1]);
        r.m_sb.sb_socket = -1;
        r.m_stream_id = -1;
        RTMP_Close(&r);

        tavrel_testing::ChunkDecoder dec;
        ASSERT_TRUE(dec.feed(got.data(), got.size())) << "size " << c.size;
        ASSERT_EQ(dec.messages().size(), c.control_messages + 1) << "size " << c.size;
        EXPECT_EQ(dec.chunk_size(), uint32_t(c.size));
        EXPECT_EQ(dec.messages().back().body, want) << "size " << c.size;
        size_t chunks = (10000 + size_t(c.size) - 1) / size_t(c.size);
        size_t control = c.control_messages ? 12 + 4 : 0;
        EXPECT_EQ(got.size(), control + 12 + 10000 + chunks - 1) << "size " << c.size;
    }
}

// Wire bytes come from the socket's acknowledged octets after draining: they
// must count exactly what was written, however the kernel cut it up.
TEST(TcpCountersTest, AcknowledgedBytesAreTheBytesWritten)
{
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(lfd, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(lfd, 1), 0);
    socklen_t alen = sizeof addr;
    ASSERT_EQ(getsockname(lfd, reinterpret_cast<sockaddr *>(&addr), &alen), 0);
    int cfd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(cfd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    int sfd = accept(lfd, nullptr, nullptr);
    ASSERT_GE(sfd, 0);
    size_t received = 0;
    std::thread reader([&received, sfd] {
        uint8_t buf[65536];
        ssize_t n;
        while ((n = read(sfd, buf, sizeof buf)) > 0)
            received += size_t(n);
    });
    int64_t bytes0 = bench::tcp_bytes_sent(cfd), segs0 = bench::tcp_segments_sent(cfd);
    ASSERT_GE(bytes0, 0);
    std::vector<uint8_t> block(3000, 0x5A);
    size_t written = 0;
    for (int i = 0; i < 700; ++i) {  // about 2 MB in pieces of odd sizes
        size_t n = 1 + (i * 997) % block.size();
        ASSERT_EQ(write(cfd, block.data(), n), ssize_t(n));
        written += n;
    }
    bench::drain(cfd, 5000);
    EXPECT_EQ(bench::tcp_bytes_sent(cfd) - bytes0, int64_t(written));
    EXPECT_GT(bench::tcp_segments_sent(cfd) - segs0, 0);
    shutdown(cfd, SHUT_WR);
    reader.join();
    EXPECT_EQ(received, written);
    close(cfd);
    close(sfd);
    close(lfd);
    EXPECT_EQ(bench::tcp_bytes_sent(-1), -1);
}

}  // namespace
