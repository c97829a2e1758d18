// The socket writer on real loopback TCP: RC4 on encrypted links, send
// errors sorted into retry and close, and draining pending input.
#include "ChunksSupport.h"
#include "RTMPDumpUtilInternal.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <nettle/arcfour.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

using namespace chunks_test;

namespace {

std::vector<uint8_t> unhex(const char *hex)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
    return out;
}

// librtmp frees the key state when it closes the link: a heap block.
arcfour_ctx *new_key(const std::string &key)
{
    auto *ctx = static_cast<arcfour_ctx *>(std::malloc(sizeof(arcfour_ctx)));
    arcfour_set_key(ctx, key.size(), reinterpret_cast<const uint8_t *>(key.data()));
    return ctx;
}

std::vector<uint8_t> rc4(const std::string &key, const std::vector<uint8_t> &in)
{
    arcfour_ctx ctx;
    arcfour_set_key(&ctx, key.size(), reinterpret_cast<const uint8_t *>(key.data()));
    std::vector<uint8_t> out(in.size());
    arcfour_crypt(&ctx, in.size(), out.data(), in.data());
    return out;
}

int write_n(RTMP *r, const std::vector<uint8_t> &b, int *err, int *closed)
{
    return WriteN_v2(r, reinterpret_cast<const char *>(b.data()), int(b.size()), err, closed);
}

TEST(SocketWriter, Rc4KeyStreamAppliedAcrossWritesCallerBytesUnchanged)
{
    struct Case {
        const char *key, *plain, *cipher;  // published RC4 test vectors
    };
    const Case cases[] = {
        {"Key", "Plaintext", "BBF316E8D940AF0AD3"},
        {"Wiki", "pedia", "1021BF0420"},
        {"Secret", "Attack at dawn", "45A01F645FC35B383552544B9BF5"},
    };
    for (const Case &c : cases) {
        CaptureLink link;
        link.rtmp()->Link.rc4keyOut = new_key(c.key);
        std::string plain = c.plain;
        std::vector<uint8_t> first(plain.begin(), plain.begin() + 3), rest(plain.begin() + 3, plain.end());
        const auto first_copy = first, rest_copy = rest;
        int err = 7, closed = 7;
        ASSERT_EQ(write_n(link.rtmp(), first, &err, &closed), 1) << c.key;
        ASSERT_EQ(write_n(link.rtmp(), rest, &err, &closed), 1) << c.key;
        EXPECT_EQ(err, 7) << "untouched on success";
        EXPECT_EQ(closed, 7);
        EXPECT_EQ(first, first_copy);
        EXPECT_EQ(rest, rest_copy);
        EXPECT_EQ(link.finish(), unhex(c.cipher)) << c.key;
    }
}

TEST(SocketWriter, EncryptionUsesTheStackUpTo16384BytesAndFreesItsHeapBlock)
{
    struct Case {
        size_t len;
        bool peer_resets;
        int result, heap_blocks;
    };
    const Case cases[] = {
        {16384, false, 1, 0},
        {16385, false, 1, 1},
        {16385, true, 0, 1},
        {100000, false, 1, 1},
    };
    for (const Case &c : cases) {
        CaptureLink link(!c.peer_resets);
        link.rtmp()->Link.rc4keyOut = new_key("tavrel");
        if (c.peer_resets)
            link.reset_by_peer();
        const auto plain = pattern(c.len, 11);
        int err = 0, closed = 0;
        AllocWatch watch(c.len);
        EXPECT_EQ(write_n(link.rtmp(), plain, &err, &closed), c.result) << c.len;
        EXPECT_EQ(watch.allocs(), c.heap_blocks) << c.len;
        EXPECT_EQ(watch.frees(), c.heap_blocks) << c.len;
        if (!c.peer_resets) {
            EXPECT_EQ(link.finish(), rc4("tavrel", plain)) << c.len;
        }
    }
}

TEST(SocketWriter, NoMemoryToEncryptSendsNothingAndKeepsTheConnection)
{
    RtmpLogCapture log;
    CaptureLink link;
    link.rtmp()->Link.rc4keyOut = new_key("tavrel");
    int err = 9, closed = 9;
    {
        AllocWatch watch(16385, true);
        EXPECT_EQ(write_n(link.rtmp(), pattern(16385, 0), &err, &closed), 0);
    }
    EXPECT_EQ(err, 0);
    EXPECT_EQ(closed, 0);
    EXPECT_TRUE(RTMP_IsConnected(link.rtmp()));
    EXPECT_TRUE(log.contains("WriteN_v2, no memory to encrypt 16385 bytes"));
    // The key stream has not moved: the next write starts it.
    const auto plain = pattern(100, 1);
    EXPECT_EQ(write_n(link.rtmp(), plain, &err, &closed), 1);
    EXPECT_EQ(link.finish(), rc4("tavrel", plain));
}

TEST(SocketWriter, APeerResetClosesTheConnection)
{
    RtmpLogCapture log;
    CaptureLink link(false);
    link.reset_by_peer();
    int err = 0, closed = 0;
    EXPECT_EQ(write_n(link.rtmp(), pattern(100, 0), &err, &closed), 0);
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(err, -1) << "the write's result, not errno";
    EXPECT_FALSE(RTMP_IsConnected(link.rtmp()));
    bool logged = log.contains("WriteN_v2, RTMP send error:104, remaining to send:100, is recoverable:0") ||
                  log.contains("WriteN_v2, RTMP send error:32, remaining to send:100, is recoverable:0");
    EXPECT_TRUE(logged);
}

TEST(SocketWriter, ASendThatTakesNothingFailsWithoutClosing)
{
    RtmpLogCapture log;
    CaptureLink link;
    int err = 9, closed = 9;
    {
        SendWatch watch({{0, 0, 0}});
        EXPECT_EQ(write_n(link.rtmp(), pattern(10, 0), &err, &closed), 0);
    }
    EXPECT_EQ(err, 0);
    EXPECT_EQ(closed, 0);
    EXPECT_TRUE(RTMP_IsConnected(link.rtmp()));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_TRUE(link.finish().empty());
}

TEST(SocketWriter, AZeroLengthWriteSendsNothingAndSucceeds)
{
    CaptureLink link;
    int err = 5, closed = 5;
    EXPECT_EQ(WriteN_v2(link.rtmp(), "", 0, &err, &closed), 1);
    EXPECT_EQ(err, 5);
    EXPECT_TRUE(link.finish().empty());
}

void on_signal(int) {}

// Fills the kernel buffers between the two ends, so that the next
// blocking send waits until the peer reads.
size_t fill_buffers(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    std::vector<char> junk(4096, 'j');
    size_t filled = 0;
    for (;;) {
        ssize_t n = send(fd, junk.data(), junk.size(), MSG_NOSIGNAL);
        if (n <= 0)
            break;
        filled += size_t(n);
    }
    fcntl(fd, F_SETFL, flags);
    return filled;
}

TEST(SocketWriter, InterruptedWritesAreRetriedUnlessStopRequested)
{
    struct sigaction sa {};
    sa.sa_handler = on_signal;  // no SA_RESTART: send returns EINTR
    sigemptyset(&sa.sa_mask);
    struct sigaction old {};
    sigaction(SIGUSR1, &sa, &old);

    struct Case {
        const char *what;
        int ctrl_c;
        int result, closed;
        const char *log;
    };
    const Case cases[] = {
        {"EINTR is retried", 0, 1, 0, "WriteN_v2, RTMP send error:4, remaining to send:1000, is recoverable:1"},
        {"EINTR after a stop request closes", 1, 0, 1,
         "WriteN_v2, RTMP send error:4, remaining to send:1000, is recoverable:0"},
    };
    for (const Case &c : cases) {
        RtmpLogCapture log;
        CaptureLink link(false, 4096);
        int fd = link.rtmp()->m_sb.sb_socket;
        int sndbuf = 4096;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
        size_t filled = fill_buffers(fd);
        RTMP_ctrlC = c.ctrl_c;
        const auto msg = pattern(1000, 42);
        std::atomic<int> result{-1};
        int err = 0, closed = 0;
        std::thread writer([&] { result = write_n(link.rtmp(), msg, &err, &closed); });
        for (int i = 0; i < 500 && !log.contains("RTMP send error:4,"); i++) {
            pthread_kill(writer.native_handle(), SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        link.start_reader();
        writer.join();
        RTMP_ctrlC = 0;
        EXPECT_TRUE(log.contains(c.log)) << c.what;
        EXPECT_EQ(result.load(), c.result) << c.what;
        EXPECT_EQ(closed, c.closed) << c.what;
        auto wire = link.finish();
        if (c.result == 1) {
            ASSERT_EQ(wire.size(), filled + msg.size()) << c.what;
            EXPECT_EQ(std::vector<uint8_t>(wire.end() - long(msg.size()), wire.end()), msg) << c.what;
        } else {
            // A send interrupted after taking part of the bytes returns that
            // part; only the rest is lost with the connection.
            EXPECT_LT(wire.size(), filled + msg.size()) << c.what;
        }
    }
    sigaction(SIGUSR1, &old, nullptr);
}

TEST(SocketWriter, WouldBlockIsFatal)
{
    RtmpLogCapture log;
    CaptureLink link(false, 4096);
    int fd = link.rtmp()->m_sb.sb_socket;
    fill_buffers(fd);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    int err = 0, closed = 0;
    EXPECT_EQ(write_n(link.rtmp(), pattern(10, 0), &err, &closed), 0);
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(err, -1);
    EXPECT_FALSE(RTMP_IsConnected(link.rtmp()));
    EXPECT_TRUE(log.contains("RTMP send error:11, remaining to send:10, is recoverable:0"));
}

int pending(int fd)
{
    int n = 0;
    ioctl(fd, FIONREAD, &n);
    return n;
}

void wait_pending(int fd, int n)
{
    for (int i = 0; i < 500 && pending(fd) < n; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

TEST(SocketWriter, DiscardDrainsWhatWaitsInPiecesOf512)
{
    struct Case {
        const char *what;
        size_t waiting;
        int inject_at;  // recv call answered by the injection
        ssize_t inject_result;
        int inject_errno;
        int result;
        std::vector<size_t> requests;
    };
    const Case cases[] = {
        {"nothing waits", 0, -1, 0, 0, 0, {}},
        {"1300 bytes", 1300, -1, 0, 0, 0, {512, 512, 276}},
        {"exactly 512", 512, -1, 0, 0, 0, {512}},
        {"read error: its errno", 1300, 1, -1, ECONNRESET, ECONNRESET, {512, 512}},
        {"server closed: -3", 1300, 0, 0, 0, -3, {512}},
    };
    for (const Case &c : cases) {
        RtmpLogCapture log;
        CaptureLink link(false);
        int fd = link.rtmp()->m_sb.sb_socket;
        auto data = pattern(c.waiting, 0);
        if (!data.empty()) {
            ASSERT_EQ(::write(link.peer(), data.data(), data.size()), ssize_t(data.size()));
        }
        wait_pending(fd, int(c.waiting));
        RecvWatch watch(c.inject_at, c.inject_result, c.inject_errno);
        EXPECT_EQ(discard_recv_data(link.rtmp()), c.result) << c.what;
        EXPECT_EQ(watch.requests(), c.requests) << c.what;
        if (c.result == 0) {
            EXPECT_EQ(pending(fd), 0) << c.what;
        }
        if (c.inject_errno) {
            EXPECT_TRUE(log.contains("recv err: 104 (276 [B])")) << c.what;
        }
    }
    EXPECT_EQ(discard_recv_data(nullptr), -1);
    RTMP closed;
    RTMP_Init(&closed);  // no socket: the count cannot be asked for
    EXPECT_EQ(discard_recv_data(&closed), -2);
}

}  // namespace
