// The RTMPT tunnel: request bytes as a loopback HTTP listener receives
// them, counters, partial writes, and the chunk writer's coalescing.
#include "ChunksSupport.h"
#include "RTMPDumpUtilInternal.h"
#include "RtmpChunks.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

using namespace chunks_test;

namespace {

// The listener's end of a tunnel: the link is marked HTTP and names its
// host and client id the way librtmp's tunnel set-up leaves them (the id
// as the server gave it, behind a "/" librtmp puts in front).
struct Tunnel {
    explicit Tunnel(const char *client_id, const std::string &host = "media.example.org:ignored",
                    int host_len = 17, bool reader = true, int rcvbuf = 0)
        : link(reader, rcvbuf), host_text(host), id_text(client_id ? client_id : "")
    {
        RTMP *r = link.rtmp();
        r->Link.protocol = RTMP_FEATURE_HTTP;
        r->Link.hostname = AVal{&host_text[0], host_len};
        r->Link.port = 8080;
        r->m_clientID = client_id ? AVal{&id_text[0], int(id_text.size())} : AVal{nullptr, 0};
        r->m_msgCounter = 7;
        r->m_unackd = 3;
    }
    CaptureLink link;
    std::string host_text, id_text;
};

std::string expected_header(const std::string &line1_path, const std::string &host, long len)
{
    return "POST " + line1_path + " HTTP/1.1\r\nHost: " + host +
           ":8080\r\nAccept: */*\r\nUser-Agent: Shockwave Flash\nConnection: Keep-Alive\nCache-Control: "
           "no-cache\r\nContent-type: application/x-fcs\r\nContent-length: " +
           std::to_string(len) + "\r\n\r\n";
}

int write_n(RTMP *r, const std::vector<uint8_t> &b, int *err = nullptr, int *closed = nullptr)
{
    int e = 0, c = 0;
    return WriteN_v2(r, reinterpret_cast<const char *>(b.data()), int(b.size()), err ? err : &e,
                     closed ? closed : &c);
}

TEST(TunnelWriter, OneRequestPerWriteWithTheExactHeader)
{
    struct Case {
        const char *what;
        const char *client_id;
        size_t len;
        std::string path;
    };
    const Case cases[] = {
        {"with client id", "/abc123", 100, "/send/abc123/7"},
        {"no client id yet", nullptr, 100, "/send/7"},
        {"one byte", "/Z", 1, "/send/Z/7"},
        {"larger body", "/id", 70000, "/send/id/7"},
    };
    for (const Case &c : cases) {
        Tunnel t(c.client_id);
        const auto body = pattern(c.len, 1);
        ASSERT_EQ(write_n(t.link.rtmp(), body), 1) << c.what;
        EXPECT_EQ(t.link.rtmp()->m_msgCounter, 8) << c.what;
        EXPECT_EQ(t.link.rtmp()->m_unackd, 4) << c.what;
        auto wire = t.link.finish();
        std::string header = expected_header(c.path, "media.example.org", long(c.len));
        ASSERT_EQ(wire.size(), header.size() + c.len) << c.what;
        EXPECT_EQ(std::string(wire.begin(), wire.begin() + long(header.size())), header) << c.what;
        EXPECT_EQ(std::vector<uint8_t>(wire.begin() + long(header.size()), wire.end()), body) << c.what;
    }
}

TEST(TunnelWriter, EmptyWriteMakesNoRequest)
{
    Tunnel t("/abc");
    EXPECT_EQ(write_n(t.link.rtmp(), {}), 1);
    EXPECT_EQ(t.link.rtmp()->m_msgCounter, 7);
    EXPECT_TRUE(t.link.finish().empty());
}

TEST(TunnelWriter, AHeaderThatDoesNotFitIsNotSent)
{
    RtmpLogCapture log;
    std::string host(600, 'h');
    Tunnel t("/abc", host, int(host.size()));
    int err = 9, closed = 9;
    EXPECT_EQ(write_n(t.link.rtmp(), pattern(10, 0), &err, &closed), 0);
    EXPECT_EQ(closed, 0) << "the connection stays";
    EXPECT_EQ(err, 0);
    EXPECT_TRUE(RTMP_IsConnected(t.link.rtmp()));
    EXPECT_EQ(t.link.rtmp()->m_msgCounter, 7);
    EXPECT_TRUE(log.contains("HTTP_Post_v2, tunnel request header needs"));
    EXPECT_TRUE(t.link.finish().empty());
    // 511 characters still fit: a host of the largest length that does.
    std::string fits = expected_header("/send/abc/7", "", 10);
    std::string longest(511 - fits.size(), 'h');
    Tunnel u("/abc", longest, int(longest.size()));
    EXPECT_EQ(write_n(u.link.rtmp(), pattern(10, 0)), 1);
    Tunnel v("/abc", longest + "h", int(longest.size()) + 1);
    EXPECT_EQ(write_n(v.link.rtmp(), pattern(10, 0)), 0);
}

void on_signal(int) {}

TEST(TunnelWriter, APartialWriteContinuesInANewRequestWithTheNextCounter)
{
    struct sigaction sa {};
    sa.sa_handler = on_signal;  // no SA_RESTART: the send returns what it took
    sigemptyset(&sa.sa_mask);
    struct sigaction old {};
    sigaction(SIGUSR2, &sa, &old);

    Tunnel t("/cid", "media.example.org", 17, false, 4096);
    RTMP *r = t.link.rtmp();
    int sndbuf = 4096;
    setsockopt(r->m_sb.sb_socket, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    // Bytes that never spell "POST /", so that requests can be told apart
    // even when a body is cut short.
    std::vector<uint8_t> body(1 << 20);
    for (size_t i = 0; i < body.size(); i++)
        body[i] = static_cast<uint8_t>('a' + i % 26);
    std::atomic<int> result{-1};
    std::thread writer([&] { result = write_n(r, body); });
    // The body fills the buffers and the send blocks having taken part of
    // it; a signal ends that send with the count it took, and the writer
    // starts the next request (the counter moves on).
    for (int i = 0; i < 250 && __atomic_load_n(&r->m_msgCounter, __ATOMIC_SEQ_CST) == 7; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pthread_kill(writer.native_handle(), SIGUSR2);
    }
    t.link.start_reader();
    writer.join();
    sigaction(SIGUSR2, &old, nullptr);
    ASSERT_EQ(result.load(), 1);
    const int counter = r->m_msgCounter;  // librtmp's close resets it
    auto reqs = parse_requests(t.link.finish(), true);
    ASSERT_GE(reqs.size(), 2u) << "the first request was cut short";
    EXPECT_EQ(counter, 7 + int(reqs.size()));
    size_t sent = 0;
    for (size_t i = 0; i < reqs.size(); i++) {
        EXPECT_EQ(reqs[i].request_line, "POST /send/cid/" + std::to_string(7 + i) + " HTTP/1.1") << i;
        EXPECT_EQ(reqs[i].content_length, long(body.size() - sent)) << i << ": the rest of the bytes";
        EXPECT_GT(reqs[i].body.size(), 0u) << i;
        EXPECT_TRUE(std::equal(reqs[i].body.begin(), reqs[i].body.end(), body.begin() + long(sent))) << i;
        sent += reqs[i].body.size();
    }
    EXPECT_EQ(sent, body.size());
}

// Whether the header or the body send is interrupted, the server sees one
// whole request: no header without its body, no counter skipped.
TEST(TunnelWriter, AnInterruptedRequestGoesOutOnce)
{
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    struct sigaction old {};
    sigaction(SIGUSR2, &sa, &old);

    for (int round = 0; round < 3; round++) {
        Tunnel t("/cid", "media.example.org", 17, false, 4096);
        RTMP *r = t.link.rtmp();
        int fd = r->m_sb.sb_socket;
        int sndbuf = 4096;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
        // Fill the buffers so that the request's first send blocks.
        int flags = fcntl(fd, F_GETFL);
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        std::vector<char> junk(4096, 'j');
        size_t filled = 0;
        for (ssize_t n; (n = send(fd, junk.data(), junk.size(), MSG_NOSIGNAL)) > 0;)
            filled += size_t(n);
        fcntl(fd, F_SETFL, flags);

        std::vector<uint8_t> body(1000);
        for (size_t i = 0; i < body.size(); i++)
            body[i] = static_cast<uint8_t>('a' + i % 26);
        std::atomic<int> result{-1};
        std::thread writer([&] { result = write_n(r, body); });
        std::this_thread::sleep_for(std::chrono::milliseconds(50 + 50 * round));
        pthread_kill(writer.native_handle(), SIGUSR2);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        t.link.start_reader();
        writer.join();
        ASSERT_EQ(result.load(), 1);
        const int counter = r->m_msgCounter;
        auto wire = t.link.finish();
        ASSERT_GE(wire.size(), filled);
        auto reqs = parse_requests(std::vector<uint8_t>(wire.begin() + long(filled), wire.end()));
        ASSERT_EQ(reqs.size(), 1u) << round;
        EXPECT_EQ(reqs[0].request_line, "POST /send/cid/7 HTTP/1.1");
        EXPECT_EQ(reqs[0].body, body);
        EXPECT_EQ(counter, 8);
    }
    sigaction(SIGUSR2, &old, nullptr);
}

// The same, call by call: which send is interrupted or falls short, and
// what the server then receives.
TEST(TunnelWriter, InterruptionsAndShortSendsCallByCall)
{
    struct Case {
        const char *what;
        std::vector<SendInjection> inject;  // call 0 is the first header
        std::vector<size_t> bodies;         // body bytes of each request
    };
    const Case cases[] = {
        {"header interrupted: the request is made again", {{0, 0, EINTR}}, {1000}},
        {"body interrupted: only the body is sent again", {{1, 0, EINTR}}, {1000}},
        {"header short: the header is finished", {{0, 50, 0}}, {1000}},
        {"header short, then interrupted", {{0, 50, 0}, {1, 0, EINTR}}, {1000}},
        {"body short: the rest in the next request", {{1, 100, 0}}, {100, 900}},
        {"body short twice", {{1, 100, 0}, {3, 1, 0}}, {100, 1, 899}},
    };
    std::vector<uint8_t> body(1000);
    for (size_t i = 0; i < body.size(); i++)
        body[i] = static_cast<uint8_t>('a' + i % 26);
    for (const Case &c : cases) {
        Tunnel t("/cid");
        RTMP *r = t.link.rtmp();
        {
            SendWatch watch(c.inject);
            ASSERT_EQ(write_n(r, body), 1) << c.what;
        }
        const int counter = r->m_msgCounter;
        auto reqs = parse_requests(t.link.finish(), true);
        ASSERT_EQ(reqs.size(), c.bodies.size()) << c.what;
        EXPECT_EQ(counter, 7 + int(reqs.size())) << c.what;
        size_t sent = 0;
        for (size_t i = 0; i < reqs.size(); i++) {
            EXPECT_EQ(reqs[i].request_line, "POST /send/cid/" + std::to_string(7 + i) + " HTTP/1.1") << c.what;
            EXPECT_EQ(reqs[i].content_length, long(body.size() - sent)) << c.what;
            EXPECT_EQ(reqs[i].body.size(), c.bodies[i]) << c.what << " #" << i;
            EXPECT_TRUE(std::equal(reqs[i].body.begin(), reqs[i].body.end(), body.begin() + long(sent))) << c.what;
            sent += reqs[i].body.size();
        }
        EXPECT_EQ(sent, body.size()) << c.what;
    }
}

// The chunk writer through the tunnel: _v2 sends a message of many chunks
// as one request, _min one request per chunk. The bodies, joined, are the
// chunk stream.
TEST(TunnelWriter, ChunkWriterRequestsDecodeToTheMessages)
{
    struct Case {
        int channel;
        uint32_t ts;
        size_t len;
        int chunk_size;
    };
    std::vector<Case> cases;
    for (int channel : {4, 63, 64, 319, 320, 65599})
        for (uint32_t ts : {0u, 0xFFFFFFu, 0x12345678u})
            for (size_t len : {0, 1, 127, 128, 129, 1000, 70000})
                for (int chunk_size : {1, 128, 4096})
                    if (!(chunk_size == 1 && len > 1000))
                        cases.push_back({channel, ts, len, chunk_size});
    for (bool full : {true, false}) {
        for (const Case &c : cases) {
            if (!full && c.channel > 63)
                continue;
            Tunnel t("/tb");
            RTMP *r = t.link.rtmp();
            r->m_outChunkSize = c.chunk_size;
            const auto body = pattern(c.len, uint8_t(c.channel));
            auto p = make_packet(c.channel, 0, 9, c.ts, body, 1);
            int ok = full ? RTMP_SendPacket_v2(r, p.get(), 0) : RTMP_SendPacket_min(r, p.get());
            std::string what = std::string(full ? "_v2" : "_min") + " id " + std::to_string(c.channel) + " ts " +
                               std::to_string(c.ts) + " len " + std::to_string(c.len) + " chunk " +
                               std::to_string(c.chunk_size);
            ASSERT_EQ(ok, 1) << what;
            size_t chunks = c.len == 0 ? 1 : (c.len + size_t(c.chunk_size) - 1) / size_t(c.chunk_size);
            int requests = r->m_msgCounter - 7;
            auto reqs = parse_requests(t.link.finish());
            ASSERT_EQ(reqs.size(), size_t(requests)) << what;
            EXPECT_EQ(size_t(requests), full ? 1 : chunks) << what;
            std::vector<uint8_t> stream;
            for (const auto &q : reqs) {
                EXPECT_EQ(long(q.body.size()), q.content_length) << what;
                stream.insert(stream.end(), q.body.begin(), q.body.end());
            }
            tavrel_testing::ChunkDecoder d;
            // The decoder starts at 128: tell it the chunk size first.
            std::vector<uint8_t> scs = {0x02, 0, 0, 0, 0, 0, 4, 1, 0, 0, 0, 0, 0, 0, 0, 0};
            uint32_t cs = uint32_t(c.chunk_size);
            scs[12] = uint8_t(cs >> 24), scs[13] = uint8_t(cs >> 16), scs[14] = uint8_t(cs >> 8), scs[15] = uint8_t(cs);
            ASSERT_TRUE(d.feed(scs.data(), scs.size()));
            ASSERT_TRUE(d.feed(stream.data(), stream.size())) << what;
            ASSERT_EQ(d.messages().size(), 2u) << what;
            EXPECT_EQ(d.messages()[1].csid, uint32_t(c.channel)) << what;
            EXPECT_EQ(d.messages()[1].timestamp, c.ts) << what;
            EXPECT_EQ(d.messages()[1].body, body) << what;
            EXPECT_EQ(body_of(p.get()), body) << what;
        }
    }
}

}  // namespace
