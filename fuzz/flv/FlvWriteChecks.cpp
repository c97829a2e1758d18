#include "FlvWriteChecks.h"
#include "../common/FuzzCheck.h"

#include "RTMPDumpUtil.h"
#include "RTMPDumpUtilInternal.h"
#include "LoopbackLink.h"
#include "RtmpChunks.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using tavrel_testing::ChunkDecoder;
using tavrel_testing::RtmpMessage;

constexpr size_t kMaxInput = 1 << 20;
constexpr uint8_t kAudio = 8, kVideo = 9, kScript = 18;

// A tag the writer must turn into one message, read here independently of
// the writer.
struct Tag {
    uint8_t type;
    uint32_t ts;
    std::vector<uint8_t> body;  // what the message carries
    size_t end;                 // stream offset at which the message is complete
};

uint32_t be24(const uint8_t *p) { return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2]; }

bool file_header_at(const uint8_t *p, size_t left) { return left >= 3 && p[0] == 'F' && p[1] == 'L' && p[2] == 'V'; }

// Only FLV's own tag types go out, with a length the message header holds.
bool is_sent(const uint8_t *h)
{
    uint32_t len = be24(h + 1);
    return h[0] == kAudio || h[0] == kVideo || (h[0] == kScript && len <= 0xFFFFFF - 15);
}

// h: an 11-byte tag header followed by its data.
Tag tag_at(const uint8_t *h, size_t end)
{
    static const uint8_t kPrefix[] = {0x02, 0x00, 0x0C, 's', 'e', 't', 'D', 'a', 't', 'a', 'F', 'r', 'a', 'm', 'e'};
    Tag t{h[0], be24(h + 4) | uint32_t(h[7]) << 24, {}, end};
    const size_t prefix_len = t.type == kScript ? sizeof kPrefix : 0, data_len = be24(h + 1);
    t.body.resize(prefix_len + data_len);
    if (prefix_len > 0)
        std::memcpy(t.body.data(), kPrefix, prefix_len);
    if (data_len > 0)
        std::memcpy(t.body.data() + prefix_len, h + 11, data_len);
    return t;
}

// The tags of a whole stream, as RTMP_Write_fix must send them.
struct StreamModel {
    std::vector<Tag> tags;
    bool ends_in_data = false;  // the last tag's header is whole, its data is not
    std::vector<size_t> boundaries;  // where a tag may start with nothing pending
};

StreamModel model_stream(const uint8_t *s, size_t n)
{
    StreamModel m;
    size_t pos = 0;
    while (pos < n) {
        m.boundaries.push_back(pos);
        size_t head = file_header_at(s + pos, n - pos) ? 13 : 0;
        if (n - pos < head + 11)
            break;
        const uint8_t *h = s + pos + head;
        size_t data = pos + head + 11, len = be24(h + 1);
        if (!is_sent(h)) {
            pos = data + len + 4;  // skipped, data and trailer
            continue;
        }
        if (n - data < len) {
            m.ends_in_data = true;
            break;
        }
        m.tags.push_back(tag_at(h, data + len));
        pos = data + len + 4;  // the previous tag size, whatever it says
    }
    if (pos == n)
        m.boundaries.push_back(pos);
    return m;
}

// The messages must be the tags, in order, on chunk stream 4 with the
// header type the writer chooses (full for video, script data and audio at
// time 0). librtmp compresses a header without stream id further: no
// length when length and type repeat (fmt 2), no time either when the time
// repeats too (fmt 3); the time fields carry deltas from the previous
// message.
void check_messages(LoopbackLink &link, const std::vector<Tag> &want)
{
    const std::vector<RtmpMessage> got = link.finish();
    bool prev_extended = false;
    for (size_t i = 0; i < want.size(); ++i) {
        const Tag &t = want[i];
        const bool full = t.type == kVideo || t.type == kScript || (t.type == kAudio && t.ts == 0);
        int fmt = full ? 0 : 1;
        uint32_t time_field = t.ts;
        if (i > 0 && !full) {
            const Tag &prev = want[i - 1];
            if (t.type == prev.type && t.body.size() == prev.body.size())
                fmt = t.ts == prev.ts ? 3 : 2;
            time_field = t.ts - prev.ts;
        }
        if (fmt == 3 && prev_extended) {
            // librtmp leaves out the extended time that a header of type 3
            // repeats after one that had it, so no receiver can read on
            // from here. The sender's fault, not the writer's: stop here.
            CHECK(got.size() >= i);
            return;
        }
        prev_extended = fmt < 3 && time_field >= 0xFFFFFF;
        CHECK(i < got.size());
        const RtmpMessage &m = got[i];
        CHECK(m.csid == 4);
        CHECK(m.type == t.type);
        CHECK(m.body == t.body);
        CHECK(m.fmt == fmt);
        if (fmt == 0)
            CHECK(m.timestamp == t.ts && m.stream_id == 1);
        else if (i == 0)
            CHECK(m.timestamp == t.ts);  // a delta from 0
        else if (fmt < 3)
            CHECK(m.timestamp - got[i - 1].timestamp == time_field);
    }
    CHECK(link.decoded_cleanly());
    CHECK(got.size() == want.size());
}

void format_sink(void *, int, const char *fmt, va_list args)
{
    char text[512];
    vsnprintf(text, sizeof text, fmt, args);
}

Logger *formatting_logger()
{
    static Logger *logger = logger_new(nullptr, 0, &format_sink, nullptr);
    return logger;
}

int write_fix(RTMP *r, const std::vector<uint8_t> &b, size_t at, size_t n)
{
    return RTMP_Write_fix(r, reinterpret_cast<const char *>(b.data()) + at, static_cast<int>(n));
}

// A video tag at time 0 with 4 data bytes: what a released record must
// take as a new one would.
const std::vector<uint8_t> kProbe = {9, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0x17, 1, 2, 3, 0, 0, 0, 15};

// The most the writer can put on a link for `calls` passes over `n` input
// bytes: the bytes, a chunk header byte per 128, a message header per tag.
size_t most_written(size_t n, size_t calls) { return calls * (2 * n + 1024); }

}  // namespace

void flv_checks_init()
{
    signal(SIGPIPE, SIG_IGN);
    RTMP_LogSetLevel(RTMP_LOGCRIT);
}

void check_flv_write_v2(const uint8_t *data, size_t size)
{
    if (size < 1 || size > kMaxInput)
        return;
    const uint8_t selector = data[0];
    // The buffer in an allocation of exactly its size, so reading past it
    // is a sanitizer report.
    const std::vector<uint8_t> buf(data + 1, data + size);
    const int len = static_cast<int>(buf.size());

    bool sends = false;
    int want_rc = -1;
    Tag tag{};
    if (len > 10) {
        size_t head = file_header_at(buf.data(), buf.size()) ? 13 : 0;
        if (buf.size() >= head + 11) {
            const uint8_t *h = buf.data() + head;
            size_t left = buf.size() - head - 11, data_len = be24(h + 1);
            if (left >= data_len && is_sent(h)) {
                sends = true;
                tag = tag_at(h, 0);
                want_rc = len + static_cast<int>(left - data_len) - 4;
            }
        }
    }

    const int calls = (selector & 4) ? 2 : 1;
    LoopbackLink link(most_written(buf.size(), calls));
    RTMP &r = *link.rtmp();
    if (selector & 1)
        link.stop_taking();
    Logger *logger = (selector & 2) ? formatting_logger() : nullptr;
    std::vector<Tag> sent;
    for (int call = 0; call < calls; ++call) {
        int rc = RTMP_Write_v2(&r, reinterpret_cast<const char *>(buf.data()), len, logger);
        if (!sends) {
            CHECK(rc == -1);
        } else if (link.stopped()) {
            CHECK(rc == -3);
        } else {
            CHECK(rc == want_rc);
            sent.push_back(tag);
        }
        // No state is left between calls.
        CHECK(r.m_write.m_body == nullptr && r.m_write.m_nBytesRead == 0);
    }
    check_messages(link, sent);
}

void check_flv_write_fix(const uint8_t *data, size_t size)
{
    if (size < 2 || size > kMaxInput)
        return;
    const uint8_t selector = data[0];
    const size_t cuts = data[1] & 15;
    if (size < 2 + 2 * cuts)
        return;
    const std::vector<uint8_t> stream(data + 2 + 2 * cuts, data + size);
    const size_t n = stream.size();
    std::vector<size_t> piece_ends;
    size_t end = 0;
    for (size_t i = 0; i < cuts; ++i) {
        size_t piece = size_t(data[2 + 2 * i]) << 8 | data[3 + 2 * i];
        end += piece < n - end ? piece : n - end;
        piece_ends.push_back(end);
    }
    piece_ends.push_back(n);
    const StreamModel model = model_stream(stream.data(), n);
    auto is_boundary = [&](size_t at) {
        for (size_t b : model.boundaries)
            if (b == at)
                return true;
        return false;
    };

    const bool twin = selector & 1;
    const bool stops = selector & 2;
    const size_t stop_before = selector >> 4;
    const size_t most = most_written(n + kProbe.size(), 1);
    LoopbackLink link_a(most);
    std::unique_ptr<LoopbackLink> link_b = twin ? std::make_unique<LoopbackLink>(most) : nullptr;
    RTMP *a = link_a.rtmp();
    std::vector<RTMP *> records = {a};
    if (link_b)
        records.push_back(link_b->rtmp());

    size_t at = 0, call = 0, sent = model.tags.size();
    bool failed = false;
    for (size_t piece_end : piece_ends) {
        if (stops && call == stop_before) {
            link_a.stop_taking();
            if (link_b)
                link_b->stop_taking();
        }
        ++call;
        const size_t len = piece_end - at;
        int rc = write_fix(a, stream, at, len);
        if (link_b)
            CHECK(write_fix(link_b->rtmp(), stream, at, len) == rc);
        if (len <= 10 && is_boundary(at)) {
            // Too short to start a tag: refused whole, handed in again
            // with the next piece.
            CHECK(rc == 0);
            continue;
        }
        bool completes = false;
        for (const Tag &t : model.tags)
            completes = completes || (t.end > at && t.end <= piece_end);
        if (link_a.stopped() && completes) {
            CHECK(rc == -1);
            failed = true;
            sent = 0;
            while (sent < model.tags.size() && model.tags[sent].end <= at)
                ++sent;
            break;
        }
        CHECK(rc == static_cast<int>(len));
        at = piece_end;
    }

    std::vector<Tag> want(model.tags.begin(), model.tags.begin() + long(sent));
    for (RTMP *r : records) {
        // A tag is kept between calls only while its data is incomplete.
        CHECK((r->m_write.m_body != nullptr) == (!failed && model.ends_in_data && at == n));
        flv_stream_writer_forget(r);
        CHECK(r->m_write.m_body == nullptr);
        if (!link_a.stopped())
            CHECK(write_fix(r, kProbe, 0, kProbe.size()) == static_cast<int>(kProbe.size()));
    }
    if (!link_a.stopped())
        want.push_back(tag_at(kProbe.data(), 0));
    check_messages(link_a, want);
    if (link_b)
        check_messages(*link_b, want);
}
