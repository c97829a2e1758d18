#include "RtmpChunks.h"

namespace tavrel_testing {

namespace {

uint32_t be(const uint8_t *p, int n)
{
    uint32_t v = 0;
    for (int i = 0; i < n; i++)
        v = v << 8 | p[i];
    return v;
}

}  // namespace

ChunkDecoder::Stream &ChunkDecoder::stream(uint32_t csid)
{
    for (auto &s : streams_)
        if (s.first == csid)
            return s.second;
    streams_.emplace_back(csid, Stream{});
    return streams_.back().second;
}

bool ChunkDecoder::feed(const uint8_t *data, size_t len)
{
    if (failed_)
        return false;
    buf_.insert(buf_.end(), data, data + len);
    while (!failed_ && parse_one()) {
    }
    if (pos_ > 65536) {
        buf_.erase(buf_.begin(), buf_.begin() + long(pos_));
        pos_ = 0;
    }
    return !failed_;
}

bool ChunkDecoder::parse_one()
{
    const uint8_t *p = buf_.data() + pos_;
    size_t avail = buf_.size() - pos_;
    size_t at = 0;
    if (avail < 1)
        return false;
    uint8_t fmt = p[0] >> 6;
    uint32_t csid = p[0] & 0x3F;
    at = 1;
    if (csid == 0) {
        if (avail < 2)
            return false;
        csid = 64 + p[1];
        at = 2;
    } else if (csid == 1) {
        if (avail < 3)
            return false;
        csid = 64 + p[1] + 256u * p[2];
        at = 3;
    }
    static const int kHeaderLen[4] = {11, 7, 3, 0};
    if (avail < at + kHeaderLen[fmt])
        return false;
    Stream &s = stream(csid);
    const uint8_t *h = p + at;
    at += kHeaderLen[fmt];
    bool starts_message = s.partial.empty();
    // A compressed header on a chunk stream with no history applies to
    // zeroed state, as nginx and FFmpeg take it.
    uint32_t ts_field = fmt < 3 ? be(h, 3) : 0;
    bool extended = fmt < 3 ? ts_field == 0xFFFFFF : s.extended;
    bool reads_ext = extended && (fmt < 3 || starts_message || ext_ts_on_continuation_);
    uint32_t ext = 0;
    if (reads_ext) {
        if (avail < at + 4)
            return false;
        ext = be(p + at, 4);
        at += 4;
    }
    uint32_t length = fmt < 2 ? be(h + 3, 3) : s.length;
    size_t need = starts_message ? 0 : s.partial.size();
    uint32_t take = length - static_cast<uint32_t>(need);
    if (take > chunk_size_)
        take = chunk_size_;
    if (avail < at + take)
        return false;

    // Only now is the chunk whole: commit its header.
    if (starts_message) {
        uint32_t ts = extended ? ext : ts_field;
        switch (fmt) {
        case 0:
            s.timestamp = ts;
            s.delta = 0;
            s.stream_id = h[7] | h[8] << 8 | h[9] << 16 | uint32_t(h[10]) << 24;
            break;
        case 1:
        case 2:
            s.delta = ts;
            s.timestamp += ts;
            break;
        case 3:
            s.timestamp += s.delta;  // a new message repeats the last delta
            break;
        }
        if (fmt < 2) {
            s.length = length;
            s.type = h[6];
        }
        s.fmt = fmt;
        s.extended = extended;
        s.seen = true;
    }
    s.partial.insert(s.partial.end(), p + at, p + at + take);
    pos_ += at + take;
    if (s.partial.size() == s.length) {
        RtmpMessage m{csid, s.fmt, s.type, s.stream_id, s.timestamp, std::move(s.partial)};
        s.partial.clear();
        if (m.type == 1 && m.body.size() >= 4)
            chunk_size_ = be(m.body.data(), 4) & 0x7FFFFFFF;
        messages_.push_back(std::move(m));
    }
    return true;
}

}  // namespace tavrel_testing
