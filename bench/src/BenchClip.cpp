#include "BenchClip.h"

#include "H264.h"
#include "Media.h"
#include "Process.h"

#include <algorithm>
#include <stdexcept>

namespace bench {

namespace {

uint16_t be16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }

void put_ts(uint8_t *tag_header, uint32_t ts)
{
    tag_header[4] = uint8_t(ts >> 16);
    tag_header[5] = uint8_t(ts >> 8);
    tag_header[6] = uint8_t(ts);
    tag_header[7] = uint8_t(ts >> 24);  // extension byte: bits 31..24
}

std::vector<uint8_t> whole_tag(const tavrel_testing::FlvTag &t)
{
    uint32_t n = static_cast<uint32_t>(t.data.size());
    std::vector<uint8_t> tag(11 + n + 4, 0);
    tag[0] = t.type;
    tag[1] = uint8_t(n >> 16);
    tag[2] = uint8_t(n >> 8);
    tag[3] = uint8_t(n);
    put_ts(tag.data(), t.ts_ms);
    std::copy(t.data.begin(), t.data.end(), tag.begin() + 11);
    uint32_t prev = n + 11;
    tag[11 + n] = uint8_t(prev >> 24);
    tag[12 + n] = uint8_t(prev >> 16);
    tag[13 + n] = uint8_t(prev >> 8);
    tag[14 + n] = uint8_t(prev);
    return tag;
}

}  // namespace

void Message::stamp(uint32_t offset_ms)
{
    uint32_t ts = seq_header ? 0 : ts_ms + offset_ms;
    put_ts(tag.data(), ts);
    if (nalus && !seq_header) {
        nalus->dts = int64_t(ts);
        nalus->pts = int64_t(ts) + cts_ms;
    }
}

Clip::Clip(const std::string &flv_path)
{
    for (const auto &t : tavrel_testing::read_flv(flv_path)) {
        if (t.type != kTagAudio && t.type != kTagVideo)
            continue;  // the metadata goes out once through its own call, not per frame
        if (t.type == kTagVideo && t.data.size() >= 2 && t.data[1] == 2)
            continue;  // FFmpeg's end-of-sequence marker: no publisher call makes one
        Message m;
        m.type = t.type;
        m.ts_ms = t.ts_ms;
        m.tag = whole_tag(t);
        const uint8_t *d = t.data.data();
        size_t n = t.data.size();
        if (t.type == kTagAudio) {
            // The publisher writes AF (AAC, 44 kHz, 16-bit, stereo) itself.
            if (n < 3 || d[0] != 0xAF)
                throw std::runtime_error("audio tag is not AAC 44 kHz stereo");
            m.seq_header = d[1] == 0;
            max_audio_ = std::max<uint32_t>(max_audio_, uint32_t(n - 2));
        } else {
            if (n < 6 || (d[0] & 0x0F) != 7)
                throw std::runtime_error("video tag is not AVC");
            m.keyframe = (d[0] >> 4) == 1;
            m.seq_header = d[1] == 0;
            int32_t cts = int32_t(uint32_t(d[2]) << 16 | uint32_t(d[3]) << 8 | d[4]);
            if (cts & 0x800000)
                cts -= 0x1000000;
            m.cts_ms = cts;
            max_video_ = std::max<uint32_t>(max_video_, uint32_t(n - 5));
            if (m.seq_header) {
                // AVCDecoderConfigurationRecord: one SPS, one PPS (what x264 writes).
                const uint8_t *c = d + 5;
                size_t cn = n - 5;
                if (cn < 8 || (c[5] & 0x1F) != 1)
                    throw std::runtime_error("AVC configuration without exactly one SPS");
                size_t sps_len = be16(c + 6);
                if (cn < 8 + sps_len + 3 || c[8 + sps_len] != 1)
                    throw std::runtime_error("AVC configuration without exactly one PPS");
                size_t pps_len = be16(c + 9 + sps_len);
                if (cn < 11 + sps_len + pps_len)
                    throw std::runtime_error("AVC configuration truncated");
                std::unique_ptr<NALU[]> units(new NALU[2]);
                // The record points into the message's own copy of the tag.
                uint8_t *base = m.tag.data() + 11 + 5;
                units[0] = NALU{base + 8, int32_t(sps_len), NAL_TYPE_SPS};
                units[1] = NALU{base + 11 + sps_len, int32_t(pps_len), NAL_TYPE_PPS};
                auto rec = std::make_unique<NALUS>();
                *rec = NALUS{};
                rec->nalus = units.get();
                rec->num_nalu = 2;
                rec->total_len = int32_t(sps_len + pps_len);
                rec->timebase_num = 1;
                rec->timebase_den = 1000;
                rec->is_keyframe = m.keyframe;
                rec->is_stripped = 1;
                m.nalus = rec.get();
                header_units_.push_back(std::move(units));
                header_records_.push_back(std::move(rec));
            } else {
                H264Timing timing{1, 1000, int64_t(m.ts_ms) + cts, int64_t(m.ts_ms), 0, 0};
                NALUS *rec = nullptr;
                int rc = h264_nalus_from_avcc(d + 5, int32_t(n - 5), 0, &timing, &rec);
                if (rc != 0)
                    throw std::runtime_error("H.264 helper refused a frame: " + std::to_string(rc));
                if (rec->is_keyframe != int32_t(m.keyframe)) {
                    // Keep the tag's own flag: the contenders must send the same bytes.
                    rec->is_keyframe = m.keyframe;
                }
                m.nalus = rec;
            }
        }
        duration_ms_ = std::max(duration_ms_, m.ts_ms);
        messages_.push_back(std::move(m));
    }
    if (messages_.empty())
        throw std::runtime_error(flv_path + " holds no audio or video");
    duration_ms_ += 34;  // one frame past the last one, so that laps do not overlap
}

Clip::~Clip()
{
    for (auto &m : messages_)
        if (m.nalus && !m.seq_header)
            h264_free_nalus(m.nalus);
}

std::vector<Step> plan(const Clip &clip, int laps)
{
    std::vector<Step> steps;
    const auto &msgs = clip.messages();
    for (uint32_t i = 0; i < msgs.size(); ++i)
        if (msgs[i].seq_header)
            steps.push_back({i, 0});
    for (int lap = 0; lap < laps; ++lap)
        for (uint32_t i = 0; i < msgs.size(); ++i)
            if (!msgs[i].seq_header)
                steps.push_back({i, uint32_t(lap) * clip.duration_ms()});
    return steps;
}

uint64_t body_bytes(const Clip &clip, const std::vector<Step> &steps)
{
    uint64_t total = 0;
    for (const auto &s : steps)
        total += clip.messages()[s.index].body_len();
    return total;
}

std::string default_clip_path() { return tavrel_testing::clip().flv; }

}  // namespace bench
