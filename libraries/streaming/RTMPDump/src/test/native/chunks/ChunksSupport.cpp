#include "ChunksSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern "C" {
void *__real_malloc(size_t size);
void *__real_realloc(void *ptr, size_t size);
void *__real_calloc(size_t n, size_t size);
void __real_free(void *ptr);
ssize_t __real_recv(int fd, void *buf, size_t len, int flags);
ssize_t __real_send(int fd, const void *buf, size_t len, int flags);
ssize_t __real_sendmsg(int fd, const struct msghdr *msg, int flags);
}

namespace {

std::atomic<size_t> watched_size{0};
std::atomic<int> watched_allocs{0}, watched_frees{0};
std::atomic<bool> watching_reallocs{false};
std::atomic<bool> failing_mallocs{false};
std::atomic<size_t> failing_realloc_size{0};
constexpr int kMaxWatchedBlocks = 64;
std::atomic<void *> watched_blocks[kMaxWatchedBlocks];
std::mutex realloc_mutex;
std::vector<size_t> *realloc_log = nullptr;

std::mutex recv_mutex;
std::vector<size_t> *recv_log = nullptr;
int recv_inject_at = -1;
ssize_t recv_inject_result = 0;
int recv_inject_errno = 0;

std::mutex send_mutex;
std::vector<chunks_test::SendInjection> *send_injections = nullptr;
int send_calls = 0;

std::mutex log_mutex;
std::vector<std::string> *log_lines = nullptr;

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void *__wrap_malloc(size_t size)
{
    if (failing_mallocs.load() && size != 0 && size == watched_size.load())
        return nullptr;
    void *p = __real_malloc(size);
    if (p && size != 0 && size == watched_size.load()) {
        int i = watched_allocs.fetch_add(1);
        if (i < kMaxWatchedBlocks)
            watched_blocks[i].store(p);
    }
    return p;
}

__attribute__((visibility("default"))) void *__wrap_calloc(size_t n, size_t size)
{
    if (failing_mallocs.load() && n * size != 0 && n * size == watched_size.load())
        return nullptr;
    return __real_calloc(n, size);
}

__attribute__((visibility("default"))) void *__wrap_realloc(void *ptr, size_t size)
{
    if (watching_reallocs.load()) {
        std::lock_guard<std::mutex> lock(realloc_mutex);
        if (realloc_log)
            realloc_log->push_back(size);
    }
    if (size != 0 && size == failing_realloc_size.load())
        return nullptr;
    return __real_realloc(ptr, size);
}

__attribute__((visibility("default"))) void __wrap_free(void *ptr)
{
    if (ptr && watched_size.load() != 0) {
        int n = watched_allocs.load();
        for (int i = 0; i < n && i < kMaxWatchedBlocks; i++) {
            void *expected = ptr;
            if (watched_blocks[i].compare_exchange_strong(expected, nullptr)) {
                watched_frees.fetch_add(1);
                break;
            }
        }
    }
    __real_free(ptr);
}

__attribute__((visibility("default"))) ssize_t __wrap_recv(int fd, void *buf, size_t len, int flags)
{
    {
        std::lock_guard<std::mutex> lock(recv_mutex);
        if (recv_log) {
            recv_log->push_back(len);
            if (int(recv_log->size()) - 1 == recv_inject_at) {
                errno = recv_inject_errno;
                return recv_inject_result;
            }
        }
    }
    return __real_recv(fd, buf, len, flags);
}

}  // extern "C"

namespace {

// The injection for the next send or sendmsg call: true when the call
// fails (errno set); otherwise *cap bounds the bytes it may take.
bool injected_failure(size_t *cap)
{
    std::lock_guard<std::mutex> lock(send_mutex);
    if (!send_injections)
        return false;
    int call = send_calls++;
    for (const auto &inj : *send_injections) {
        if (inj.call != call)
            continue;
        if (inj.err) {
            errno = inj.err;
            return true;
        }
        *cap = std::min(*cap, inj.cap);
    }
    return false;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) ssize_t __wrap_send(int fd, const void *buf, size_t len, int flags)
{
    if (injected_failure(&len))
        return -1;
    return __real_send(fd, buf, len, flags);
}

__attribute__((visibility("default"))) ssize_t __wrap_sendmsg(int fd, const struct msghdr *msg, int flags)
{
    size_t cap = SIZE_MAX;
    if (injected_failure(&cap))
        return -1;
    if (cap == SIZE_MAX)
        return __real_sendmsg(fd, msg, flags);
    // The leading pieces up to cap bytes, the last one cut.
    std::vector<iovec> pieces;
    for (size_t i = 0; i < msg->msg_iovlen && cap > 0; i++) {
        iovec v = msg->msg_iov[i];
        v.iov_len = std::min(v.iov_len, cap);
        cap -= v.iov_len;
        pieces.push_back(v);
    }
    msghdr capped = *msg;
    capped.msg_iov = pieces.data();
    capped.msg_iovlen = pieces.size();
    return __real_sendmsg(fd, &capped, flags);
}

}  // extern "C"

namespace chunks_test {

TcpPair::TcpPair(int rcvbuf)
{
    signal(SIGPIPE, SIG_IGN);
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0)
        throw std::runtime_error("socket");
    if (rcvbuf > 0)
        ::setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        ::close(listener);
        throw std::runtime_error("listen");
    }
    client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (client < 0 || ::connect(client, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(listener);
        throw std::runtime_error("connect");
    }
    server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener);
    if (server < 0)
        throw std::runtime_error("accept");
}

TcpPair::~TcpPair()
{
    if (client >= 0)
        ::close(client);
    if (server >= 0)
        ::close(server);
}

CaptureLink::CaptureLink(bool start, int rcvbuf) : pair_(rcvbuf)
{
    RTMP_Init(&r_);
    r_.m_sb.sb_socket = pair_.client;
    pair_.client = -1;  // the record owns it now: RTMP_Close closes it
    r_.m_stream_id = 1;
    if (start)
        start_reader();
}

void CaptureLink::start_reader()
{
    reader_ = std::thread([this] {
        uint8_t buf[65536];
        for (;;) {
            ssize_t n = ::read(pair_.server, buf, sizeof buf);
            if (n <= 0)
                break;
            std::lock_guard<std::mutex> lock(mutex_);
            bytes_.insert(bytes_.end(), buf, buf + n);
        }
    });
}

CaptureLink::~CaptureLink() { finish(); }

std::vector<uint8_t> CaptureLink::finish()
{
    if (!finished_) {
        finished_ = true;
        r_.m_stream_id = 0;  // nothing to unpublish on this link
        r_.Link.protocol = 0;
        r_.m_clientID = AVal{nullptr, 0};
        if (r_.m_sb.sb_socket >= 0)
            ::shutdown(r_.m_sb.sb_socket, SHUT_WR);
        if (reader_.joinable())
            reader_.join();
        RTMP_Close(&r_);  // closes our end and frees librtmp's tables
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
}

size_t CaptureLink::received()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_.size();
}

void CaptureLink::reset_by_peer()
{
    linger l{1, 0};
    ::setsockopt(pair_.server, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(pair_.server);
    pair_.server = -1;
    pollfd p{r_.m_sb.sb_socket, POLLIN, 0};
    ::poll(&p, 1, 5000);
}

RtmpLogCapture::RtmpLogCapture(int level)
{
    std::lock_guard<std::mutex> lock(log_mutex);
    log_lines = new std::vector<std::string>;
    RTMP_LogSetCallback(&RtmpLogCapture::callback);
    RTMP_LogSetLevel(static_cast<RTMP_LogLevel>(level));
}

RtmpLogCapture::~RtmpLogCapture()
{
    std::lock_guard<std::mutex> lock(log_mutex);
    delete log_lines;
    log_lines = nullptr;
}

void RtmpLogCapture::callback(int level, const char *fmt, va_list args)
{
    (void)level;
    char text[2048];
    std::vsnprintf(text, sizeof text, fmt, args);
    std::lock_guard<std::mutex> lock(log_mutex);
    if (log_lines)
        log_lines->push_back(text);
}

std::vector<std::string> RtmpLogCapture::lines() const
{
    std::lock_guard<std::mutex> lock(log_mutex);
    return log_lines ? *log_lines : std::vector<std::string>{};
}

bool RtmpLogCapture::contains(const std::string &text) const
{
    for (const auto &l : lines())
        if (l.find(text) != std::string::npos)
            return true;
    return false;
}

void PacketDeleter::operator()(RTMPPacket *p) const
{
    RTMPPacket_Free(p);
    delete p;
}

PacketPtr make_packet(int channel, uint8_t header_type, uint8_t type, uint32_t ts, const std::vector<uint8_t> &body,
                      int32_t stream_id)
{
    PacketPtr p(new RTMPPacket{});
    p->m_nChannel = channel;
    p->m_headerType = header_type;
    p->m_packetType = type;
    p->m_nTimeStamp = ts;
    p->m_nInfoField2 = stream_id;
    p->m_nBodySize = static_cast<uint32_t>(body.size());
    if (!body.empty()) {
        if (!RTMPPacket_Alloc(p.get(), static_cast<uint32_t>(body.size())))
            throw std::bad_alloc();
        std::memcpy(p->m_body, body.data(), body.size());
    }
    return p;
}

std::vector<uint8_t> body_of(const RTMPPacket *p)
{
    if (!p->m_body)
        return {};
    return std::vector<uint8_t>(p->m_body, p->m_body + p->m_nBodySize);
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 8));
    return v;
}

std::vector<HttpRequest> parse_requests(const std::vector<uint8_t> &bytes, bool allow_short)
{
    std::string text(bytes.begin(), bytes.end());
    std::vector<HttpRequest> out;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find("\r\n\r\n", at);
        if (end == std::string::npos)
            throw std::runtime_error("incomplete request header at " + std::to_string(at));
        HttpRequest req;
        req.header = text.substr(at, end + 4 - at);
        req.request_line = req.header.substr(0, req.header.find("\r\n"));
        size_t cl = req.header.find("Content-length: ");
        if (cl != std::string::npos)
            req.content_length = std::stol(req.header.substr(cl + 16));
        size_t body_at = end + 4;
        size_t body_len = req.content_length < 0 ? 0 : size_t(req.content_length);
        if (allow_short) {
            size_t next = text.find("POST /", body_at);
            if (next != std::string::npos && next - body_at < body_len)
                body_len = next - body_at;
        }
        if (body_at + body_len > text.size())
            body_len = text.size() - body_at;
        req.body.assign(bytes.begin() + long(body_at), bytes.begin() + long(body_at + body_len));
        out.push_back(std::move(req));
        at = body_at + body_len;
    }
    return out;
}

AllocWatch::AllocWatch(size_t size, bool fail, size_t fail_realloc)
{
    watched_allocs = 0;
    watched_frees = 0;
    for (auto &b : watched_blocks)
        b.store(nullptr);
    {
        std::lock_guard<std::mutex> lock(realloc_mutex);
        realloc_log = new std::vector<size_t>;
    }
    watched_size = size;
    failing_mallocs = fail;
    failing_realloc_size = fail_realloc;
    watching_reallocs = true;
}

AllocWatch::~AllocWatch()
{
    watched_size = 0;
    failing_mallocs = false;
    failing_realloc_size = 0;
    watching_reallocs = false;
    std::lock_guard<std::mutex> lock(realloc_mutex);
    delete realloc_log;
    realloc_log = nullptr;
}

int AllocWatch::allocs() const { return watched_allocs.load(); }
int AllocWatch::frees() const { return watched_frees.load(); }

std::vector<size_t> AllocWatch::realloc_sizes() const
{
    std::lock_guard<std::mutex> lock(realloc_mutex);
    return realloc_log ? *realloc_log : std::vector<size_t>{};
}

}  // namespace chunks_test

namespace chunks_test {

RecvWatch::RecvWatch(int inject_at, ssize_t result, int err)
{
    std::lock_guard<std::mutex> lock(recv_mutex);
    recv_log = new std::vector<size_t>;
    recv_inject_at = inject_at;
    recv_inject_result = result;
    recv_inject_errno = err;
}

RecvWatch::~RecvWatch()
{
    std::lock_guard<std::mutex> lock(recv_mutex);
    delete recv_log;
    recv_log = nullptr;
    recv_inject_at = -1;
}

std::vector<size_t> RecvWatch::requests() const
{
    std::lock_guard<std::mutex> lock(recv_mutex);
    return recv_log ? *recv_log : std::vector<size_t>{};
}

}  // namespace chunks_test

namespace chunks_test {

SendWatch::SendWatch(std::vector<SendInjection> injections)
{
    std::lock_guard<std::mutex> lock(send_mutex);
    send_injections = new std::vector<SendInjection>(std::move(injections));
    send_calls = 0;
}

SendWatch::~SendWatch()
{
    std::lock_guard<std::mutex> lock(send_mutex);
    delete send_injections;
    send_injections = nullptr;
}

int SendWatch::calls() const
{
    std::lock_guard<std::mutex> lock(send_mutex);
    return send_calls;
}

}  // namespace chunks_test
