// FLV stream writer: FLV tags in, one RTMP message per tag out, its header
// fields in the connection's write packet (m_write). The exported writers
// assemble the body there and send it with librtmp's sender; the
// publisher's sends the tag's data where it lies through its message
// writer.
#include "RTMPDumpUtil/flv_stream_writer.h"

#include "Quorlen.h"
#include "RTMPDumpUtil.h"
#include "RTMPDumpUtil/byte_order.h"
#include "RTMPDumpUtil/counted_text.h"
#include "RTMPDumpUtil/message_writer.h"

#include <librtmp/log.h>

#include <cstring>
#include <mutex>
#include <unordered_map>

extern "C" const AVal av_setDataFrame = AV_LITERAL("setDataFrame");

using namespace tavrel;

namespace {

constexpr int kFileHeaderLen = FLV_FILE_HEADER_LEN;
constexpr int kTagHeaderLen = FLV_TAG_HEADER_LEN;
constexpr int kTrailerLen = FLV_PREV_TAG_SIZE_LEN;

// "setDataFrame" (av_setDataFrame) as an AMF0 string: marker, 16-bit
// length, 12 characters; in front of a script-data tag's body.
constexpr char kScriptPrefix[] = "\x02\x00\x0c"
                                 "setDataFrame";
constexpr uint32_t kScriptPrefixLen = sizeof kScriptPrefix - 1;

bool is_file_header(const char *p) { return p[0] == 'F' && p[1] == 'L' && p[2] == 'V'; }

// Fills m_write's header fields from an 11-byte FLV tag header.
void parse_tag_header(RTMPPacket *pkt, const uint8_t *h)
{
    pkt->m_packetType = h[0];
    pkt->m_nBodySize = get_be24(h + 1);
    pkt->m_nTimeStamp = get_be24(h + 4) | uint32_t(h[7]) << 24;  // bits 23..0, then 31..24
    // Bytes 8..10, the stream id, are not used: the connection's stream is.
    bool is_info = pkt->m_packetType == FLV_TAG_TYPE_SCRIPT;
    bool is_video = pkt->m_packetType == FLV_TAG_TYPE_VIDEO;
    bool is_av = pkt->m_packetType == FLV_TAG_TYPE_AUDIO || is_video;
    bool is_first_av = is_av && pkt->m_nTimeStamp == 0;
    pkt->m_headerType = (is_video || is_first_av || is_info) ? RTMP_PACKET_SIZE_LARGE : RTMP_PACKET_SIZE_MEDIUM;
    if (is_info)
        pkt->m_nBodySize += kScriptPrefixLen;
}

// Allocates the body and, for script data, writes the "setDataFrame" prefix.
bool begin_body(RTMPPacket *pkt)
{
    RTMPPacket_Free(pkt);  // a tag abandoned half-way must not leak
    if (!RTMPPacket_Alloc(pkt, pkt->m_nBodySize))
        return false;
    pkt->m_nBytesRead = 0;
    if (pkt->m_packetType == FLV_TAG_TYPE_SCRIPT) {
        std::memcpy(pkt->m_body, kScriptPrefix, kScriptPrefixLen);
        pkt->m_nBytesRead = kScriptPrefixLen;
    }
    return true;
}

// An FLV stream holds audio, video and script data only. Any other type
// would go out as an RTMP control or command message (a Set Chunk Size
// that librtmp itself does not follow, a command librtmp parses), and a
// body that the 24-bit message length cannot hold would desynchronise the
// chunk stream: such tags are not sent.
bool is_sendable(const RTMPPacket *pkt)
{
    bool flv_type = pkt->m_packetType == FLV_TAG_TYPE_AUDIO || pkt->m_packetType == FLV_TAG_TYPE_VIDEO ||
                    pkt->m_packetType == FLV_TAG_TYPE_SCRIPT;
    return flv_type && pkt->m_nBodySize <= 0xFFFFFF;
}

bool send_body(RTMP *r, RTMPPacket *pkt)
{
    int sent = RTMP_SendPacket(r, pkt, 0);
    RTMPPacket_Free(pkt);
    pkt->m_nBytesRead = 0;
    return sent != 0;
}

// RTMP_Write_fix may be handed a tag header, a file header or a trailer in
// pieces. The pieces wait here, per connection, until they are whole; a
// connection is in the map only while such a piece is pending.
struct Pending {
    uint8_t head[kFileHeaderLen + kTagHeaderLen];
    int head_len = 0;   // bytes of head collected
    int skip_left = 0;  // bytes still to skip: a trailer, or a refused tag

    bool is_empty() const { return head_len == 0 && skip_left == 0; }
};

std::mutex pending_mutex;
std::unordered_map<const RTMP *, Pending> pending_by_rtmp;

Pending take_pending(const RTMP *r)
{
    std::lock_guard<std::mutex> lock(pending_mutex);
    Pending pending;
    auto it = pending_by_rtmp.find(r);
    if (it != pending_by_rtmp.end()) {
        pending = it->second;
        pending_by_rtmp.erase(it);
    }
    return pending;
}

void keep_pending(const RTMP *r, const Pending &pending)
{
    if (pending.is_empty())
        return;
    std::lock_guard<std::mutex> lock(pending_mutex);
    pending_by_rtmp[r] = pending;
}

// What is left of one RTMP_Write_fix call's bytes.
struct Input {
    const char *p;
    int left;

    int take(int want) const { return want < left ? want : left; }
    void skip(int n)
    {
        p += n;
        left -= n;
    }
};

// Collects the tag header, behind a file header when the first three bytes
// say "FLV" (they may come in pieces too). The whole header, or null when
// its rest comes with the next call.
const uint8_t *collect_head(Pending *pending, Input *in)
{
    auto head_wanted = [pending] {
        bool file = pending->head_len >= 3 && is_file_header(reinterpret_cast<const char *>(pending->head));
        return kTagHeaderLen + (file ? kFileHeaderLen : 0);
    };
    int want = head_wanted();
    for (;;) {
        int n = in->take(want - pending->head_len);
        std::memcpy(pending->head + pending->head_len, in->p, static_cast<size_t>(n));
        pending->head_len += n;
        in->skip(n);
        if (head_wanted() == want)
            break;
        want = head_wanted();  // "FLV" just completed: a file header leads
    }
    if (pending->head_len < want)
        return nullptr;
    pending->head_len = 0;
    return pending->head + (want > kTagHeaderLen ? kFileHeaderLen : 0);
}

// Starts the tag whose header is h: 1 with its body ready, 0 when the tag
// is not sent and is skipped, -1 when the body cannot be allocated.
int begin_tag(RTMPPacket *pkt, const uint8_t *h, Pending *pending)
{
    parse_tag_header(pkt, h);
    if (!is_sendable(pkt)) {
        RTMP_Log(RTMP_LOGWARNING, "%s, tag of type %d and %u bytes is not sent", "RTMP_Write_fix", pkt->m_packetType,
                 get_be24(h + 1));
        pending->skip_left = static_cast<int>(get_be24(h + 1)) + kTrailerLen;
        return 0;
    }
    if (!begin_body(pkt)) {
        RTMP_Log(RTMP_LOGDEBUG, "%s, failed to allocate packet", "RTMP_Write_fix");
        return -1;
    }
    return 1;
}

// Copies what the call holds of the tag's data; true once it is all there.
bool fill_tag(RTMPPacket *pkt, Input *in)
{
    uint32_t room = pkt->m_nBodySize - pkt->m_nBytesRead;
    uint32_t n = static_cast<uint32_t>(in->left) < room ? static_cast<uint32_t>(in->left) : room;
    std::memcpy(pkt->m_body + pkt->m_nBytesRead, in->p, n);
    pkt->m_nBytesRead += n;
    in->skip(static_cast<int>(n));
    return pkt->m_nBytesRead == pkt->m_nBodySize;
}

// Skips the previous tag size. When the call ends inside it, the rest is
// skipped at the start of the next call, so every byte of this one counts
// as taken.
void skip_trailer(Pending *pending, Input *in)
{
    const int n = in->take(kTrailerLen);
    pending->skip_left = kTrailerLen - n;
    in->skip(n);
}

// One whole tag at the start of an RTMP_Write_v2-style call, read into the
// connection's write packet: its header fields set, its data located.
struct TagInput {
    const char *data;
    uint32_t data_len;
    int left_after;  // bytes of the call behind the tag's data
};

// False (logged) when the call holds no whole tag that may be sent.
bool read_one_tag(RTMP *r, const char *buff, int buff_len, Logger *logger, const char *who, TagInput *in)
{
    if (!r || !buff || buff_len <= 10)
        return false;
    RTMPPacket *pkt = &r->m_write;
    const char *p = buff;
    int left = buff_len;

    if (is_file_header(p)) {
        if (left < kFileHeaderLen + kTagHeaderLen)
            return false;
        p += kFileHeaderLen;
        left -= kFileHeaderLen;
    }
    pkt->m_nChannel = 4;
    pkt->m_nInfoField2 = r->m_stream_id;
    parse_tag_header(pkt, reinterpret_cast<const uint8_t *>(p));
    p += kTagHeaderLen;
    left -= kTagHeaderLen;

    logger_log(logger, OSTREL_FINE, "%s - 0:: ", who);
    pprint_pkt(logger, pkt);

    // Sending a tag whose data is not all here would put whatever the heap
    // holds on the wire.
    uint32_t data_len = pkt->m_nBodySize - (pkt->m_packetType == FLV_TAG_TYPE_SCRIPT ? kScriptPrefixLen : 0);
    if (static_cast<uint32_t>(left) < data_len) {
        logger_log(logger, OSTREL_WARNING, "%s, tag data is %d bytes, its header announces %u", who, left, data_len);
        return false;
    }
    if (!is_sendable(pkt)) {
        logger_log(logger, OSTREL_WARNING, "%s, tag of type %d and %u bytes is not sent", who, pkt->m_packetType,
                   data_len);
        return false;
    }
    *in = TagInput{p, data_len, left - static_cast<int>(data_len)};
    return true;
}

}  // namespace

namespace tavrel {

int write_flv_tag(MessageWriter *w, RTMP *r, const char *buff, int buff_len, Logger *logger)
{
    TagInput in;
    if (!read_one_tag(r, buff, buff_len, logger, "RTMP_Write_v2", &in))
        return -1;
    // The message is the tag's data where it lies, behind the
    // "setDataFrame" prefix for script data: nothing allocated or copied.
    // It is sent from a copy of m_write: a failed write closes the
    // connection, and librtmp's close releases m_write's body.
    RTMPPacket pkt = r->m_write;
    const bool is_script = pkt.m_packetType == FLV_TAG_TYPE_SCRIPT;
    const BodySlice slices[2] = {{kScriptPrefix, is_script ? kScriptPrefixLen : 0}, {in.data, in.data_len}};
    pkt.m_body = const_cast<char *>(in.data);
    pkt.m_nBytesRead = pkt.m_nBodySize;

    logger_log(logger, OSTREL_FINE, "RTMP_Write_v2 - 1:: ");
    pprint_pkt(logger, &pkt);

    const int sent = send_message(w, r, &pkt, slices, 2, 0);
    r->m_write.m_headerType = pkt.m_headerType;  // compressed, as RTMP_Write_v2 leaves it
    if (!sent)
        return -3;
    return buff_len + in.left_after - kTrailerLen;
}

}  // namespace tavrel

extern "C" {

int RTMP_Write_v2(RTMP *r, const char *buff, int buff_len, Logger *logger)
{
    TagInput in;
    if (!read_one_tag(r, buff, buff_len, logger, "RTMP_Write_v2", &in))
        return -1;
    RTMPPacket *pkt = &r->m_write;
    if (!begin_body(pkt)) {
        logger_log(logger, OSTREL_FINE, "%s, failed to allocate packet", "RTMP_Write_v2");
        return -2;
    }
    std::memcpy(pkt->m_body + pkt->m_nBytesRead, in.data, in.data_len);
    pkt->m_nBytesRead += in.data_len;

    logger_log(logger, OSTREL_FINE, "RTMP_Write_v2 - 1:: ");
    pprint_pkt(logger, pkt);

    if (!send_body(r, pkt))
        return -3;
    return buff_len + in.left_after - kTrailerLen;
}

int RTMP_Write_fix(RTMP *r, const char *buf, int size)
{
    if (!r || !buf || size < 0)
        return 0;
    RTMPPacket *pkt = &r->m_write;
    pkt->m_nChannel = 4;
    pkt->m_nInfoField2 = r->m_stream_id;

    Pending pending = take_pending(r);
    // A tag is under way exactly while its body exists: a body released
    // behind our back (RTMPPacket_Free leaves m_nBytesRead) starts afresh.
    bool in_tag = pkt->m_body != nullptr;
    // A call too short for a tag header, at a tag boundary with nothing
    // pending: refuse it whole so that the caller hands it in again later.
    if (!in_tag && pending.is_empty() && size <= 10)
        return 0;

    Input in{buf, size};
    while (in.left > 0) {
        if (pending.skip_left > 0) {
            const int n = in.take(pending.skip_left);
            pending.skip_left -= n;
            in.skip(n);
            continue;
        }
        if (!in_tag) {
            const uint8_t *h = collect_head(&pending, &in);
            if (!h)
                break;  // the rest of the header comes with the next call
            const int begun = begin_tag(pkt, h, &pending);
            if (begun < 0)
                return 0;
            if (begun == 0)
                continue;
            in_tag = true;
        }
        if (fill_tag(pkt, &in)) {
            in_tag = false;
            if (!send_body(r, pkt))
                return -1;
            skip_trailer(&pending, &in);
        }
    }
    keep_pending(r, pending);
    return size + in.left;
}

void flv_stream_writer_forget(RTMP *r)
{
    if (!r)
        return;
    RTMPPacket_Free(&r->m_write);  // a tag whose data never came
    r->m_write.m_nBytesRead = 0;
    std::lock_guard<std::mutex> lock(pending_mutex);
    pending_by_rtmp.erase(r);
}

}  // extern "C"
