// The chunk writer byte by byte: headers, chunking, compression, refusals,
// channel records and the invocation queue, on a real loopback socket.
#include "ChunksSupport.h"
#include "RTMPDumpUtilInternal.h"
#include "RtmpChunks.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>

using namespace chunks_test;
using tavrel_testing::ChunkDecoder;
using tavrel_testing::RtmpMessage;

namespace {

using Sender = std::function<int(RTMP *, RTMPPacket *)>;
const Sender kV2 = [](RTMP *r, RTMPPacket *p) { return RTMP_SendPacket_v2(r, p, 0); };
const Sender kMin = [](RTMP *r, RTMPPacket *p) { return RTMP_SendPacket_min(r, p); };

std::vector<RtmpMessage> decode(const std::vector<uint8_t> &wire)
{
    ChunkDecoder d;
    EXPECT_TRUE(d.feed(wire.data(), wire.size()));
    EXPECT_EQ(d.pending_bytes(), 0u);
    return d.messages();
}

std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(ChunkWriter, FirstHeaderBytesByChunkStreamIdAndTimestamp)
{
    struct Case {
        const char *what;
        int channel;
        uint32_t ts;
        std::vector<uint8_t> header;  // for a 5-byte invoke-free body, type 0x12, stream 1
    };
    const Case cases[] = {
        {"id 2", 2, 0x123456, {0x02, 0x12, 0x34, 0x56, 0, 0, 5, 0x12, 1, 0, 0, 0}},
        {"id 63: one byte", 63, 0, {0x3F, 0, 0, 0, 0, 0, 5, 0x12, 1, 0, 0, 0}},
        {"id 64: two bytes", 64, 0, {0x00, 0x00, 0, 0, 0, 0, 0, 5, 0x12, 1, 0, 0, 0}},
        {"id 319: two bytes", 319, 0, {0x00, 0xFF, 0, 0, 0, 0, 0, 5, 0x12, 1, 0, 0, 0}},
        {"id 320: three bytes", 320, 0, {0x01, 0x00, 0x01, 0, 0, 0, 0, 0, 5, 0x12, 1, 0, 0, 0}},
        {"id 65599: largest", 65599, 0, {0x01, 0xFF, 0xFF, 0, 0, 0, 0, 0, 5, 0x12, 1, 0, 0, 0}},
        {"ts 0xFFFFFE: no extension", 5, 0xFFFFFE, {0x05, 0xFF, 0xFF, 0xFE, 0, 0, 5, 0x12, 1, 0, 0, 0}},
        {"ts 0xFFFFFF: extension", 5, 0xFFFFFF,
         {0x05, 0xFF, 0xFF, 0xFF, 0, 0, 5, 0x12, 1, 0, 0, 0, 0x00, 0xFF, 0xFF, 0xFF}},
        {"ts 0x89ABCDEF, id 320", 320, 0x89ABCDEF,
         {0x01, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0, 0, 5, 0x12, 1, 0, 0, 0, 0x89, 0xAB, 0xCD, 0xEF}},
    };
    const auto body = pattern(5, 1);
    for (const Case &c : cases) {
        CaptureLink link;
        auto p = make_packet(c.channel, 0, 0x12, c.ts, body, 1);
        ASSERT_EQ(RTMP_SendPacket_v2(link.rtmp(), p.get(), 0), 1) << c.what;
        EXPECT_EQ(link.finish(), cat(c.header, body)) << c.what;
    }
}

TEST(ChunkWriter, BodyIsCutByTheChunkSizeWithContinuationHeaders)
{
    struct Case {
        const char *what;
        const Sender *send;
        int channel;
        int chunk_size;
        size_t body_len;
        std::vector<uint8_t> continuation;  // expected before every later chunk
        int chunks;
    };
    const Case cases[] = {
        {"exactly one chunk", &kV2, 4, 128, 128, {}, 1},
        {"one byte more", &kV2, 4, 128, 129, {0xC4}, 2},
        {"empty body: header alone", &kV2, 4, 128, 0, {}, 1},
        {"id 64", &kV2, 64, 128, 300, {0xC0, 0x00}, 3},
        {"id 320", &kV2, 320, 100, 301, {0xC1, 0x00, 0x01}, 4},
        {"chunk size 1", &kV2, 4, 1, 5, {0xC4}, 5},
        {"id 63 with _min", &kMin, 63, 128, 257, {0xFF}, 3},
        {"raised chunk size", &kMin, 6, 4096, 10000, {0xC6}, 3},
    };
    for (const Case &c : cases) {
        CaptureLink link;
        link.rtmp()->m_outChunkSize = c.chunk_size;
        const auto body = pattern(c.body_len, 3);
        auto p = make_packet(c.channel, 0, 9, 1000, body, 1);
        ASSERT_EQ((*c.send)(link.rtmp(), p.get()), 1) << c.what;
        EXPECT_EQ(body_of(p.get()), body) << c.what << ": the caller's body is as it was";
        auto wire = link.finish();
        int basic = c.channel <= 63 ? 1 : c.channel <= 319 ? 2 : 3;
        size_t first_header = size_t(basic) + 11;
        ASSERT_EQ(wire.size(), first_header + c.body_len + size_t(c.chunks - 1) * c.continuation.size()) << c.what;
        std::vector<uint8_t> expect(wire.begin(), wire.begin() + long(first_header));
        for (int i = 0; i < c.chunks; i++) {
            if (i > 0)
                expect.insert(expect.end(), c.continuation.begin(), c.continuation.end());
            size_t from = size_t(i) * size_t(c.chunk_size);
            size_t to = std::min(c.body_len, from + size_t(c.chunk_size));
            expect.insert(expect.end(), body.begin() + long(from), body.begin() + long(to));
        }
        EXPECT_EQ(wire, expect) << c.what;
    }
}

TEST(ChunkWriter, ExtendedTimestampFollowsEveryContinuationHeader)
{
    for (const Sender *send : {&kV2, &kMin}) {
        CaptureLink link;
        const auto body = pattern(300, 9);
        auto p = make_packet(6, 0, 9, 0x01000010, body, 1);
        ASSERT_EQ((*send)(link.rtmp(), p.get()), 1);
        auto wire = link.finish();
        const std::vector<uint8_t> ext = {0x01, 0x00, 0x00, 0x10};
        ASSERT_EQ(wire.size(), 16u + 300 + 2 * 5);
        EXPECT_EQ(std::vector<uint8_t>(wire.begin() + 12, wire.begin() + 16), ext);
        for (size_t at : {16u + 128, 16u + 128 + 5 + 128}) {
            EXPECT_EQ(wire[at], 0xC6);
            EXPECT_EQ(std::vector<uint8_t>(wire.begin() + long(at) + 1, wire.begin() + long(at) + 5), ext);
        }
        auto msgs = decode(wire);
        ASSERT_EQ(msgs.size(), 1u);
        EXPECT_EQ(msgs[0].timestamp, 0x01000010u);
        EXPECT_EQ(msgs[0].body, body);
    }
}

TEST(ChunkWriter, CompressionAgainstThePreviousMessageOfTheStream)
{
    struct Msg {
        uint8_t given;
        uint32_t ts;
        size_t len;
        uint8_t used;  // header type the writer chooses
    };
    struct Case {
        const char *what;
        std::vector<Msg> msgs;
    };
    const Case cases[] = {
        {"same size and type: 1 becomes 2", {{0, 0, 10, 0}, {1, 40, 10, 2}, {1, 80, 10, 2}}},
        {"different size stays 1", {{0, 0, 10, 0}, {1, 40, 11, 1}}},
        {"same timestamp too stays 2", {{0, 40, 10, 0}, {1, 40, 10, 2}, {2, 40, 10, 2}}},
        {"type 0 stays 0 and absolute", {{0, 0, 10, 0}, {0, 0x123, 10, 0}}},
        {"0, 40, 40, 80 keep their timestamps", {{0, 0, 10, 0}, {1, 40, 10, 2}, {1, 40, 10, 2}, {1, 80, 10, 2}}},
        {"delta of exactly 0xFFFFFF", {{0, 5, 10, 0}, {1, 5 + 0xFFFFFF, 10, 2}, {1, 6 + 0xFFFFFF, 10, 2}}},
        {"caller's type 3", {{0, 0, 10, 0}, {1, 40, 10, 2}, {3, 80, 10, 3}}},
    };
    for (const Case &c : cases) {
        CaptureLink link;
        uint8_t seed = 0;
        std::vector<std::vector<uint8_t>> bodies;
        for (const Msg &m : c.msgs) {
            bodies.push_back(pattern(m.len, seed++));
            auto p = make_packet(5, m.given, 8, m.ts, bodies.back(), 1);
            ASSERT_EQ(RTMP_SendPacket_v2(link.rtmp(), p.get(), 0), 1) << c.what;
            EXPECT_EQ(p->m_headerType, m.used) << c.what << " at " << m.ts;
        }
        auto msgs = decode(link.finish());
        ASSERT_EQ(msgs.size(), c.msgs.size()) << c.what;
        for (size_t i = 0; i < msgs.size(); i++) {
            EXPECT_EQ(msgs[i].fmt, c.msgs[i].used) << c.what << " #" << i;
            EXPECT_EQ(msgs[i].timestamp, c.msgs[i].ts) << c.what << " #" << i;
            EXPECT_EQ(msgs[i].body, bodies[i]) << c.what << " #" << i;
        }
    }
}

TEST(ChunkWriter, ADeltaOfExactly0xFFFFFFCarriesTheExtensionOn24BitsFull)
{
    CaptureLink link;
    auto a = make_packet(5, 0, 8, 5, {1, 2}, 1);
    auto b = make_packet(5, 1, 8, 5 + 0xFFFFFF, {3, 4, 5}, 1);
    ASSERT_EQ(RTMP_SendPacket_v2(link.rtmp(), a.get(), 0), 1);
    ASSERT_EQ(RTMP_SendPacket_v2(link.rtmp(), b.get(), 0), 1);
    auto wire = link.finish();
    const std::vector<uint8_t> second = {0x45, 0xFF, 0xFF, 0xFF, 0, 0, 3, 8, 0x00, 0xFF, 0xFF, 0xFF, 3, 4, 5};
    ASSERT_EQ(wire.size(), 14u + second.size());
    EXPECT_EQ(std::vector<uint8_t>(wire.begin() + 14, wire.end()), second);
}

TEST(ChunkWriter, RefusesWhatCannotBeWrittenSafelyAndWritesNothing)
{
    struct Case {
        const char *what;
        const Sender *send;
        int chunk_size;
        int channel;
        uint8_t header_type;
        bool no_body;
        uint32_t body_size;
        const char *log;
    };
    const Case cases[] = {
        {"header type 4", &kV2, 128, 4, 4, false, 10, "sanity failed!! trying to send header of type: 0x04."},
        {"header type 4, _min", &kMin, 128, 4, 4, false, 10, "sanity failed"},
        {"chunk size 0", &kV2, 0, 4, 0, false, 10, "chunk size"},
        {"chunk size -5", &kMin, -5, 4, 0, false, 10, "chunk size"},
        {"chunk stream 0", &kV2, 128, 0, 0, false, 10, "chunk stream id"},
        {"chunk stream 1", &kV2, 128, 1, 0, false, 10, "chunk stream id"},
        {"chunk stream 65600", &kV2, 128, 65600, 0, false, 10, "chunk stream id"},
        {"chunk stream 64 with _min", &kMin, 128, 64, 0, false, 10, "chunk stream id"},
        {"no body, size 10", &kV2, 128, 4, 0, true, 10, "no body"},
        {"body over 24 bits", &kV2, 128, 4, 0, false, 0x1000000, "24 bits"},
    };
    for (const Case &c : cases) {
        RtmpLogCapture log;
        CaptureLink link;
        link.rtmp()->m_outChunkSize = c.chunk_size;
        auto p = make_packet(c.channel, c.header_type, 9, 0, c.no_body ? std::vector<uint8_t>{} : pattern(10, 0), 1);
        p->m_nBodySize = c.body_size;
        EXPECT_EQ((*c.send)(link.rtmp(), p.get()), 0) << c.what;
        EXPECT_EQ(link.rtmp()->m_channelsAllocatedOut, 0) << c.what << ": nothing recorded";
        EXPECT_TRUE(link.finish().empty()) << c.what;
        EXPECT_TRUE(log.contains(c.log)) << c.what;
    }
}

TEST(ChunkWriter, RecordsTheLastMessageOfEachStreamInAGrowingTable)
{
    CaptureLink link;
    RTMP *r = link.rtmp();
    auto small = make_packet(3, 0, 0x14, 7, pattern(4, 0), 1);
    ASSERT_EQ(RTMP_SendPacket_v2(r, small.get(), 0), 1);
    ASSERT_GE(r->m_channelsAllocatedOut, 4);
    auto far = make_packet(65599, 0, 9, 9, pattern(4, 1), 1);
    ASSERT_EQ(RTMP_SendPacket_v2(r, far.get(), 0), 1);
    ASSERT_GE(r->m_channelsAllocatedOut, 65600);
    for (int ch : {0, 2, 4, 5000, 65598})
        EXPECT_EQ(r->m_vecChannelsOut[ch], nullptr) << ch;
    ASSERT_NE(r->m_vecChannelsOut[3], nullptr);
    EXPECT_EQ(r->m_vecChannelsOut[3]->m_nTimeStamp, 7u);
    ASSERT_NE(r->m_vecChannelsOut[65599], nullptr);
    EXPECT_EQ(r->m_vecChannelsOut[65599]->m_nTimeStamp, 9u);
    EXPECT_EQ(r->m_vecChannelsOut[65599]->m_body, far->m_body);
    // A later message on the far stream compresses against its record.
    auto next = make_packet(65599, 1, 9, 49, pattern(4, 2), 1);
    ASSERT_EQ(RTMP_SendPacket_v2(r, next.get(), 0), 1);
    EXPECT_EQ(next->m_headerType, 2);
    auto msgs = decode(link.finish());
    ASSERT_EQ(msgs.size(), 3u);
    EXPECT_EQ(msgs[2].csid, 65599u);
    EXPECT_EQ(msgs[2].timestamp, 49u);
}

TEST(ChunkWriter, AWriteOnAResetConnectionFailsAndCloses)
{
    CaptureLink link(false);
    RTMP *r = link.rtmp();
    auto first = make_packet(4, 0, 9, 10, pattern(20, 0), 1);
    ASSERT_EQ(RTMP_SendPacket_v2(r, first.get(), 0), 1);
    link.reset_by_peer();
    RtmpLogCapture log;
    auto second = make_packet(4, 0, 9, 20, pattern(20, 1), 1);
    EXPECT_EQ(RTMP_SendPacket_v2(r, second.get(), 0), 0);
    EXPECT_FALSE(RTMP_IsConnected(r));
    EXPECT_TRUE(log.contains("WriteN_v2, RTMP send error:"));
}

std::vector<uint8_t> invoke_body(const std::string &name, double txn)
{
    std::vector<uint8_t> b(3 + name.size() + 9);
    char *end = reinterpret_cast<char *>(b.data() + b.size());
    AVal av{const_cast<char *>(name.data()), int(name.size())};
    char *p = AMF_EncodeString(reinterpret_cast<char *>(b.data()), end, &av);
    p = AMF_EncodeNumber(p, end, txn);
    b.resize(size_t(p - reinterpret_cast<char *>(b.data())));
    return b;
}

TEST(ChunkWriter, InvocationsAreQueuedByTransactionNumberWhenAsked)
{
    struct Case {
        const char *what;
        std::vector<uint8_t> body;
        int use_queue;
        bool queued;
        int txn;
    };
    const Case cases[] = {
        {"queued, number truncated", invoke_body("releaseStream", 2.9), 1, true, 2},
        {"not asked", invoke_body("FCPublish", 3), 0, false, 0},
        {"body ends inside the name", {0x02, 0x00, 0x20, 'a', 'b'}, 1, false, 0},
        {"no transaction number", {0x02, 0x00, 0x02, 'a', 'b', 0x00, 0x40}, 1, false, 0},
        {"number out of int range", invoke_body("big", 1e12), 1, false, 0},
    };
    for (const Case &c : cases) {
        RtmpLogCapture log(RTMP_LOGDEBUG);
        CaptureLink link;
        RTMP *r = link.rtmp();
        auto p = make_packet(3, 0, 0x14, 0, c.body, 0);
        ASSERT_EQ(RTMP_SendPacket_v2(r, p.get(), c.use_queue), 1) << c.what;
        if (c.body.size() > 10) {
            EXPECT_TRUE(log.contains("Invoking ")) << c.what;
        }
        ASSERT_EQ(r->m_numCalls, c.queued ? 1 : 0) << c.what;
        if (c.queued) {
            EXPECT_EQ(r->m_methodCalls[0].num, c.txn);
            EXPECT_STREQ(r->m_methodCalls[0].name.av_val, "releaseStream");
            EXPECT_EQ(r->m_methodCalls[0].name.av_len, 13);
        }
    }
    // _min keeps no queue.
    CaptureLink link;
    auto p = make_packet(3, 0, 0x14, 0, invoke_body("x", 1), 0);
    ASSERT_EQ(RTMP_SendPacket_min(link.rtmp(), p.get()), 1);
    EXPECT_EQ(link.rtmp()->m_numCalls, 0);
}

TEST(ChunkWriter, TheQueueGrowsInBlocksOf16)
{
    CaptureLink link;
    RTMP *r = link.rtmp();
    std::vector<size_t> sizes;
    {
        AllocWatch watch(0);
        for (int i = 1; i <= 33; i++) {
            auto p = make_packet(3, 1, 0x14, 0, invoke_body("call" + std::to_string(i), i), 0);
            ASSERT_EQ(RTMP_SendPacket_v2(r, p.get(), 1), 1);
        }
        sizes = watch.realloc_sizes();
    }
    // One realloc for the channel table, then the queue at 0, 16 and 32.
    std::vector<size_t> queue_sizes;
    for (size_t s : sizes)
        if (s % sizeof(RTMP_METHOD) == 0 && s >= 16 * sizeof(RTMP_METHOD))
            queue_sizes.push_back(s / sizeof(RTMP_METHOD));
    EXPECT_EQ(queue_sizes, (std::vector<size_t>{16, 32, 48}));
    ASSERT_EQ(r->m_numCalls, 33);
    EXPECT_STREQ(r->m_methodCalls[16].name.av_val, "call17");
    EXPECT_EQ(r->m_methodCalls[32].num, 33);
    // The entries are ordinary heap blocks: librtmp's close releases them
    // (LeakSanitizer checks it in the sanitizer build).
}

// A server reply as one chunk on chunk stream 3: method, transaction
// number, null, null.
std::vector<uint8_t> reply(const std::string &method, double txn)
{
    auto body = invoke_body(method, txn);
    body.push_back(0x05);
    body.push_back(0x05);
    uint32_t n = uint32_t(body.size());
    std::vector<uint8_t> chunk = {0x03, 0, 0, 0, uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n), 0x14, 0, 0, 0, 0};
    return cat(chunk, body);
}

TEST(ChunkWriter, QueuedInvocationsAreReleasedByTheReplyPath)
{
    CaptureLink link;
    RTMP *r = link.rtmp();
    r->Link.protocol = RTMP_FEATURE_WRITE;
    for (int i = 1; i <= 20; i++) {
        auto p = make_packet(3, 1, 0x14, 0, invoke_body(i % 2 ? "releaseStream" : "FCPublish", i), 0);
        ASSERT_EQ(RTMP_SendPacket_v2(r, p.get(), 1), 1);
    }
    ASSERT_EQ(r->m_numCalls, 20);
    // The server answers half with _result (librtmp's handler) and half
    // with _error (the publisher-authentication check), then hangs up.
    std::vector<uint8_t> replies;
    for (int i = 1; i <= 20; i++)
        replies = cat(replies, reply(i <= 10 ? "_result" : "_error", i));
    ASSERT_EQ(::write(link.peer(), replies.data(), replies.size()), ssize_t(replies.size()));
    ::shutdown(link.peer(), SHUT_WR);
    AVal user{nullptr, 0}, pass{nullptr, 0};
    int is_uri_alloc = 0, is_need_reconnect = 0;
    EXPECT_EQ(RTMP_ConnectStream_v2(r, 0, &user, &pass, &is_uri_alloc, &is_need_reconnect), 0);
    EXPECT_EQ(is_need_reconnect, 0);
    EXPECT_EQ(r->m_numCalls, 0) << "every entry matched and released (LeakSanitizer checks the names)";
}

TEST(ChunkWriter, OutOfMemoryWritesNothingAndRecordsNothing)
{
    const size_t table = (4 + 10) * sizeof(RTMPPacket *);
    const size_t tbuf = 12 + 1000 + 7;  // first header, body, 7 continuation headers
    struct Case {
        const char *what;
        size_t fail_malloc, fail_realloc;
        bool tunnel;
    };
    const Case cases[] = {
        {"channel table", 0, table, false},
        {"channel record", sizeof(RTMPPacket), 0, false},
        {"tunnel collection buffer", tbuf, 0, true},
    };
    for (const Case &c : cases) {
        RtmpLogCapture log;
        CaptureLink link;
        RTMP *r = link.rtmp();
        if (c.tunnel)
            r->Link.protocol = RTMP_FEATURE_HTTP;
        auto p = make_packet(4, 0, 9, 0, pattern(1000, 0), 1);
        {
            AllocWatch watch(c.fail_malloc, c.fail_malloc != 0, c.fail_realloc);
            EXPECT_EQ(RTMP_SendPacket_v2(r, p.get(), 0), 0) << c.what;
        }
        EXPECT_TRUE(r->m_channelsAllocatedOut <= 4 || r->m_vecChannelsOut[4] == nullptr) << c.what;
        EXPECT_TRUE(log.contains("no memory")) << c.what;
        EXPECT_TRUE(link.finish().empty()) << c.what;
    }
}

TEST(ChunkWriter, AnInvocationTheQueueCannotTakeIsStillSent)
{
    RtmpLogCapture log;
    CaptureLink link;
    RTMP *r = link.rtmp();
    auto p = make_packet(3, 0, 0x14, 0, invoke_body("releaseStream", 1), 0);
    {
        AllocWatch watch(0, false, 16 * sizeof(RTMP_METHOD));
        EXPECT_EQ(RTMP_SendPacket_v2(r, p.get(), 1), 1);
    }
    EXPECT_EQ(r->m_numCalls, 0);
    EXPECT_TRUE(log.contains("AV_queue_v2: no memory; releaseStream not queued"));
    EXPECT_EQ(decode(link.finish()).size(), 1u);
}

TEST(ChunkWriter, SetChunkSizeRaisesTheCutForTheDecoder)
{
    CaptureLink link;
    RTMP *r = link.rtmp();
    auto scs = make_packet(2, 0, 1, 0, {0x00, 0x00, 0x10, 0x00}, 0);
    ASSERT_EQ(RTMP_SendPacket_min(r, scs.get()), 1);
    r->m_outChunkSize = 4096;
    const auto body = pattern(9000, 5);
    auto v = make_packet(6, 0, 9, 33, body, 1);
    ASSERT_EQ(RTMP_SendPacket_v2(r, v.get(), 0), 1);
    auto wire = link.finish();
    EXPECT_EQ(wire.size(), 16u + 12 + 9000 + 2);
    auto msgs = decode(wire);
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_EQ(msgs[1].body, body);
}

}  // namespace
