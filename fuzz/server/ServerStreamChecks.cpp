#include "ServerStreamChecks.h"
#include "../common/FuzzCheck.h"

#include "RTMPDumpUtilInternal.h"
#include "RtmpChunks.h"
#include "Tavrel.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// Whatever the server sends in one input must fit into the socket buffers,
// so that it is all written before the connect and no thread is needed.
constexpr size_t kMaxInput = 256 * 1024;
// A connect makes one connection plus one per authentication round.
constexpr int kMaxConnections = 4;
constexpr size_t kSigSize = 1536;
constexpr uint8_t kRtmpVersion = 3;  // C0
constexpr size_t kClientHandshake = 1 + 2 * kSigSize;  // C0, C1, C2
// Room for everything the client writes while nobody reads: its answers
// to a server that asks for one (pings, acknowledgements) per message.
constexpr int kClientSendBuffer = 8 << 20;
constexpr uint8_t kCommand = 0x14;

// How the connect reaches the server: plain, or through the HTTP tunnel,
// where every unit is one of the server's answers, written as it is.
struct Link {
    const char *url;
    bool tunnelled;
};
constexpr Link kPlain = {"rtmp://fuzz.invalid/live/stream", false};
constexpr Link kTunnel = {"rtmpt://fuzz.invalid/live/stream", true};

enum Mark { kNone, kMessage, kConnection };

// One unit of the input and the separator behind it.
struct Piece {
    const uint8_t *data;
    size_t len;
    Mark mark;
};

size_t mark_len(Mark m) { return m == kMessage ? sizeof kMessageMark : m == kConnection ? sizeof kConnectionMark : 0; }

Mark mark_at(const uint8_t *p, const uint8_t *end)
{
    const size_t left = size_t(end - p);
    if (left >= sizeof kMessageMark && std::memcmp(p, kMessageMark, sizeof kMessageMark) == 0)
        return kMessage;
    if (left >= sizeof kConnectionMark && std::memcmp(p, kConnectionMark, sizeof kConnectionMark) == 0)
        return kConnection;
    return kNone;
}

std::vector<Piece> split(const uint8_t *p, size_t n)
{
    static_assert(kMessageMark[0] == kConnectionMark[0], "one scan finds both separators");
    std::vector<Piece> pieces;
    const uint8_t *end = p + n, *unit = p;
    for (const uint8_t *at = p; at < end;) {
        at = static_cast<const uint8_t *>(std::memchr(at, kMessageMark[0], size_t(end - at)));
        if (!at)
            break;
        const Mark mark = mark_at(at, end);
        if (mark == kNone) {
            ++at;
            continue;
        }
        pieces.push_back({unit, size_t(at - unit), mark});
        at += mark_len(mark);
        unit = at;
    }
    pieces.push_back({unit, size_t(end - unit), kNone});
    return pieces;
}

// The bytes the server sends on each connection.
std::vector<std::string> script_of(const std::vector<Piece> &pieces, bool tunnelled)
{
    std::vector<std::string> conns;
    bool at_start = true;
    for (const Piece &piece : pieces) {
        if (at_start) {
            conns.emplace_back();
            std::string &wire = conns.back();
            if (piece.len == 1 && !tunnelled) {
                wire.assign(1 + 2 * kSigSize, '\0');
                wire[0] = static_cast<char>(piece.data[0]);
            } else {
                wire.assign(reinterpret_cast<const char *>(piece.data), piece.len);
            }
        } else {
            conns.back().append(reinterpret_cast<const char *>(piece.data), piece.len);
        }
        at_start = piece.mark == kConnection;
    }
    return conns;
}

// The server's side: each connection a socket pair whose far end already
// holds everything the server says, and says nothing more.
struct PlayedServer {
    std::vector<std::string> script;
    std::vector<int> ends;  // the server's end of each connection made
};

void grow_send_buffer(int fd, int bytes)
{
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof bytes) != 0)
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

int dial_script(void *context, const tavrel::DialRequest &, int *detailed)
{
    auto &server = *static_cast<PlayedServer *>(context);
    int sv[2];
    if (server.ends.size() >= server.script.size() || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        *detailed = TAVREL_CONNECT_UNREACHABLE;
        return -1;
    }
    const std::string &wire = server.script[server.ends.size()];
    grow_send_buffer(sv[0], kClientSendBuffer);
    grow_send_buffer(sv[1], static_cast<int>(2 * kMaxInput + kClientHandshake));
    size_t at = 0;
    while (at < wire.size()) {
        const ssize_t n = send(sv[1], wire.data() + at, wire.size() - at, MSG_DONTWAIT | MSG_NOSIGNAL);
        CHECK(n > 0);  // the buffer is sized for the largest input
        at += size_t(n);
    }
    shutdown(sv[1], SHUT_WR);
    server.ends.push_back(sv[1]);
    return sv[0];
}

std::vector<uint8_t> drain(int fd)
{
    std::vector<uint8_t> got;
    uint8_t buf[16384];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0)
        got.insert(got.end(), buf, buf + n);
    return got;
}

// The RTMP bytes of the tunnel's send requests; what does not read as a
// request of ours fails the check.
std::vector<uint8_t> tunnel_payload(const std::vector<uint8_t> &sent)
{
    static const char kEnd[] = "\r\n\r\n", kLength[] = "Content-length: ", kSend[] = "POST /send/";
    std::vector<uint8_t> rtmp;
    const std::string wire(sent.begin(), sent.end());
    CHECK(wire.rfind("POST /open/1 HTTP/1.1\r\n", 0) == 0);
    for (size_t at = 0; at < wire.size();) {
        const size_t end = wire.find(kEnd, at);
        const size_t length = wire.find(kLength, at);
        CHECK(wire.compare(at, 5, "POST ") == 0 && end != std::string::npos && length < end);
        // One request line: nothing the server chose ends it early.
        const size_t line_end = wire.find('\n', at);
        CHECK(line_end > at + 9 && wire.compare(line_end - 10, 10, " HTTP/1.1\r") == 0);
        const size_t body = end + sizeof kEnd - 1;
        const size_t len = std::strtoul(wire.c_str() + length + sizeof kLength - 1, nullptr, 10);
        CHECK(body + len <= wire.size());
        if (wire.compare(at, sizeof kSend - 1, kSend) == 0)
            rtmp.insert(rtmp.end(), sent.begin() + long(body), sent.begin() + long(body + len));
        at = body + len;
    }
    return rtmp;
}

bool contains(const std::vector<uint8_t> &body, const char *text)
{
    const size_t n = std::strlen(text);
    return std::search(body.begin(), body.end(), text, text + n) != body.end();
}

// What the client wrote on one connection: its handshake, then well-formed
// chunks that open with the connect command, which carries a token from the
// second connection on (a connect is made again only for that): the first
// stage's user or the second stage's response.
void check_client_bytes(const std::vector<uint8_t> &sent, size_t connection)
{
    CHECK(sent.size() >= 1 + kSigSize && sent[0] == kRtmpVersion);
    if (sent.size() <= kClientHandshake)
        return;
    tavrel_testing::ChunkDecoder decoder;
    decoder.feed(sent.data() + kClientHandshake, sent.size() - kClientHandshake);
    CHECK(!decoder.failed() && decoder.pending_bytes() == 0);
    CHECK(!decoder.messages().empty());
    const auto &connect = decoder.messages().front();
    CHECK(connect.type == kCommand && contains(connect.body, "connect"));
    if (connection > 0)
        CHECK(contains(connect.body, "&user=alice") || contains(connect.body, "&response="));
}

void format_sink(int, const char *fmt, va_list args)
{
    char text[2048];
    vsnprintf(text, sizeof text, fmt, args);
}

}  // namespace

void server_stream_checks_init() { signal(SIGPIPE, SIG_IGN); }

namespace {

void play(const uint8_t *data, size_t size, const Link &link)
{
    if (size > kMaxInput)
        return;
    PlayedServer server;
    const std::vector<Piece> pieces = split(data, size);
    server.script = script_of(pieces, link.tunnelled);
    if (server.script.size() > kMaxConnections)
        server.script.resize(kMaxConnections);
    // The client's handshake and authentication draw on rand(): the same
    // input takes the same way every time.
    srand(1);

    const tavrel::Dialer dialer = {dial_script, &server};
    RTMP *r = nullptr;
    const int rc = tavrel::connect_rtmp_via(link.url, "alice", "secret", &r, &format_sink, &dialer);
    const int detailed = tavrel_last_connect_result();
    CHECK(rc == 0 || rc == -3 || rc == -4);
    CHECK(tavrel::coarse_connect_code(detailed) == rc);
    CHECK((rc == 0) == (r != nullptr));
    CHECK(!server.ends.empty() && server.ends.size() <= kMaxConnections);
    // The last connection made ended the connect; a handshake the harness
    // wrote whole always passes.
    const std::string &last = server.script[server.ends.size() - 1];
    if (detailed == TAVREL_CONNECT_HANDSHAKE && !link.tunnelled)
        CHECK(last.size() < 1 + 2 * kSigSize);
    if (r) {
        CHECK(r->m_bPlaying);
        close_rtmp_w(r, 1);
    }
    for (size_t i = 0; i < server.ends.size(); ++i) {
        const std::vector<uint8_t> sent = drain(server.ends[i]);
        if (!link.tunnelled)
            check_client_bytes(sent, i);
        else if (const std::vector<uint8_t> rtmp = tunnel_payload(sent); !rtmp.empty())
            check_client_bytes(rtmp, i);  // nothing when the open failed
        close(server.ends[i]);
    }
}

}  // namespace

void check_server_stream(const uint8_t *data, size_t size) { play(data, size, kPlain); }

void check_tunnel_stream(const uint8_t *data, size_t size) { play(data, size, kTunnel); }

size_t server_stream_crossover(const uint8_t *a, size_t a_size, const uint8_t *b, size_t b_size, uint8_t *out,
                               size_t max_out, unsigned int seed)
{
    const std::vector<Piece> pa = split(a, a_size), pb = split(b, b_size);
    std::minstd_rand rng(seed);
    auto pick = [&](size_t n) { return size_t(rng() % (n + 1)); };
    // a[0, cut) b[from, to) a[resume, end)
    const size_t cut = pick(pa.size()), resume = cut + pick(pa.size() - cut);
    size_t from = pick(pb.size()), to = pick(pb.size());
    if (from > to)
        std::swap(from, to);
    std::vector<Piece> child(pa.begin(), pa.begin() + long(cut));
    child.insert(child.end(), pb.begin() + long(from), pb.begin() + long(to));
    child.insert(child.end(), pa.begin() + long(resume), pa.end());

    size_t n = 0;
    for (size_t i = 0; i < child.size(); ++i) {
        Mark mark = child[i].mark;
        if (i + 1 == child.size())
            mark = kNone;
        else if (mark == kNone)
            mark = kMessage;
        const size_t need = child[i].len + mark_len(mark);
        if (n + need > max_out)
            break;
        if (child[i].len > 0)
            std::memcpy(out + n, child[i].data, child[i].len);
        std::memcpy(out + n + child[i].len, mark == kMessage ? kMessageMark : kConnectionMark, mark_len(mark));
        n += need;
    }
    return n;
}
