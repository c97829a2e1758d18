// Reading the server while publishing. librtmp's reader blocks until a
// whole chunk is there, so it is called only once the chunk already lies in
// its receive buffer: the buffer is filled here with what the socket (or
// the TLS session) has without waiting, and the next chunk's size is worked
// out from its header and the message it continues.
#include "RTMPDumpUtil/server_reader.h"

#include "RTMPDumpUtil/byte_order.h"
#include "RTMPDumpUtil/message_writer.h"
#include "RTMPDumpUtil/read_guard.h"
#include "RTMPDumpUtil/server_commands.h"

#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <librtmp/log.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>

namespace tavrel {

struct ServerReader {
    explicit ServerReader(RTMP *r) : guard(r, "read_server") {}
    ServerReadGuard guard;  // kept across looks: a message may arrive over several
    uint64_t acked = 0;
    uint32_t last_ack_seq = 0;
    // Read by the reconnections under state_mutex, written under the send lock.
    std::atomic<bool> is_lost{false};
    // The server has closed its side, or what it sent could not be read
    // safely: nothing more is read.
    bool is_link_done = false;
    bool may_answer = true;
};

namespace {

// A flooding server gets this many chunks read per look, so that the send
// that looks is not held up by it; the rest waits for the next look.
constexpr int kMaxChunksPerLook = 16;

constexpr int kFillClosed = -1;
constexpr uint32_t kUserControlPingRequest = 6;
constexpr uint32_t kUserControlPingResponse = 7;
constexpr int kProtocolControlChannel = 2;
constexpr uint32_t kExtendedTimestamp = 0xffffff;
constexpr uint32_t kPositive31Bits = 0x7fffffff;

// librtmp's receive buffer (it never fills the last byte).
constexpr int kBufferRoom = static_cast<int>(sizeof(RTMPSockBuf::sb_buf)) - 1;

// Only plain and TLS links carry chunks as they are: RTMPE's buffered bytes
// are ciphertext, the tunnel's are HTTP framing.
bool is_readable_link(const RTMP *r)
{
    return r->m_sb.sb_socket >= 0 && !(r->Link.protocol & RTMP_FEATURE_HTTP) && !r->Link.rc4keyIn;
}

// A TLS read that returns rather than waits for the rest of a record.
ssize_t tls_recv_now(gnutls_session_t tls, int fd, char *at, int room)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        errno = EAGAIN;  // not read now; the next look tries again
        return -1;
    }
    ssize_t n = gnutls_record_recv(tls, at, size_t(room));
    fcntl(fd, F_SETFL, flags);
    if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) {
        errno = EAGAIN;
        return -1;
    }
    if (n < 0)
        errno = EIO;
    return n;
}

// Whether the server has shut its side: nothing more will arrive beyond
// what is already queued.
bool peer_has_shut(int fd)
{
    pollfd p = {fd, POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

// Adds to librtmp's buffer what has arrived, waiting at most wait_ms for
// the first byte: the bytes added, 0 for none, kFillClosed when the server
// has closed its side or the link failed.
int fill_now(RTMP *r, int wait_ms)
{
    RTMPSockBuf &sb = r->m_sb;
    if (sb.sb_size <= 0) {
        sb.sb_size = 0;
        sb.sb_start = sb.sb_buf;
    } else if (sb.sb_start != sb.sb_buf) {
        std::memmove(sb.sb_buf, sb.sb_start, size_t(sb.sb_size));
        sb.sb_start = sb.sb_buf;
    }
    const int room = kBufferRoom - sb.sb_size;
    // A full buffer holds the start of a chunk longer than it, whose rest
    // has not all arrived: if the server has shut its side, it never will.
    if (room <= 0)
        return peer_has_shut(sb.sb_socket) ? kFillClosed : 0;
    auto *tls = static_cast<gnutls_session_t>(sb.sb_ssl);
    if (!tls || gnutls_record_check_pending(tls) == 0) {
        pollfd p = {sb.sb_socket, POLLIN, 0};
        if (poll(&p, 1, wait_ms) <= 0)
            return 0;
    }
    char *at = sb.sb_start + sb.sb_size;
    const ssize_t n = tls ? tls_recv_now(tls, sb.sb_socket, at, room) : recv(sb.sb_socket, at, size_t(room), MSG_DONTWAIT);
    if (n > 0) {
        sb.sb_size += int(n);
        return int(n);
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return 0;
    return kFillClosed;
}

// The bytes the next chunk takes (header and payload), or 0 while its
// header is not all buffered.
long next_chunk_size(const RTMP *r)
{
    ChunkHeader h = {};
    const int header = chunk_header_parse(reinterpret_cast<const unsigned char *>(r->m_sb.sb_start),
                                          r->m_sb.sb_size, &h);
    if (header == 0)
        return 0;
    const RTMPPacket *kept =
        r->m_vecChannelsIn && h.csid < r->m_channelsAllocatedIn ? r->m_vecChannelsIn[h.csid] : nullptr;
    const uint32_t size = h.has_length ? h.body_size : (kept ? kept->m_nBodySize : 0);
    // Only an unfinished message keeps its body in librtmp's table.
    const uint32_t done = kept && kept->m_body ? kept->m_nBytesRead : 0;
    const uint32_t left = size > done ? size - done : 0;
    const uint32_t chunk = r->m_inChunkSize > 0 ? uint32_t(r->m_inChunkSize) : left;
    // A type-3 header repeats the extended timestamp of the header before.
    const long extended = h.fmt == 3 && kept && kept->m_nTimeStamp == kExtendedTimestamp ? 4 : 0;
    return header + extended + long(left < chunk ? left : chunk);
}

// Whether librtmp can read the next chunk without waiting: it lies in the
// buffer, or (a chunk larger than the buffer) the socket holds the rest.
bool has_whole_chunk(RTMP *r)
{
    const long need = next_chunk_size(r);
    if (need == 0)
        return false;
    if (need <= r->m_sb.sb_size)
        return true;
    if (need <= kBufferRoom)
        return false;
    int queued = 0;
    if (ioctl(r->m_sb.sb_socket, FIONREAD, &queued) != 0)
        return false;
    if (auto *tls = static_cast<gnutls_session_t>(r->m_sb.sb_ssl))
        queued += int(gnutls_record_check_pending(tls));
    return long(r->m_sb.sb_size) + queued >= need;
}

bool send_control(ServerReader *sr, MessageWriter *w, RTMP *r, int type, char *body, uint32_t len)
{
    if (!sr->may_answer)
        return false;
    RTMPPacket pkt = {};
    pkt.m_headerType = RTMP_PACKET_SIZE_MEDIUM;
    pkt.m_packetType = uint8_t(type);
    pkt.m_nChannel = kProtocolControlChannel;
    pkt.m_nBodySize = len;
    pkt.m_body = body;
    // As with Set Chunk Size, the chunk stream's record keeps this frame's
    // address; nothing reads a record's body.
    return send_packet_body(w, r, &pkt, 0) != 0;
}

// Our Acknowledgement once the bytes received since the last one reach the
// window the server announced (Window Acknowledgement Size).
void acknowledge_if_due(ServerReader *sr, MessageWriter *w, RTMP *r)
{
    const uint32_t window = uint32_t(r->m_nServerBW);
    const uint32_t received = uint32_t(r->m_nBytesIn);
    if (window == 0 || received - uint32_t(r->m_nBytesInSent) < window)
        return;
    char body[4];
    put_be32(body, received);  // sequence number: bytes received so far
    send_control(sr, w, r, RTMP_PACKET_TYPE_BYTES_READ_REPORT, body, sizeof body);
    r->m_nBytesInSent = r->m_nBytesIn;
}

void answer_ping(ServerReader *sr, MessageWriter *w, RTMP *r, const char *timestamp)
{
    char body[6];
    put_be16(body, kUserControlPingResponse);  // event type
    std::memcpy(body + 2, timestamp, 4);       // the request's timestamp, echoed
    send_control(sr, w, r, RTMP_PACKET_TYPE_CONTROL, body, sizeof body);
}

// One whole message the guard has admitted (control messages long enough
// for their fields, commands that decode).
void handle_message(ServerReader *sr, MessageWriter *w, RTMP *r, const RTMPPacket &pkt)
{
    const char *b = pkt.m_body;
    switch (pkt.m_packetType) {
    case RTMP_PACKET_TYPE_CHUNK_SIZE:
        if (const uint32_t size = get_be32(b) & kPositive31Bits)
            r->m_inChunkSize = int(size);
        break;
    case RTMP_PACKET_TYPE_BYTES_READ_REPORT: {
        const uint32_t seq = get_be32(b);
        sr->acked += uint32_t(seq - sr->last_ack_seq);  // the sequence number wraps at 2^32
        sr->last_ack_seq = seq;
        break;
    }
    case RTMP_PACKET_TYPE_CONTROL:
        if (pkt.m_nBodySize >= 6 && get_be16(b) == kUserControlPingRequest)
            answer_ping(sr, w, r, b + 2);
        break;
    case RTMP_PACKET_TYPE_SERVER_BW:
        r->m_nServerBW = int(get_be32(b) & kPositive31Bits);
        break;
    case RTMP_PACKET_TYPE_CLIENT_BW:
        r->m_nClientBW = int(get_be32(b) & kPositive31Bits);
        if (pkt.m_nBodySize >= 5)
            r->m_nClientBW2 = uint8_t(b[4]);
        break;
    case RTMP_PACKET_TYPE_INVOKE:
    case RTMP_PACKET_TYPE_FLEX_MESSAGE:
        if (read_server_command(r, &pkt) != ServerVerdict::kGoOn)
            sr->is_lost = true;
        break;
    default:
        break;  // media, data and shared objects mean nothing to a publisher
    }
}

// Reads the chunk that lies ready; false when the link is done with.
bool read_chunk(ServerReader *sr, MessageWriter *w, RTMP *r)
{
    RTMPPacket packet = {};
    if (!sr->guard.read(&packet))
        return false;
    if (RTMPPacket_IsReady(&packet) && packet.m_nBodySize && sr->guard.admits(&packet))
        handle_message(sr, w, r, packet);
    RTMPPacket_Free(&packet);
    return true;
}

}  // namespace

ServerReader *server_reader_new(RTMP *r)
{
    auto *sr = new (std::nothrow) ServerReader(r);
    // Acknowledgements are ours from now on: librtmp's reader would send
    // its own by the peer bandwidth instead of the server's window.
    if (sr && r)
        r->m_bSendCounter = 0;
    return sr;
}

void server_reader_free(ServerReader *sr) { delete sr; }

bool server_reader_announce_window(ServerReader *sr, MessageWriter *w, RTMP *r)
{
    if (!sr || !r || r->m_nServerBW <= 0)
        return false;
    char body[4];
    put_be32(body, uint32_t(r->m_nServerBW));  // acknowledgement window
    return send_control(sr, w, r, RTMP_PACKET_TYPE_SERVER_BW, body, sizeof body);
}

bool server_reader_pump(ServerReader *sr, MessageWriter *w, RTMP *r, int wait_ms)
{
    if (!sr || !r)
        return false;
    // A publish the server has ended is still read: its acknowledgements
    // count until the link is done.
    for (int i = 0; i < kMaxChunksPerLook && !sr->is_link_done && is_readable_link(r); i++) {
        if (has_whole_chunk(r)) {
            sr->is_link_done = !read_chunk(sr, w, r);
            continue;
        }
        const int got = fill_now(r, i == 0 ? wait_ms : 0);
        sr->is_link_done = got == kFillClosed;
        if (got <= 0)
            break;
    }
    if (sr->is_link_done)
        sr->is_lost = true;
    else
        acknowledge_if_due(sr, w, r);
    return !sr->is_lost;
}

bool server_reader_is_lost(const ServerReader *sr) { return !sr || sr->is_lost; }

bool server_reader_is_link_done(const ServerReader *sr) { return !sr || sr->is_link_done; }

void server_reader_resume(ServerReader *sr)
{
    if (sr)
        sr->is_lost = sr->is_link_done;
}

void server_reader_stop_answering(ServerReader *sr)
{
    if (sr)
        sr->may_answer = false;
}

uint64_t server_reader_bytes_acked(const ServerReader *sr) { return sr ? sr->acked : 0; }

}  // namespace tavrel
