// Test tooling for the chunk, socket and tunnel writers: a librtmp record on
// one end of a real loopback TCP connection with the raw bytes collected on
// the other, librtmp's log captured, owned packets, an HTTP request parser
// and a watch on the heap calls our objects make.
#pragma once

#include <librtmp/log.h>
#include <librtmp/rtmp.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace chunks_test {

// A connected loopback TCP pair; both ends closed by the destructor unless
// taken.
struct TcpPair {
    TcpPair(int rcvbuf = 0);  // rcvbuf > 0: the accepting end's receive buffer
    ~TcpPair();
    int client = -1;  // ours
    int server = -1;  // the peer's
};

// An RTMP record whose socket is the client end of a TcpPair; with a
// reader, every byte that arrives at the peer is kept.
class CaptureLink {
public:
    explicit CaptureLink(bool start_reader = true, int rcvbuf = 0);
    ~CaptureLink();
    RTMP *rtmp() { return &r_; }
    int peer() const { return pair_.server; }
    void start_reader();
    // Closes our end (if still open) and returns everything the peer got.
    std::vector<uint8_t> finish();
    // Bytes received so far.
    size_t received();
    // Makes the peer reset the connection (RST) and waits until our end
    // has seen it.
    void reset_by_peer();

private:
    RTMP r_;
    TcpPair pair_;
    std::thread reader_;
    std::mutex mutex_;
    std::vector<uint8_t> bytes_;
    bool finished_ = false;
};

// librtmp's log lines at level `level` or more severe, while alive.
class RtmpLogCapture {
public:
    explicit RtmpLogCapture(int level = RTMP_LOGERROR);
    ~RtmpLogCapture();
    std::vector<std::string> lines() const;
    bool contains(const std::string &text) const;

private:
    static void callback(int level, const char *fmt, va_list args);
};

struct PacketDeleter {
    void operator()(RTMPPacket *p) const;
};
using PacketPtr = std::unique_ptr<RTMPPacket, PacketDeleter>;

// A packet with librtmp's body layout (18 bytes of room in front).
PacketPtr make_packet(int channel, uint8_t header_type, uint8_t type, uint32_t ts, const std::vector<uint8_t> &body,
                      int32_t stream_id = 1);
std::vector<uint8_t> body_of(const RTMPPacket *p);
std::vector<uint8_t> pattern(size_t n, uint8_t seed);

struct HttpRequest {
    std::string request_line;  // "POST /send/abc/7 HTTP/1.1"
    std::string header;        // everything up to and including the blank line
    long content_length = -1;
    std::vector<uint8_t> body;  // what actually followed the header
};
// Splits recorded bytes into requests. With allow_short, a body ends early
// where the next "POST /" starts (bodies must not contain that text).
std::vector<HttpRequest> parse_requests(const std::vector<uint8_t> &bytes, bool allow_short = false);

// Heap calls made from the objects linked into this test (ours: the
// linker wraps malloc, calloc, realloc and free).
struct AllocWatch {
    // Watches blocks of `size`; with fail, a malloc or calloc of that size
    // returns null (and is not counted); fail_realloc: a realloc to that
    // size does.
    explicit AllocWatch(size_t size, bool fail = false, size_t fail_realloc = 0);
    ~AllocWatch();
    int allocs() const;
    int frees() const;                       // of the watched blocks
    std::vector<size_t> realloc_sizes() const;  // every realloc while alive
};

// recv calls from our objects (wrapped too): the requested lengths, and
// optionally one call answered with a given result and errno instead.
struct RecvWatch {
    RecvWatch(int inject_at = -1, ssize_t result = 0, int err = 0);  // inject_at: 0-based call index
    ~RecvWatch();
    std::vector<size_t> requests() const;
};

// send and sendmsg calls from our objects (wrapped too). Each injection changes one
// call, counted from 0: with err set the call fails with that errno and
// sends nothing; otherwise at most `cap` bytes of it go out.
struct SendInjection {
    int call;
    size_t cap;
    int err;
};
struct SendWatch {
    explicit SendWatch(std::vector<SendInjection> injections);
    ~SendWatch();
    int calls() const;
};

}  // namespace chunks_test
