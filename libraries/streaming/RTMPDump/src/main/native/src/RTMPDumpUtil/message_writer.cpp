// Message writer: one RTMP message laid out as chunks (headers in a local
// buffer, the body slices between them) and handed to the connection in one
// call, from where the pieces lie or gathered into a buffer the writer keeps
// and reuses, whichever the link and the pieces' sizes make cheaper.
#include "RTMPDumpUtil/message_writer.h"

#include "RTMPDumpUtil/chunk_header.h"
#include "RTMPDumpUtil/wire_output.h"

#include <librtmp/log.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace tavrel {

namespace {

constexpr const char *kWho = "send_message";

// The kernel spends about as much on one more piece of a sendmsg as on
// copying 700 bytes: messages of smaller pieces on average (every message
// at chunk sizes up to 1024, short ones at any size) are cheaper gathered
// into one buffer first; larger ones (a key frame at 4096) go out from
// where they lie.
constexpr size_t kMinAveragePiece = 1024;

// What a connection starts with and keeps until told otherwise.
constexpr size_t kDefaultChunkSize = 128;

// A buffer that grows to the largest size asked for and is never shrunk:
// after the first messages a send allocates nothing. For plain records.
template <typename T>
class Grown {
public:
    ~Grown() { std::free(data_); }
    // Room for n; null (the old room kept) when memory runs out.
    T *room(size_t n)
    {
        if (n > cap_) {
            auto *grown = static_cast<T *>(std::realloc(data_, n * sizeof(T)));
            if (!grown)
                return nullptr;
            data_ = grown;
            cap_ = n;
        }
        return data_;
    }
    T *data() const { return data_; }

private:
    T *data_ = nullptr;
    size_t cap_ = 0;
};

// What the writer knows of a chunk stream beyond librtmp's record: whether
// the last header it wrote there had the extended timestamp, valid while
// the record is still the one it left.
struct ChannelMark {
    int channel;
    bool is_extended;
    RTMPPacket left;
};

bool same_record(const RTMPPacket &a, const RTMPPacket &b)
{
    return a.m_headerType == b.m_headerType && a.m_packetType == b.m_packetType && a.m_nChannel == b.m_nChannel &&
           a.m_nTimeStamp == b.m_nTimeStamp && a.m_nInfoField2 == b.m_nInfoField2 &&
           a.m_nBodySize == b.m_nBodySize && a.m_body == b.m_body;
}

// One message as it goes on the wire.
struct Layout {
    const ChunkHeaders *h;
    const BodySlice *slices;
    int num_slices;
    uint32_t body_len;
    uint32_t chunk_size;
    uint64_t chunks;  // 0 for an empty body
    size_t wire_len;
    size_t max_pieces;  // every slice cut at every chunk boundary
};

Layout lay_out(const ChunkHeaders &h, const BodySlice *slices, int num_slices, uint32_t body_len, int chunk_size)
{
    Layout l = {&h, slices, num_slices, body_len, uint32_t(chunk_size), 0, 0, 0};
    l.chunks = (uint64_t(body_len) + l.chunk_size - 1) / l.chunk_size;
    const size_t continuations = l.chunks > 0 ? size_t(l.chunks - 1) : 0;
    l.wire_len = size_t(h.first_len) + body_len + continuations * size_t(h.continuation_len);
    l.max_pieces = 1 + size_t(num_slices) + 2 * continuations;
    return l;
}

// Hands every piece over in wire order: the first header and the
// continuation header in front of every chunk but the first to header(),
// the slices cut where chunks end to body(). Runs once per chunk:
// everything it reads is kept in locals.
template <typename Header, typename Body>
void walk(const Layout &l, Header header, Body body)
{
    header(l.h->first, size_t(l.h->first_len));
    const char *continuation = l.h->continuation;
    const size_t continuation_len = size_t(l.h->continuation_len);
    const uint32_t chunk_size = l.chunk_size;
    uint32_t room = chunk_size;  // left in the current chunk
    for (int i = 0; i < l.num_slices; i++) {
        const char *data = l.slices[i].data;
        uint32_t len = l.slices[i].len;
        while (len > 0) {
            if (room == 0) {
                header(continuation, continuation_len);
                room = chunk_size;
            }
            const uint32_t n = len < room ? len : room;
            body(data, size_t(n));
            data += n;
            len -= n;
            room -= n;
        }
    }
}

}  // namespace

struct MessageWriter {
    uint64_t bytes_written = 0;
    int timeout_ms = 0;
    Grown<iovec> pieces;
    Grown<char> gathered;
    Grown<ChannelMark> marks;
    int num_marks = 0;
};

namespace {

ChannelMark *find_mark(MessageWriter *w, int channel)
{
    for (int i = 0; i < w->num_marks; i++)
        if (w->marks.data()[i].channel == channel)
            return &w->marks.data()[i];
    return nullptr;
}

// Whether a type-3 header on the chunk stream must carry the extended
// timestamp. When another sender (librtmp's own) wrote the last message,
// only a full header tells it by its absolute timestamp.
bool continues_extended(MessageWriter *w, const RTMP *r, int channel)
{
    const RTMPPacket *record = last_record(r, channel);
    if (!record)
        return false;
    const ChannelMark *mark = find_mark(w, channel);
    if (mark && same_record(mark->left, *record))
        return mark->is_extended;
    return record->m_headerType == RTMP_PACKET_SIZE_LARGE && record->m_nTimeStamp >= kTimestampFieldMax;
}

void leave_mark(MessageWriter *w, const RTMPPacket &pkt, bool is_extended)
{
    ChannelMark *mark = find_mark(w, pkt.m_nChannel);
    if (!mark) {
        ChannelMark *all = w->marks.room(size_t(w->num_marks) + 1);
        if (!all)
            return;  // unknown later, and then told from the record
        mark = &all[w->num_marks++];
        mark->channel = pkt.m_nChannel;
    }
    mark->is_extended = is_extended;
    mark->left = pkt;
}

// The slices must hold exactly the body the header announces; an
// invocation's must lie at m_body, where its bookkeeping reads it.
bool slices_fit(const RTMPPacket *pkt, const BodySlice *slices, int num_slices)
{
    bool fits = num_slices >= 0 && (slices || num_slices == 0);
    uint64_t total = 0;
    for (int i = 0; fits && i < num_slices; i++) {
        fits = slices[i].data || slices[i].len == 0;
        total += slices[i].len;
    }
    if (pkt->m_packetType == RTMP_PACKET_TYPE_INVOKE)
        fits = fits && num_slices == 1 && slices[0].data == pkt->m_body;
    if (fits && total == pkt->m_nBodySize)
        return true;
    RTMP_Log(RTMP_LOGERROR, "%s: refused, %d slices of %lu bytes for a body of %u; nothing sent", kWho, num_slices,
             static_cast<unsigned long>(total), pkt->m_nBodySize);
    return false;
}

bool no_room(const Layout &l)
{
    RTMP_Log(RTMP_LOGERROR, "%s: no memory to lay out %lu bytes; nothing sent", kWho,
             static_cast<unsigned long>(l.wire_len));
    return false;
}

// The pieces as they lie, contiguous neighbours merged, in one sendmsg on a
// plain socket; gathered into the writer's buffer when the link needs one
// buffer, the message more pieces than one call takes or pieces too small
// to be worth the kernel's while.
bool put_message(MessageWriter *w, RTMP *r, const Layout &l)
{
    const WireOutput out = {r, w->timeout_ms, &w->bytes_written};
    if (!needs_one_buffer(r) && l.max_pieces <= size_t(kMaxWirePieces) &&
        l.wire_len >= kMinAveragePiece * l.max_pieces) {
        iovec *iov = w->pieces.room(l.max_pieces);
        if (!iov)
            return no_room(l);
        int n = 0;
        auto piece = [&](const char *data, size_t len) {
            if (n > 0 && static_cast<char *>(iov[n - 1].iov_base) + iov[n - 1].iov_len == data) {
                iov[n - 1].iov_len += len;
                return;
            }
            iov[n++] = iovec{const_cast<char *>(data), len};
        };
        walk(l, piece, piece);
        return put_pieces(out, iov, n, l.wire_len);
    }
    char *buf = w->gathered.room(l.wire_len);
    if (!buf)
        return no_room(l);
    char *end = buf;
    walk(
        l,
        [&end](const char *data, size_t len) {
            if (len == 1)
                *end = *data;  // the usual continuation header: no call for one byte
            else
                std::memcpy(end, data, len);
            end += len;
        },
        [&end](const char *data, size_t len) {
            // A whole chunk at the default size, RTMP's most common piece,
            // is copied in place rather than through a call.
            if (len == kDefaultChunkSize)
                __builtin_memcpy(end, data, kDefaultChunkSize);
            else
                std::memcpy(end, data, len);
            end += len;
        });
    return put_buffer(out, buf, size_t(end - buf));
}

}  // namespace

MessageWriter *message_writer_new(const RTMP *r)
{
    auto *w = new (std::nothrow) MessageWriter;
    if (w && r)
        w->timeout_ms = socket_send_timeout_ms(r->m_sb.sb_socket);
    return w;
}

void message_writer_free(MessageWriter *w) { delete w; }

void message_writer_set_timeout(MessageWriter *w, int timeout_ms)
{
    if (w)
        w->timeout_ms = timeout_ms > 0 ? timeout_ms : 0;
}

uint64_t message_writer_bytes_written(const MessageWriter *w) { return w ? w->bytes_written : 0; }

int send_message(MessageWriter *w, RTMP *r, RTMPPacket *pkt, const BodySlice *slices, int num_slices,
                 int use_remote_call_queue)
{
    if (!w || !r || !pkt || !is_sendable_message(r, pkt, kMaxChunkStreamId, kWho, true) ||
        !slices_fit(pkt, slices, num_slices))
        return 0;
    uint32_t elapsed_ts;
    RTMPPacket *fresh_record;
    if (!prepare_message(r, pkt, kWho, &elapsed_ts, &fresh_record))
        return 0;

    char room[kMaxChunkHeaderLen];
    ChunkHeaders h;
    const bool after_extended =
        pkt->m_headerType == RTMP_PACKET_SIZE_MINIMUM && continues_extended(w, r, pkt->m_nChannel);
    build_chunk_headers(pkt, elapsed_ts, after_extended, room + kMaxChunkHeaderLen, &h);
    RTMP_Log(RTMP_LOGDEBUG2, "%s: fd=%d, size=%d", kWho, r->m_sb.sb_socket, int(pkt->m_nBodySize));
    if (!put_message(w, r, lay_out(h, slices, num_slices, pkt->m_nBodySize, r->m_outChunkSize))) {
        std::free(fresh_record);
        return 0;
    }

    if (pkt->m_packetType == RTMP_PACKET_TYPE_INVOKE)
        remember_invocation(r, pkt, use_remote_call_queue, kWho);
    keep_record(r, pkt, fresh_record);
    leave_mark(w, *pkt, h.is_extended);
    return 1;
}

int send_packet_body(MessageWriter *w, RTMP *r, RTMPPacket *pkt, int use_remote_call_queue)
{
    if (!pkt)
        return 0;
    const BodySlice body = {pkt->m_body, pkt->m_nBodySize};
    return send_message(w, r, pkt, &body, pkt->m_body ? 1 : 0, use_remote_call_queue);
}

}  // namespace tavrel
