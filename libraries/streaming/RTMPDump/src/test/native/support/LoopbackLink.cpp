#include "LoopbackLink.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace {

// What the sender's end is asked to hold; the kernel caps it at wmem_max.
constexpr int kWantedSendBuffer = 4 << 20;
// A queued send costs the sender's buffer its bytes plus a socket buffer
// record of several hundred bytes: with sends as small as a chunk header
// and a 128-byte chunk, a sixteenth of the buffer is what surely fits.
constexpr size_t kQueueOverhead = 16;

bool holds_all(int fd, size_t max_written)
{
    if (max_written == LoopbackLink::kUnknownSize)
        return false;
    int size = kWantedSendBuffer;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    socklen_t len = sizeof size;
    if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, &len) != 0 || size <= 0)
        return false;
    return max_written <= static_cast<size_t>(size) / kQueueOverhead;
}

}  // namespace

LoopbackLink::LoopbackLink(size_t max_written)
{
    signal(SIGPIPE, SIG_IGN);
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::runtime_error("socketpair");
    RTMP_Init(&r_);
    r_.m_sb.sb_socket = fds[0];
    r_.m_stream_id = 1;
    peer_ = fds[1];
    if (!holds_all(fds[0], max_written))
        reader_ = std::thread([this] { decode(peer_); });
}

// Until the sender's end is closed, or (MSG_DONTWAIT) until nothing more
// has arrived.
void LoopbackLink::decode(int fd, int flags)
{
    uint8_t buf[16384];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, flags)) > 0)
        decoder_.feed(buf, static_cast<size_t>(n));
}

LoopbackLink::~LoopbackLink() { finish(); }

void LoopbackLink::stop_taking()
{
    if (r_.m_sb.sb_socket >= 0)
        ::shutdown(r_.m_sb.sb_socket, SHUT_WR);
    stopped_ = true;
}

void LoopbackLink::server_sends(const void *data, size_t len)
{
    const char *p = static_cast<const char *>(data);
    while (len > 0) {
        const ssize_t n = ::write(peer_, p, len);
        if (n <= 0)
            return;
        p += n;
        len -= size_t(n);
    }
}

void LoopbackLink::server_closes() { ::shutdown(peer_, SHUT_WR); }

void LoopbackLink::drain()
{
    if (!reader_.joinable())  // else the thread decodes as the bytes come
        decode(peer_, MSG_DONTWAIT);
}

std::vector<tavrel_testing::RtmpMessage> LoopbackLink::finish()
{
    if (!finished_) {
        finished_ = true;
        r_.m_stream_id = 0;  // nothing to unpublish on this link
        RTMP_Close(&r_);     // closes our end and frees librtmp's tables
        if (reader_.joinable())
            reader_.join();
        else
            decode(peer_);
        ::close(peer_);
    }
    return decoder_.messages();
}
