// The message writer against librtmp's own sender: the same bytes and the
// same chunk-stream records and invocation queue for a table of messages,
// the mended extended timestamps, one call per message on every link, and
// the way it carries on after short writes and interruptions.
#include "ChunksSupport.h"
#include "RTMPDumpUtilInternal.h"
#include "RtmpChunks.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <nettle/arcfour.h>
#include <sys/socket.h>

#include <cstring>
#include <functional>

using namespace chunks_test;
using Bytes = std::vector<uint8_t>;

namespace {

struct Msg {
    int channel;
    uint8_t header_type;
    uint8_t type;
    uint32_t ts;
    uint32_t body_len;
    Bytes body = {};  // pattern(body_len) when empty
};

Bytes body_of(const Msg &m, size_t i)
{
    return m.body.empty() ? pattern(m.body_len, uint8_t(7 * i + 1)) : m.body;
}

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes slice(const Bytes &b, size_t from, size_t to) { return Bytes(b.begin() + long(from), b.begin() + long(to)); }

// A method invocation as a client sends it: name, transaction number, null.
Bytes invocation(const char *name, double txn)
{
    char buf[128];
    AVal av = {const_cast<char *>(name), int(std::strlen(name))};
    char *p = AMF_EncodeString(buf, buf + sizeof buf, &av);
    p = AMF_EncodeNumber(p, buf + sizeof buf, txn);
    *p++ = AMF_NULL;
    return Bytes(buf, p);
}

// What one sender left behind: its bytes, the record of each message's
// chunk stream right after it, and the invocation queue.
struct Outcome {
    Bytes wire;
    uint64_t written = 0;  // as the writer counted them
    std::vector<RTMPPacket> records;
    std::vector<std::pair<std::string, int>> calls;
};

using Sender = std::function<int(RTMP *, RTMPPacket *)>;

// The messages in a chunk stream cut at chunk_size, as a receiver reads
// them (told the size first, as a Set Chunk Size would).
std::vector<tavrel_testing::RtmpMessage> decode(const Bytes &wire, int chunk_size)
{
    const uint32_t cs = uint32_t(chunk_size);
    const Bytes set_chunk_size = {0x02, 0, 0, 0, 0, 0, 4, 1, 0, 0, 0, 0, uint8_t(cs >> 24), uint8_t(cs >> 16),
                                  uint8_t(cs >> 8), uint8_t(cs)};
    tavrel_testing::ChunkDecoder d;
    EXPECT_TRUE(d.feed(set_chunk_size.data(), set_chunk_size.size()));
    EXPECT_TRUE(d.feed(wire.data(), wire.size()));
    EXPECT_EQ(d.pending_bytes(), 0u);
    return std::vector<tavrel_testing::RtmpMessage>(d.messages().begin() + 1, d.messages().end());
}

Outcome run(const std::vector<Msg> &msgs, int chunk_size, const Sender &send,
            const std::function<void(RTMP *)> &set_up_link = nullptr)
{
    CaptureLink link;
    RTMP *r = link.rtmp();
    r->m_outChunkSize = chunk_size;
    if (set_up_link)
        set_up_link(r);
    Outcome o;
    for (size_t i = 0; i < msgs.size(); i++) {
        const Msg &m = msgs[i];
        auto p = make_packet(m.channel, m.header_type, m.type, m.ts, body_of(m, i), 1);
        EXPECT_EQ(send(r, p.get()), 1) << "message " << i;
        o.records.push_back(*r->m_vecChannelsOut[m.channel]);
    }
    for (int i = 0; i < r->m_numCalls; i++)
        o.calls.emplace_back(r->m_methodCalls[i].name.av_val, r->m_methodCalls[i].num);
    o.wire = link.finish();
    return o;
}

Outcome run_librtmp(const std::vector<Msg> &msgs, int chunk_size)
{
    return run(msgs, chunk_size, [](RTMP *r, RTMPPacket *p) { return RTMP_SendPacket(r, p, TRUE); });
}

Outcome run_ours(const std::vector<Msg> &msgs, int chunk_size, const std::function<void(RTMP *)> &set_up_link = nullptr)
{
    tavrel::MessageWriter *w = tavrel::message_writer_new(nullptr);
    Outcome o = run(
        msgs, chunk_size, [w](RTMP *r, RTMPPacket *p) { return tavrel::send_packet_body(w, r, p, 1); }, set_up_link);
    o.written = tavrel::message_writer_bytes_written(w);
    tavrel::message_writer_free(w);
    return o;
}

TEST(MessageWriter, SameBytesRecordsAndQueueAsLibrtmpsSender)
{
    struct Case {
        const char *what;
        int chunk_size;
        std::vector<Msg> msgs;
        Bytes deviation = {};  // the expected bytes where they are not librtmp's
        int last_header_type = -1;  // the last record's, where it is not librtmp's
    };
    const Bytes b6 = pattern(6, 1), b4a = pattern(4, 1), b4b = pattern(4, 8), b4c = pattern(4, 15);
    const Case cases[] = {
        {"body of exactly the chunk size", 128, {{4, 0, 9, 1000, 128}}},
        {"one byte over", 128, {{4, 0, 9, 1000, 129}}},
        {"empty body", 128, {{5, 0, 0x12, 0, 0}}},
        {"chunk size 1", 1, {{4, 0, 9, 7, 40}}},
        {"more pieces than one call takes", 1, {{4, 0, 9, 7, 3000}}},
        {"chunk size 4096", 4096, {{4, 0, 9, 1000, 9000}}},
        {"ids 63 and 64 (2-byte form)", 128, {{63, 0, 8, 5, 300}, {64, 0, 8, 5, 300}}},
        {"ids 319 and 320 (3-byte form)", 128, {{319, 0, 8, 5, 300}, {320, 0, 9, 6, 300}}},
        {"id 65599", 128, {{65599, 0, 8, 5, 300}}},
        {"type 1, same size and type: 2", 128, {{4, 0, 8, 0, 100}, {4, 1, 8, 40, 100}}},
        {"type 1, other size: stays 1", 128, {{4, 0, 8, 0, 100}, {4, 1, 8, 40, 90}}},
        {"type 2 given", 128, {{4, 0, 8, 0, 100}, {4, 2, 8, 40, 100}}},
        {"type 3 given", 128, {{4, 0, 8, 0, 200}, {4, 1, 8, 40, 200}, {4, 3, 8, 80, 200}}},
        {"type 0 keeps the absolute time", 128, {{4, 0, 8, 0, 100}, {4, 1, 8, 40, 100}, {4, 0, 8, 80, 100}}},
        {"timestamp 0xFFFFFE", 128, {{4, 0, 9, 0xFFFFFE, 300}}},
        {"delta 0xFFFFFE", 128, {{4, 0, 8, 0, 10}, {4, 1, 8, 0xFFFFFE, 10}}},
        {"delta 0xFFFFFF, one chunk", 128, {{4, 0, 8, 0, 10}, {4, 1, 8, 0xFFFFFF, 10}}},
        {"timestamp 0x89ABCDEF, one chunk, id 320", 128, {{320, 0, 9, 0x89ABCDEF, 50}}},
        {"invocation queued", 128, {{3, 0, 0x14, 0, 0, invocation("FCPublish", 5)}}},
        // A continuation carries the extended timestamp of its message.
        {"continuations of an extended message", 4, {{4, 0, 9, 0x01000000, 6, b6}},
         cat({{0x04, 0xFF, 0xFF, 0xFF, 0, 0, 6, 9, 1, 0, 0, 0, 0x01, 0, 0, 0}, slice(b6, 0, 4),
              {0xC4, 0x01, 0, 0, 0}, slice(b6, 4, 6)})},
        // librtmp would send the third as type 3: 40 ms later at the receiver.
        {"an equal timestamp stays type 2", 128, {{4, 0, 8, 0, 4, b4a}, {4, 1, 8, 40, 4, b4b}, {4, 1, 8, 40, 4, b4c}},
         cat({{0x04, 0, 0, 0, 0, 0, 4, 8, 1, 0, 0, 0}, b4a, {0x84, 0, 0, 40}, b4b, {0x84, 0, 0, 0}, b4c}), 2},
        // The receiver reads the extended timestamp behind a type-3 header
        // when the chunk stream's last header had one.
        {"a type-3 message behind an extended delta", 128,
         {{4, 0, 8, 0, 4, b4a}, {4, 1, 8, 0x01000000, 4, b4b}, {4, 3, 8, 0x02000000, 4, b4c}},
         cat({{0x04, 0, 0, 0, 0, 0, 4, 8, 1, 0, 0, 0}, b4a, {0x84, 0xFF, 0xFF, 0xFF, 0x01, 0, 0, 0}, b4b,
              {0xC4, 0x01, 0, 0, 0}, b4c})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Outcome theirs = run_librtmp(c.msgs, c.chunk_size);
        SendWatch watch({});
        Outcome ours = run_ours(c.msgs, c.chunk_size);
        EXPECT_EQ(watch.calls(), int(c.msgs.size())) << "one write per message";
        EXPECT_EQ(ours.wire, c.deviation.empty() ? theirs.wire : c.deviation);
        EXPECT_EQ(ours.written, ours.wire.size());
        ASSERT_EQ(ours.records.size(), theirs.records.size());
        for (size_t i = 0; i < ours.records.size(); i++) {
            const RTMPPacket &o = ours.records[i], &t = theirs.records[i];
            const bool last = i + 1 == ours.records.size();
            EXPECT_EQ(o.m_headerType, last && c.last_header_type >= 0 ? c.last_header_type : t.m_headerType) << i;
            EXPECT_EQ(o.m_packetType, t.m_packetType) << i;
            EXPECT_EQ(o.m_nChannel, t.m_nChannel) << i;
            EXPECT_EQ(o.m_nTimeStamp, t.m_nTimeStamp) << i;
            EXPECT_EQ(o.m_nInfoField2, t.m_nInfoField2) << i;
            EXPECT_EQ(o.m_nBodySize, t.m_nBodySize) << i;
            EXPECT_EQ(o.m_hasAbsTimestamp, t.m_hasAbsTimestamp) << i;
        }
        EXPECT_EQ(ours.calls, theirs.calls);
        EXPECT_EQ(ours.calls.size(), c.msgs[0].type == RTMP_PACKET_TYPE_INVOKE ? 1u : 0u);
        // As nginx and FFmpeg read it: every message with its own time.
        auto got = decode(ours.wire, c.chunk_size);
        ASSERT_EQ(got.size(), c.msgs.size());
        for (size_t i = 0; i < c.msgs.size(); i++) {
            EXPECT_EQ(got[i].timestamp, c.msgs[i].ts) << i;
            EXPECT_EQ(got[i].body, body_of(c.msgs[i], i)) << i;
        }
    }
}

// One message on each kind of link: the same chunk stream in one call (one
// tunnel request, header and body), RTMPE's key stream over all of it.
TEST(MessageWriter, EveryLinkTakesTheMessageInOneCall)
{
    const std::vector<Msg> msg = {{4, 0, 9, 0x01000005, 1000}};
    const Bytes want = run_ours(msg, 128).wire;
    static char host[] = "127.0.0.1";
    static char client_id[] = "x7";
    static const uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    struct Case {
        const char *what;
        std::function<void(RTMP *)> set_up_link;
        int calls;
        std::function<Bytes(const Bytes &)> unwrap;
    };
    const Case cases[] = {
        {"plain socket", nullptr, 1, [](const Bytes &b) { return b; }},
        {"RTMPT tunnel",
         [](RTMP *r) {
             r->Link.protocol |= RTMP_FEATURE_HTTP;
             r->Link.hostname = AVal{host, 9};
             r->Link.port = 1935;
             r->m_clientID = AVal{client_id, 2};
         },
         2,
         [](const Bytes &b) {
             auto requests = parse_requests(b);
             EXPECT_EQ(requests.size(), 1u);
             return requests.empty() ? Bytes{} : requests[0].body;
         }},
        {"RTMPE",
         [](RTMP *r) {
             // librtmp's close frees the key record.
             auto *out = static_cast<arcfour_ctx *>(std::malloc(sizeof(arcfour_ctx)));
             arcfour_set_key(out, sizeof key, key);
             r->Link.rc4keyOut = out;
         },
         1,
         [](const Bytes &b) {
             arcfour_ctx in;
             arcfour_set_key(&in, sizeof key, key);
             Bytes plain(b.size());
             arcfour_crypt(&in, b.size(), plain.data(), b.data());
             return plain;
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SendWatch watch({});
        Outcome o = run_ours(msg, 128, c.set_up_link);
        EXPECT_EQ(watch.calls(), c.calls);
        EXPECT_EQ(c.unwrap(o.wire), want);
        EXPECT_EQ(o.written, want.size()) << "chunk stream bytes, not the link's framing";
    }
}

TEST(MessageWriter, ShortWritesAndInterruptionsContinueWhereTheyStopped)
{
    struct Layout {
        const char *what;
        std::vector<Msg> msg;
        int chunk_size;
    };
    // Small chunks are gathered into one buffer; large ones go out as
    // pieces, which a short write cuts anywhere.
    const Layout layouts[] = {
        {"gathered", {{4, 0, 9, 1000, 3000}}, 128},
        {"in pieces", {{4, 0, 9, 1000, 20000}}, 4096},
    };
    struct Case {
        const char *what;
        std::vector<SendInjection> injections;
        int calls;
    };
    const Case cases[] = {
        {"short write", {{0, 100, 0}}, 2},
        {"interrupted", {{0, 0, EINTR}}, 2},
        {"socket buffer full", {{0, 0, EAGAIN}}, 2},
        {"all in a row", {{0, 1, 0}, {1, 0, EINTR}, {2, 0, EAGAIN}, {3, 1000, 0}, {4, 7, 0}}, 6},
    };
    for (const Layout &l : layouts) {
        const Bytes want = run_librtmp(l.msg, l.chunk_size).wire;
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(l.what) + ", " + c.what);
            SendWatch watch(c.injections);
            EXPECT_EQ(run_ours(l.msg, l.chunk_size).wire, want);
            EXPECT_EQ(watch.calls(), c.calls);
        }
    }
}

// A write that fails, or a server that stopped reading once the socket's
// send timeout has passed (whether the socket blocks or not): the message
// is reported once and the connection closed.
TEST(MessageWriter, AFailedOrTimedOutWriteClosesTheConnection)
{
    struct Case {
        const char *what;
        int err;  // injected into the first write
        int ctrl_c;
        int stalled;  // 0: the peer reads; 1: it stopped; 2: and the socket does not block
    };
    const Case cases[] = {
        {"connection reset", ECONNRESET, 0, 0},
        {"interrupted while librtmp is told to stop", EINTR, 1, 0},
        {"peer stopped reading", 0, 0, 1},
        {"peer stopped reading, non-blocking socket", 0, 0, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        CaptureLink link(!c.stalled, 4096);
        RTMP *r = link.rtmp();
        timeval tv = {0, 200 * 1000};
        setsockopt(r->m_sb.sb_socket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        if (c.stalled == 2)
            fcntl(r->m_sb.sb_socket, F_SETFL, fcntl(r->m_sb.sb_socket, F_GETFL) | O_NONBLOCK);
        RtmpLogCapture log;
        tavrel::MessageWriter *w = tavrel::message_writer_new(r);
        const uint32_t len = c.stalled ? 8 << 20 : 1000;  // stalled: far more than the socket buffers hold
        auto p = make_packet(4, 0, 9, 0, Bytes(len, 0x27));
        RTMP_ctrlC = c.ctrl_c;
        {
            SendWatch watch(c.err ? std::vector<SendInjection>{{0, 0, c.err}} : std::vector<SendInjection>{});
            EXPECT_EQ(tavrel::send_packet_body(w, r, p.get(), 0), 0);
        }
        RTMP_ctrlC = 0;
        EXPECT_FALSE(RTMP_IsConnected(r));
        EXPECT_FALSE(log.lines().empty()) << "the failure is reported";
        EXPECT_LT(tavrel::message_writer_bytes_written(w), len);
        tavrel::message_writer_free(w);
    }
}

}  // namespace
