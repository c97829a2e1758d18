#include "LoopbackLink.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

LoopbackLink::LoopbackLink()
{
    signal(SIGPIPE, SIG_IGN);
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::runtime_error("socketpair");
    RTMP_Init(&r_);
    r_.m_sb.sb_socket = fds[0];
    r_.m_stream_id = 1;
    peer_ = fds[1];
    reader_ = std::thread([this] {
        uint8_t buf[16384];
        for (;;) {
            ssize_t n = ::read(peer_, buf, sizeof buf);
            if (n <= 0)
                break;
            decoder_.feed(buf, static_cast<size_t>(n));
        }
    });
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

std::vector<tavrel_testing::RtmpMessage> LoopbackLink::finish()
{
    if (!finished_) {
        finished_ = true;
        r_.m_stream_id = 0;  // nothing to unpublish on this link
        RTMP_Close(&r_);     // closes our end and frees librtmp's tables
        reader_.join();
        ::close(peer_);
    }
    return decoder_.messages();
}
