#include "Contenders.h"

#include "Tavrel.h"

#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>

// The publisher's own code lands in the library step by step; until it is
// there these resolve to null and its contenders report themselves missing.
#pragma weak tavrel_connect
#pragma weak tavrel_close
#pragma weak tavrel_send_aac_header
#pragma weak tavrel_send_aac_data
#pragma weak tavrel_send_h264_header
#pragma weak tavrel_send_h264_nals
#pragma weak tavrel_set_chunk_size

namespace bench {

int Contender::fd()
{
    RTMP *r = rtmp();
    return r ? r->m_sb.sb_socket : -1;
}

bool tavrel_available()
{
    return &tavrel_connect != nullptr && &tavrel_close != nullptr && &tavrel_send_aac_header != nullptr &&
           &tavrel_send_aac_data != nullptr && &tavrel_send_h264_header != nullptr &&
           &tavrel_send_h264_nals != nullptr;
}

bool set_out_chunk_size(RTMP *r, int chunk_size)
{
    if (!r || chunk_size == 128)
        return true;
    RTMPPacket p;
    char buf[RTMP_MAX_HEADER_SIZE + 4];
    std::memset(&p, 0, sizeof p);
    p.m_nChannel = 2;  // protocol control
    p.m_headerType = RTMP_PACKET_SIZE_LARGE;
    p.m_packetType = RTMP_PACKET_TYPE_CHUNK_SIZE;
    p.m_body = buf + RTMP_MAX_HEADER_SIZE;
    p.m_nBodySize = 4;
    uint32_t v = uint32_t(chunk_size);
    p.m_body[0] = char(v >> 24);
    p.m_body[1] = char(v >> 16);
    p.m_body[2] = char(v >> 8);
    p.m_body[3] = char(v);
    if (!RTMP_SendPacket(r, &p, 0))
        return false;
    r->m_outChunkSize = chunk_size;
    return true;
}

namespace {

// The socket's TCP_INFO when the kernel fills it at least up to and
// including the field that ends at `needed` bytes.
bool tcp_info_of(int fd, size_t needed, struct tcp_info &info)
{
    std::memset(&info, 0, sizeof info);
    socklen_t len = sizeof info;
    return fd >= 0 && getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 && len >= needed;
}

// Writes all of it, however many calls it takes.
bool write_all(int fd, const uint8_t *p, size_t left)
{
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= size_t(n);
    }
    return true;
}

// On this machine the kernel's first copy from freshly written memory costs
// several times the later ones (about 80 ms over the floor's 44 MB), which
// would be charged to the floor's first run in a process alone: every
// other contender sends from the clip, which its untimed lap has read. So
// the floor's bytes go through a socket pair once, untimed.
void read_by_the_kernel_once(const std::vector<uint8_t> &bytes)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
        return;
    std::thread reader([fd = sv[1]] {
        uint8_t buf[1 << 16];
        while (read(fd, buf, sizeof buf) > 0) {
        }
    });
    write_all(sv[0], bytes.data(), bytes.size());
    ::close(sv[0]);
    reader.join();
    ::close(sv[1]);
}

}  // namespace

int64_t tcp_bytes_sent(int fd)
{
    struct tcp_info info;
    // Acknowledged rather than sent: window probes and retransmissions while
    // the server's buffer is full would be counted twice.
    if (!tcp_info_of(fd, offsetof(struct tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked, info))
        return -1;
    return int64_t(info.tcpi_bytes_acked);
}

int64_t tcp_segments_sent(int fd)
{
    struct tcp_info info;
    if (!tcp_info_of(fd, offsetof(struct tcp_info, tcpi_segs_out) + sizeof info.tcpi_segs_out, info))
        return -1;
    return int64_t(info.tcpi_segs_out);
}

void drain(int fd, int timeout_ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        int queued = 0;
        if (fd < 0 || ioctl(fd, SIOCOUTQ, &queued) != 0 || queued == 0)
            return;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

Capture capture_chunks(Clip &clip, const std::vector<Step> &steps, int chunk_size, int stream_id)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
        throw std::runtime_error("socketpair failed");
    Capture cap;
    std::thread reader([&cap, fd = sv[1]] {
        uint8_t buf[1 << 16];
        for (;;) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            cap.bytes.insert(cap.bytes.end(), buf, buf + n);
        }
    });
    RTMP r;
    RTMP_Init(&r);
    r.m_sb.sb_socket = sv[0];
    r.m_outChunkSize = chunk_size;
    r.m_stream_id = stream_id;
    RTMPPacket p;
    std::memset(&p, 0, sizeof p);
    uint32_t max_len = std::max(clip.max_audio_len() + 2, clip.max_video_len() + 5) + 16;
    RTMPPacket_Alloc(&p, max_len);
    size_t expected = 0;
    bool ok = true;
    for (const auto &s : steps) {
        Message &m = clip.messages()[s.index];
        m.stamp(s.offset_ms);
        p.m_nChannel = 4;
        p.m_headerType = RTMP_PACKET_SIZE_LARGE;
        p.m_packetType = m.type;
        p.m_nTimeStamp = m.seq_header ? 0 : m.ts_ms + s.offset_ms;
        p.m_nInfoField2 = stream_id;
        p.m_nBodySize = m.body_len();
        p.m_nBytesRead = 0;
        std::memcpy(p.m_body, m.body(), m.body_len());
        if (!RTMP_SendPacket(&r, &p, 0)) {
            ok = false;
            break;
        }
        // 12-byte full header, then a 1-byte header in front of every
        // further chunk (chunk stream 4 fits the one-byte form).
        size_t chunks = (m.body_len() + chunk_size - 1) / size_t(chunk_size);
        expected += 12 + m.body_len() + (chunks ? chunks - 1 : 0);
        cap.ends.push_back(expected);
    }
    shutdown(sv[0], SHUT_WR);
    reader.join();
    ::close(sv[0]);
    ::close(sv[1]);
    RTMPPacket_Free(&p);
    r.m_sb.sb_socket = -1;
    r.m_stream_id = -1;
    RTMP_Close(&r);  // frees the per-channel records, sends nothing without a socket
    for (const auto &s : steps)
        clip.messages()[s.index].stamp(0);
    if (!ok)
        throw std::runtime_error("capture: RTMP_SendPacket failed");
    if (cap.bytes.size() != expected)
        throw std::runtime_error("capture: " + std::to_string(cap.bytes.size()) + " bytes, expected " +
                                 std::to_string(expected));
    return cap;
}

uint8_t *Scratch::room(size_t n)
{
    if (n > cap_) {  // grows to the largest message; never zero-filled
        buf_.reset(new uint8_t[n]);
        cap_ = n;
    }
    return buf_.get();
}

size_t coalesce_message(const Message &m, uint32_t ts, int chunk_size, int stream_id, Scratch &out)
{
    uint32_t len = m.body_len();
    size_t cs = size_t(chunk_size);
    size_t chunks = (len + cs - 1) / cs;
    size_t total = 12 + len + (chunks ? chunks - 1 : 0);
    uint8_t *o = out.room(total);
    uint32_t sid = uint32_t(stream_id);
    const uint8_t h[12] = {0x04,  // header type 0, chunk stream 4
                           uint8_t(ts >> 16), uint8_t(ts >> 8), uint8_t(ts), uint8_t(len >> 16), uint8_t(len >> 8),
                           uint8_t(len), m.type,
                           // message stream id, little-endian
                           uint8_t(sid), uint8_t(sid >> 8), uint8_t(sid >> 16), uint8_t(sid >> 24)};
    std::memcpy(o, h, sizeof h);
    o += sizeof h;
    const uint8_t *b = m.body();
    for (size_t left = len; left > 0;) {
        size_t n = left < cs ? left : cs;
        std::memcpy(o, b, n);
        o += n;
        b += n;
        left -= n;
        if (left > 0)
            *o++ = 0xC4;  // header type 3, chunk stream 4
    }
    return total;
}

namespace {

// librtmp set up as a publisher the way its own users do it.
class LibrtmpConnection : public Contender {
public:
    ~LibrtmpConnection() override { close(); }
    bool connect(const std::string &url) override
    {
        url_ = url;
        r_ = RTMP_Alloc();
        RTMP_Init(r_);
        if (!RTMP_SetupURL(r_, &url_[0])) {  // keeps pointers into url_
            error_ = "RTMP_SetupURL refused " + url;
            return false;
        }
        RTMP_EnableWrite(r_);
        if (!RTMP_Connect(r_, nullptr)) {
            error_ = "RTMP_Connect failed";
            return false;
        }
        if (!RTMP_ConnectStream(r_, 0)) {
            error_ = "RTMP_ConnectStream failed";
            return false;
        }
        return true;
    }
    void close() override
    {
        if (r_) {
            RTMP_Close(r_);
            RTMP_Free(r_);
            r_ = nullptr;
        }
    }
    RTMP *rtmp() override { return r_; }

protected:
    RTMP *r_ = nullptr;
    std::string url_;
};

class RtmpWriteContender : public LibrtmpConnection {
public:
    std::string name() const override { return "rtmp_write"; }
    bool send(Message &m, uint32_t offset_ms) override
    {
        m.stamp(offset_ms);
        int size = int(m.tag.size());
        return RTMP_Write(r_, reinterpret_cast<const char *>(m.tag.data()), size) == size;
    }
};

class FloorContender : public LibrtmpConnection {
public:
    FloorContender(Clip &clip, const std::vector<Step> &steps, int chunk_size)
        : clip_(clip), steps_(steps), chunk_size_(chunk_size)
    {
        cap_ = capture_chunks(clip_, steps_, chunk_size_, 1);
        read_by_the_kernel_once(cap_.bytes);
    }
    std::string name() const override { return "floor"; }
    bool connect(const std::string &url) override
    {
        if (!LibrtmpConnection::connect(url))
            return false;
        if (r_->m_stream_id != 1) {  // the capture carries the stream id in its headers
            cap_ = capture_chunks(clip_, steps_, chunk_size_, r_->m_stream_id);
            read_by_the_kernel_once(cap_.bytes);
        }
        next_ = 0;
        return true;
    }
    bool send(Message &, uint32_t) override
    {
        if (next_ >= cap_.ends.size())
            return false;
        size_t begin = next_ ? cap_.ends[next_ - 1] : 0, end = cap_.ends[next_];
        ++next_;
        return write_all(r_->m_sb.sb_socket, cap_.bytes.data() + begin, end - begin);
    }

private:
    Clip &clip_;
    std::vector<Step> steps_;
    int chunk_size_;
    Capture cap_;
    size_t next_ = 0;
};

std::atomic<uint64_t> formatted_bytes{0};

// What a chunk writer that gathers a message's chunks into one buffer and
// writes it with one call would cost.
class CoalescedContender : public LibrtmpConnection {
public:
    std::string name() const override { return "coalesced"; }
    bool send(Message &m, uint32_t offset_ms) override
    {
        uint32_t ts = m.seq_header ? 0 : m.ts_ms + offset_ms;
        size_t total = coalesce_message(m, ts, r_->m_outChunkSize, r_->m_stream_id, out_);
        return write_all(r_->m_sb.sb_socket, out_.data(), total);
    }

private:
    Scratch out_;
};

// A sink like a Java logger set to INFO: what passes the level is formatted.
void formatting_sink(void *, int, const char *fmt, va_list args)
{
    char line[1024];
    std::vsnprintf(line, sizeof line, fmt, args);
    formatted_bytes.fetch_add(std::strlen(line), std::memory_order_relaxed);
}

class TavrelContender : public Contender {
public:
    TavrelContender(const Clip &clip, bool flv_write) : flv_write_(flv_write), clip_(clip) {}
    ~TavrelContender() override { close(); }
    std::string name() const override { return flv_write_ ? "flvwrite" : "packet"; }
    bool connect(const std::string &url) override
    {
        if (!tavrel_available()) {
            error_ = "the publisher (tavrel_connect, tavrel_send_*) is not in libtavrel yet";
            return false;
        }
        Logger *logger = logger_new(nullptr, OSTREL_INFO, formatting_sink, nullptr);
        ctx_ = tavrel_connect(url.c_str(), nullptr, nullptr, flv_write_, 0, 0, 0, clip_.max_audio_len(),
                              clip_.max_video_len(), logger);
        if (!ctx_) {
            logger_release(logger);
            error_ = "tavrel_connect failed";
            return false;
        }
        return true;
    }
    bool send(Message &m, uint32_t offset_ms) override
    {
        m.stamp(offset_ms);
        // The AAC bytes follow the 2-byte audio tag header that the publisher writes itself.
        uint8_t *aac = const_cast<uint8_t *>(m.body()) + 2;
        int rc;
        if (m.type == kTagAudio)
            rc = m.seq_header ? tavrel_send_aac_header(ctx_, aac, m.body_len() - 2)
                              : tavrel_send_aac_data(ctx_, aac, int32_t(m.body_len() - 2), m.ts_ms + offset_ms);
        else
            rc = m.seq_header ? tavrel_send_h264_header(ctx_, m.nalus) : tavrel_send_h264_nals(ctx_, m.nalus);
        return rc == RTMPERR_OK;
    }
    void close() override
    {
        if (ctx_) {
            tavrel_close(ctx_);
            ctx_ = nullptr;
        }
    }
    RTMP *rtmp() override { return ctx_ ? ctx_->rtmp : nullptr; }
    bool set_chunk_size(int chunk_size) override
    {
        if (chunk_size == 128 || &tavrel_set_chunk_size == nullptr)
            return Contender::set_chunk_size(chunk_size);
        return tavrel_set_chunk_size(ctx_, chunk_size) == RTMPERR_OK;
    }
    RTMPDumpCtx *ctx() { return ctx_; }

private:
    bool flv_write_;
    const Clip &clip_;
    RTMPDumpCtx *ctx_ = nullptr;
};

}  // namespace

std::vector<std::string> contender_names() { return {"floor", "rtmp_write", "packet", "flvwrite", "coalesced"}; }

std::unique_ptr<Contender> make_contender(const std::string &name, Clip &clip, const std::vector<Step> &steps,
                                          int chunk_size)
{
    if (name == "floor")
        return std::make_unique<FloorContender>(clip, steps, chunk_size);
    if (name == "rtmp_write")
        return std::make_unique<RtmpWriteContender>();
    if (name == "coalesced")
        return std::make_unique<CoalescedContender>();
    if (name == "packet")
        return std::make_unique<TavrelContender>(clip, false);
    if (name == "flvwrite")
        return std::make_unique<TavrelContender>(clip, true);
    throw std::runtime_error("unknown contender " + name);
}

}  // namespace bench
