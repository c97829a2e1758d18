#include "CapturedLog.h"
#include "LoopbackLink.h"
#include "RTMPDumpUtil.h"

#include <gtest/gtest.h>

#include <string>

using tavrel_testing::RtmpMessage;

namespace {

std::vector<uint8_t> payload(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

// An FLV tag as an FLV file holds it: header, data, previous tag size.
std::vector<uint8_t> tag(uint8_t type, uint32_t ts, const std::vector<uint8_t> &data, bool trailer = true)
{
    uint32_t n = static_cast<uint32_t>(data.size());
    std::vector<uint8_t> t = {type, uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n),
                              uint8_t(ts >> 16), uint8_t(ts >> 8), uint8_t(ts), uint8_t(ts >> 24), 0, 0, 0};
    t.insert(t.end(), data.begin(), data.end());
    if (trailer) {
        uint32_t prev = n + 11;
        t.insert(t.end(), {uint8_t(prev >> 24), uint8_t(prev >> 16), uint8_t(prev >> 8), uint8_t(prev)});
    }
    return t;
}

const std::vector<uint8_t> kFileHeader = {'F', 'L', 'V', 1, 5, 0, 0, 0, 9, 0, 0, 0, 0};

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> out;
    for (const auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

int write_v2(RTMP *r, const std::vector<uint8_t> &b, Logger *logger = nullptr)
{
    return RTMP_Write_v2(r, reinterpret_cast<const char *>(b.data()), static_cast<int>(b.size()), logger);
}

int write_fix(RTMP *r, const uint8_t *b, size_t n)
{
    return RTMP_Write_fix(r, reinterpret_cast<const char *>(b), static_cast<int>(n));
}

TEST(FlvStreamWriter, OneTagBecomesOneMessageWithTheTagsFields)
{
    struct Case {
        const char *what;
        uint8_t type;
        uint32_t ts;
        size_t data_len;
        bool file_header;
        int fmt;  // header type the writer chooses
    };
    const Case cases[] = {
        {"audio at 0: full header", 8, 0, 102, false, 0},
        {"video, any time: full header", 9, 1000, 500, false, 0},
        {"audio later: no stream id", 8, 1000, 102, false, 1},
        {"extension byte", 9, 0x01000005, 64, false, 0},
        {"behind the file header", 9, 2000, 300, true, 0},
    };
    LoopbackLink link;
    std::vector<std::vector<uint8_t>> sent;
    for (const Case &c : cases) {
        auto data = payload(c.data_len, c.type);
        auto buf = c.file_header ? cat({kFileHeader, tag(c.type, c.ts, data)}) : tag(c.type, c.ts, data);
        EXPECT_EQ(write_v2(link.rtmp(), buf), static_cast<int>(buf.size())) << c.what;
        EXPECT_EQ(link.rtmp()->m_write.m_headerType, c.fmt) << c.what;
        EXPECT_EQ(link.rtmp()->m_write.m_body, nullptr) << c.what;
        sent.push_back(data);
    }
    auto msgs = link.finish();
    ASSERT_EQ(msgs.size(), std::size(cases));
    for (size_t i = 0; i < msgs.size(); i++) {
        EXPECT_EQ(msgs[i].csid, 4u) << cases[i].what;
        EXPECT_EQ(msgs[i].type, cases[i].type) << cases[i].what;
        EXPECT_EQ(msgs[i].timestamp, cases[i].ts) << cases[i].what;
        EXPECT_EQ(msgs[i].stream_id, 1u) << cases[i].what;
        EXPECT_EQ(msgs[i].body, sent[i]) << cases[i].what;
    }
}

TEST(FlvStreamWriter, ScriptDataGetsTheSetDataFramePrefixAndNothingMore)
{
    LoopbackLink link;
    auto data = payload(40, 3);
    auto buf = tag(18, 0, data);
    EXPECT_EQ(write_v2(link.rtmp(), buf), static_cast<int>(buf.size()));
    auto msgs = link.finish();
    ASSERT_EQ(msgs.size(), 1u);
    std::vector<uint8_t> want = {0x02, 0x00, 0x0C};
    for (char c : std::string("setDataFrame"))
        want.push_back(static_cast<uint8_t>(c));
    want.insert(want.end(), data.begin(), data.end());
    EXPECT_EQ(msgs[0].type, 18);
    EXPECT_EQ(msgs[0].body, want);  // no byte of the trailer in the body
}

TEST(FlvStreamWriter, InputThatWouldSendForeignBytesIsRefused)
{
    LoopbackLink link;
    CapturedLog log;
    auto whole = tag(9, 40, payload(100, 1));
    struct Case {
        const char *what;
        std::vector<uint8_t> buf;
        int result;
    };
    const Case cases[] = {
        {"ten bytes", std::vector<uint8_t>(whole.begin(), whole.begin() + 10), -1},
        {"data shorter than announced", std::vector<uint8_t>(whole.begin(), whole.begin() + 60), -1},
        {"file header and half a tag header", cat({kFileHeader, std::vector<uint8_t>(whole.begin(), whole.begin() + 5)}),
         -1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(write_v2(link.rtmp(), c.buf, log.logger), c.result) << c.what;
    EXPECT_EQ(RTMP_Write_v2(link.rtmp(), nullptr, 100, nullptr), -1);

    // A tag without its trailer is still sent; the result says what was
    // missing.
    auto no_trailer = tag(9, 80, payload(100, 2), false);
    EXPECT_EQ(write_v2(link.rtmp(), no_trailer), static_cast<int>(no_trailer.size()) - 4);
    auto msgs = link.finish();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].timestamp, 80u);
}

TEST(FlvStreamWriter, FailedSendIsReportedAndReleasesTheBody)
{
    RTMP r;
    RTMP_Init(&r);  // no socket: every send fails
    auto buf = tag(9, 0, payload(100, 1));
    EXPECT_EQ(write_v2(&r, buf), -3);
    EXPECT_EQ(r.m_write.m_body, nullptr);
    EXPECT_EQ(r.m_write.m_nBytesRead, 0u);
    EXPECT_EQ(write_fix(&r, buf.data(), buf.size()), -1);
    EXPECT_EQ(r.m_write.m_body, nullptr);
    RTMP_Close(&r);
}

TEST(FlvStreamWriter, FixKeepsATagUntilItsDataIsComplete)
{
    LoopbackLink link;
    RTMP *r = link.rtmp();
    auto data = payload(102, 5);
    auto t = tag(8, 1000, data);
    ASSERT_EQ(t.size(), 117u);
    EXPECT_EQ(write_fix(r, t.data(), 10), 0);  // too short to start a tag: not taken
    EXPECT_EQ(write_fix(r, t.data(), 61), 61);
    EXPECT_EQ(write_fix(r, t.data() + 61, 56), 56);
    auto two = cat({tag(9, 0, payload(300, 1)), tag(9, 33, payload(20, 2))});
    EXPECT_EQ(write_fix(r, two.data(), two.size()), static_cast<int>(two.size()));
    auto msgs = link.finish();
    ASSERT_EQ(msgs.size(), 3u);
    EXPECT_EQ(msgs[0].body, data);
    EXPECT_EQ(msgs[0].timestamp, 1000u);
    EXPECT_EQ(msgs[1].body.size(), 300u);
    EXPECT_EQ(msgs[2].timestamp, 33u);
}

// Cutting a stream anywhere (inside the file header, a tag header, the data
// or a trailer) must give the same messages as writing it whole.
TEST(FlvStreamWriter, FixGivesTheSameMessagesHoweverTheStreamIsCut)
{
    auto stream = cat({kFileHeader, tag(9, 0, payload(200, 1)), tag(8, 0, payload(7, 2)), tag(18, 0, payload(30, 3)),
                       tag(8, 23, payload(150, 4)), tag(9, 33, payload(1, 5)), tag(9, 66, payload(0, 6))});
    std::vector<RtmpMessage> whole;
    {
        LoopbackLink link;
        ASSERT_EQ(write_fix(link.rtmp(), stream.data(), stream.size()), static_cast<int>(stream.size()));
        whole = link.finish();
    }
    ASSERT_EQ(whole.size(), 6u);
    for (size_t piece : {1u, 2u, 3u, 5u, 11u, 12u, 13u, 14u, 24u, 100u}) {
        LoopbackLink link;
        size_t at = 0;
        while (at < stream.size()) {
            size_t n = std::min(piece, stream.size() - at);
            int rc = write_fix(link.rtmp(), stream.data() + at, n);
            if (rc == 0 && n <= 10) {
                // Refused as too short at a tag boundary: hand in more.
                n = std::min<size_t>(11, stream.size() - at);
                rc = write_fix(link.rtmp(), stream.data() + at, n);
            }
            ASSERT_GT(rc, 0) << "piece " << piece << " at " << at;
            at += n;
        }
        auto msgs = link.finish();
        ASSERT_EQ(msgs.size(), whole.size()) << "piece " << piece;
        for (size_t i = 0; i < msgs.size(); i++) {
            EXPECT_EQ(msgs[i].type, whole[i].type) << "piece " << piece;
            EXPECT_EQ(msgs[i].timestamp, whole[i].timestamp) << "piece " << piece;
            EXPECT_EQ(msgs[i].body, whole[i].body) << "piece " << piece;
        }
    }
}

}  // namespace
