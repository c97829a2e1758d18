// The graceful end of a publish and what the link has taken from us.
#include "RTMPDumpUtil/graceful_close.h"

#include "RTMPDumpUtil/message_writer.h"
#include "RTMPDumpUtil/server_reader.h"

#include <librtmp/amf.h>
#include <librtmp/log.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <linux/tcp.h>  // the kernel's tcp_info, with tcpi_bytes_acked
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>

#include <cstddef>
#include <cstring>

namespace tavrel {

namespace {

// What the kernel counts as acknowledged before the chunk stream: our SYN
// (one sequence number), then C0 and C1, and C2 of the RTMP handshake.
constexpr uint64_t kHandshakeBytes = 1 + 1537 + 1536;
constexpr int kCommandChannel = 3;
constexpr int kCommandRoom = 512;

int64_t now_ms()
{
    timespec ts = {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The socket's own send timeout too: a blocking send to a server that has
// stopped reading would otherwise wait for it alone.
void bound_sends(RTMP *r, MessageWriter *w, int timeout_ms)
{
    message_writer_set_timeout(w, timeout_ms);
    timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(r->m_sb.sb_socket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// A command of three values, as librtmp sends its own FCUnpublish and
// deleteStream (no answer awaited): name, transaction number, null, then
// `last` as the string or number the caller puts there.
template <typename PutLast>
bool send_command(RTMP *r, MessageWriter *w, const char *name, PutLast put_last)
{
    char body[kCommandRoom];
    char *end = body + sizeof body;
    AVal av_name = {const_cast<char *>(name), int(std::strlen(name))};
    char *p = AMF_EncodeString(body, end, &av_name);
    p = p ? AMF_EncodeNumber(p, end, ++r->m_numInvokes) : nullptr;
    if (p && p < end)
        *p++ = AMF_NULL;
    p = p ? put_last(p, end) : nullptr;
    if (!p)
        return false;
    RTMPPacket pkt = {};
    pkt.m_headerType = RTMP_PACKET_SIZE_MEDIUM;
    pkt.m_packetType = RTMP_PACKET_TYPE_INVOKE;
    pkt.m_nChannel = kCommandChannel;
    pkt.m_nBodySize = uint32_t(p - body);
    pkt.m_body = body;
    return send_packet_body(w, r, &pkt, 0) != 0;
}

void say_goodbye(RTMP *r, MessageWriter *w)
{
    const int stream_id = r->m_stream_id;
    if (stream_id <= 0)
        return;
    r->m_stream_id = 0;
    r->m_bPlaying = 0;
    AVal playpath = r->Link.playpath;
    if ((r->Link.protocol & RTMP_FEATURE_WRITE) &&
        !send_command(r, w, "FCUnpublish", [&playpath](char *p, char *end) { return AMF_EncodeString(p, end, &playpath); }))
        return;
    send_command(r, w, "deleteStream", [stream_id](char *p, char *end) { return AMF_EncodeNumber(p, end, stream_id); });
}

}  // namespace

bool link_bytes_out(const RTMP *r, uint64_t *bytes)
{
    const int fd = r->m_sb.sb_socket;
    if (fd < 0 || r->m_sb.sb_ssl || r->Link.rc4keyOut || (r->Link.protocol & RTMP_FEATURE_HTTP) ||
        r->Link.socksport)
        return false;
    tcp_info ti = {};
    socklen_t len = sizeof ti;
    int queued = 0;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &ti, &len) != 0 ||
        len < offsetof(tcp_info, tcpi_bytes_acked) + sizeof ti.tcpi_bytes_acked || ioctl(fd, SIOCOUTQ, &queued) != 0)
        return false;
    // Acknowledged by the peer's TCP, plus what still waits in the send queue.
    const uint64_t taken = ti.tcpi_bytes_acked + uint64_t(queued);
    *bytes = taken > kHandshakeBytes ? taken - kHandshakeBytes : 0;
    return true;
}

bool end_publish(RTMP *r, MessageWriter *w, ServerReader *sr, int timeout_ms)
{
    if (!r || r->m_sb.sb_socket < 0)
        return false;
    const int64_t deadline = now_ms() + timeout_ms;
    bound_sends(r, w, timeout_ms > 0 ? timeout_ms : 1);
    // What the server sent meanwhile is read first: a ping answered, its
    // acknowledgements counted.
    server_reader_pump(sr, w, r, 0);
    say_goodbye(r, w);
    server_reader_stop_answering(sr);
    if (r->m_sb.sb_socket < 0 || shutdown(r->m_sb.sb_socket, SHUT_WR) != 0)
        return false;
    for (int64_t left = deadline - now_ms(); left > 0 && !server_reader_is_link_done(sr); left = deadline - now_ms())
        server_reader_pump(sr, w, r, int(left));
    const bool has_closed = server_reader_is_link_done(sr);
    RTMP_Log(RTMP_LOGDEBUG, "%s, the server %s", "end_publish",
             has_closed ? "closed its side" : "had not closed its side when the time was up");
    return has_closed;
}

}  // namespace tavrel
