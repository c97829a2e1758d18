#include "LoopbackLink.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
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
        uint8_t buf[65536];
        for (;;) {
            ssize_t n = ::read(peer_, buf, sizeof buf);
            if (n <= 0)
                break;
            decoder_.feed(buf, static_cast<size_t>(n));
        }
    });
}

LoopbackLink::~LoopbackLink() { finish(); }

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

CapturedLog::CapturedLog() : logger(logger_new(this, 0, &CapturedLog::sink, nullptr)) {}

CapturedLog::~CapturedLog() { logger_release(logger); }

void CapturedLog::sink(void *context, int level, const char *fmt, va_list args)
{
    char text[4096];
    std::vsnprintf(text, sizeof text, fmt, args);
    auto *self = static_cast<CapturedLog *>(context);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->lines_.emplace_back(level, text);
}

std::vector<std::pair<int, std::string>> CapturedLog::lines() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

bool CapturedLog::contains(int level, const std::string &text) const
{
    for (const auto &l : lines())
        if (l.first == level && l.second.find(text) != std::string::npos)
            return true;
    return false;
}

std::vector<uint8_t> bytes(std::initializer_list<int> list)
{
    std::vector<uint8_t> v;
    for (int b : list)
        v.push_back(static_cast<uint8_t>(b));
    return v;
}
