// What fuzzing the FLV stream writer turned up, as plain cases: tags of
// types an FLV stream never holds, script data too short for librtmp's
// string encoder, and a record whose partial tag is dropped.
#include "LoopbackLink.h"
#include "RTMPDumpUtil.h"
#include "RTMPDumpUtilInternal.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::vector<uint8_t> tag(uint8_t type, uint32_t ts, size_t data_len)
{
    uint32_t n = static_cast<uint32_t>(data_len);
    std::vector<uint8_t> t = {type, uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n),
                              uint8_t(ts >> 16), uint8_t(ts >> 8), uint8_t(ts), uint8_t(ts >> 24), 0, 0, 0};
    for (size_t i = 0; i < data_len; i++)
        t.push_back(static_cast<uint8_t>(type + i));
    uint32_t prev = n + 11;
    t.insert(t.end(), {uint8_t(prev >> 24), uint8_t(prev >> 16), uint8_t(prev >> 8), uint8_t(prev)});
    return t;
}

int write_v2(RTMP *r, const std::vector<uint8_t> &b)
{
    return RTMP_Write_v2(r, reinterpret_cast<const char *>(b.data()), static_cast<int>(b.size()), nullptr);
}

int write_fix(RTMP *r, const std::vector<uint8_t> &b, size_t at, size_t n)
{
    return RTMP_Write_fix(r, reinterpret_cast<const char *>(b.data()) + at, static_cast<int>(n));
}

std::vector<uint8_t> set_data_frame(size_t data_len)
{
    std::vector<uint8_t> body = {0x02, 0x00, 0x0C};
    for (char c : std::string("setDataFrame"))
        body.push_back(static_cast<uint8_t>(c));
    for (size_t i = 0; i < data_len; i++)
        body.push_back(static_cast<uint8_t>(18 + i));
    return body;
}

// Types that would go out as RTMP control or command messages: Set Chunk
// Size (the receiver would change its chunk size, librtmp would not),
// Abort, Acknowledgement, User Control, Window Size, Peer Bandwidth, AMF0
// and AMF3 commands, shared objects, aggregates, and types FLV reserves.
const uint8_t kForeignTypes[] = {0, 1, 2, 3, 4, 5, 6, 7, 15, 16, 17, 19, 20, 22, 0x46, 0xFF};

TEST(FlvWriterFindings, OneTagWriterRefusesTypesThatAreNotFlvTags)
{
    LoopbackLink link;
    for (uint8_t type : kForeignTypes) {
        auto t = tag(type, 40, 8);
        EXPECT_EQ(write_v2(link.rtmp(), t), -1) << int(type);
        EXPECT_EQ(link.rtmp()->m_write.m_body, nullptr) << int(type);
    }
    auto audio = tag(8, 40, 8);
    EXPECT_EQ(write_v2(link.rtmp(), audio), static_cast<int>(audio.size()));
    auto msgs = link.finish();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].type, 8);
}

// Each foreign tag sits between two video tags; the stream is also handed
// in cut inside the foreign tag's data, so the skipping spans calls.
TEST(FlvWriterFindings, StreamWriterSkipsTypesThatAreNotFlvTags)
{
    for (uint8_t type : kForeignTypes) {
        for (size_t cut : {size_t(0), size_t(11 + 20 + 4 + 5), size_t(11 + 20 + 4 + 11 + 3)}) {
            SCOPED_TRACE(std::to_string(type) + " cut at " + std::to_string(cut));
            std::vector<uint8_t> stream = tag(9, 0, 20);
            auto foreign = tag(type, 10, 30), after = tag(9, 33, 6);
            stream.insert(stream.end(), foreign.begin(), foreign.end());
            stream.insert(stream.end(), after.begin(), after.end());
            LoopbackLink link;
            if (cut == 0) {
                EXPECT_EQ(write_fix(link.rtmp(), stream, 0, stream.size()), static_cast<int>(stream.size()));
            } else {
                EXPECT_EQ(write_fix(link.rtmp(), stream, 0, cut), static_cast<int>(cut));
                EXPECT_EQ(write_fix(link.rtmp(), stream, cut, stream.size() - cut),
                          static_cast<int>(stream.size() - cut));
            }
            auto msgs = link.finish();
            ASSERT_EQ(msgs.size(), 2u);
            EXPECT_EQ(msgs[0].body.size(), 20u);
            EXPECT_EQ(msgs[1].timestamp, 33u);
            EXPECT_EQ(msgs[1].body.size(), 6u);
        }
    }
}

// librtmp's AMF_EncodeString wants 17 bytes of room for a 12-character
// string; a script tag's body has 15 plus its data.
TEST(FlvWriterFindings, ScriptDataOfAnyLengthGetsItsPrefix)
{
    for (size_t data_len : {0u, 1u, 2u, 3u}) {
        SCOPED_TRACE(data_len);
        auto t = tag(18, 0, data_len);
        LoopbackLink one, stream;
        EXPECT_EQ(write_v2(one.rtmp(), t), static_cast<int>(t.size()));
        EXPECT_EQ(write_fix(stream.rtmp(), t, 0, t.size()), static_cast<int>(t.size()));
        for (auto *link : {&one, &stream}) {
            auto msgs = link->finish();
            ASSERT_EQ(msgs.size(), 1u);
            EXPECT_EQ(msgs[0].body, set_data_frame(data_len));
        }
    }
}

// A record whose tag never got its data: dropping what the writer keeps
// (as closing does), or a body released by librtmp's RTMPPacket_Free alone,
// leaves the next call to start a new tag.
TEST(FlvWriterFindings, APartialTagDroppedLeavesTheRecordLikeNew)
{
    struct Case {
        const char *what;
        void (*drop)(RTMP *);
    } cases[] = {
        {"flv_stream_writer_forget", [](RTMP *r) { flv_stream_writer_forget(r); }},
        {"RTMPPacket_Free only", [](RTMP *r) { RTMPPacket_Free(&r->m_write); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        LoopbackLink link;
        auto partial = tag(9, 0, 200), next = tag(8, 0, 5);
        EXPECT_EQ(write_fix(link.rtmp(), partial, 0, 60), 60);
        EXPECT_NE(link.rtmp()->m_write.m_body, nullptr);
        c.drop(link.rtmp());
        EXPECT_EQ(link.rtmp()->m_write.m_body, nullptr);
        EXPECT_EQ(write_fix(link.rtmp(), next, 0, next.size()), static_cast<int>(next.size()));
        auto msgs = link.finish();
        ASSERT_EQ(msgs.size(), 1u);
        EXPECT_EQ(msgs[0].type, 8);
        EXPECT_EQ(msgs[0].body.size(), 5u);
    }
    flv_stream_writer_forget(nullptr);
}

}  // namespace
