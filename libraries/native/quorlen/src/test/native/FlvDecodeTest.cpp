// Muxes FFmpeg's test clip into an FLV file with the Quorlen writers alone
// (and Mirabe for the AudioSpecificConfig), then lets ffprobe and FFmpeg's
// decoders judge it against the source.
//
// Video: access units and their timing from FFmpeg's own clip.flv (the NAL
// units are taken out of their length prefixes and written again; times go
// through a 90 kHz clock). Audio: raw frames from the ADTS file.
#include "Media.h"
#include "Mirabe.h"
#include "Process.h"
#include "Quorlen.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using namespace tavrel_testing;

namespace {

using Bytes = std::vector<uint8_t>;

struct Span {
    const uint8_t *p;
    size_t len;
};

// --- Reading the source, bounded first ---------------------------------

struct AdtsFrame {
    size_t offset, header_len, frame_len;
};

// Splits an ADTS stream into frames; false on anything malformed (bad sync,
// truncated header, a length shorter than its header or beyond the data).
bool split_adts(const Bytes &b, std::vector<AdtsFrame> *frames)
{
    size_t pos = 0;
    while (pos < b.size()) {
        if (b.size() - pos < 7)
            return false;
        const uint8_t *h = &b[pos];
        if (h[0] != 0xFF || (h[1] & 0xF6) != 0xF0)
            return false;
        size_t header_len = (h[1] & 0x01) ? 7 : 9;  // protection_absent
        size_t frame_len = (size_t(h[3] & 0x03) << 11) | (size_t(h[4]) << 3) | (h[5] >> 5);
        if (frame_len < header_len || frame_len > b.size() - pos || (h[6] & 0x03) != 0)
            return false;
        frames->push_back({pos, header_len, frame_len});
        pos += frame_len;
    }
    return true;
}

// The NAL units of a 4-byte length-prefixed (AVCC) payload.
bool split_avcc(const uint8_t *p, size_t len, std::vector<Span> *units)
{
    size_t pos = 0;
    while (pos < len) {
        if (len - pos < 4)
            return false;
        size_t n = size_t(p[pos]) << 24 | size_t(p[pos + 1]) << 16 | size_t(p[pos + 2]) << 8 | p[pos + 3];
        pos += 4;
        if (n == 0 || n > len - pos)
            return false;
        units->push_back({p + pos, n});
        pos += n;
    }
    return true;
}

// The first SPS and PPS of an AVCDecoderConfigurationRecord.
bool sps_pps_of(const uint8_t *p, size_t len, Span *sps, Span *pps)
{
    if (len < 8 || p[0] != 1 || (p[4] & 0x03) != 3 || (p[5] & 0x1F) < 1)
        return false;
    size_t sps_len = size_t(p[6]) << 8 | p[7];
    if (sps_len < 4 || sps_len > len - 8)
        return false;
    *sps = {p + 8, sps_len};
    size_t pos = 8 + sps_len;
    // Further SPS would come here; the clip has one.
    if ((p[5] & 0x1F) != 1 || len - pos < 3 || p[pos] < 1)
        return false;
    size_t pps_len = size_t(p[pos + 1]) << 8 | p[pos + 2];
    if (pps_len < 1 || pps_len > len - pos - 3)
        return false;
    *pps = {p + pos + 3, pps_len};
    return true;
}

struct AccessUnit {
    bool key;
    int64_t dts_ms, pts_ms;
    std::vector<Span> units;
    size_t avcc_len;
};

// --- Writing with Quorlen ---------------------------------------------

struct Tag {
    uint32_t ts_ms;
    int order;  // sequence headers before frames of the same time
    Bytes bytes;
};

// Room for one tag as the calculators predict it; the writers must fill it
// exactly.
Bytes room_for(int is_audio, int is_seq_header, size_t payload_len)
{
    return Bytes(static_cast<size_t>(compute_flv_header_len(is_audio, 1, is_seq_header, 0, 0)) + payload_len, 0xEE);
}

TEST(FlvSplitters, RejectWhatIsTruncatedOrMalformed)
{
    Bytes one = {0xFF, 0xF1, 0x50, 0x80, 0x01, 0x3F, 0xFC, 0x21, 0x10};  // 9-byte frame, 7-byte header
    std::vector<AdtsFrame> frames;
    EXPECT_TRUE(split_adts(one, &frames));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].header_len, 7u);
    EXPECT_EQ(frames[0].frame_len, 9u);
    struct Case {
        const char *what;
        Bytes bytes;
    } bad[] = {
        {"truncated header", {0xFF, 0xF1, 0x50, 0x80}},
        {"frame beyond the data", {0xFF, 0xF1, 0x50, 0x80, 0x01, 0x5F, 0xFC, 0x21}},
        {"length below its header", {0xFF, 0xF1, 0x50, 0x80, 0x00, 0xBF, 0xFC}},
        {"no sync word", {0xFF, 0x01, 0x50, 0x80, 0x01, 0x3F, 0xFC, 0x21, 0x10}},
    };
    for (const auto &c : bad) {
        frames.clear();
        EXPECT_FALSE(split_adts(c.bytes, &frames)) << c.what;
    }

    std::vector<Span> units;
    Bytes avcc = {0, 0, 0, 2, 0x65, 0x88, 0, 0, 0, 1, 0x06};
    EXPECT_TRUE(split_avcc(avcc.data(), avcc.size(), &units));
    EXPECT_EQ(units.size(), 2u);
    units.clear();
    EXPECT_FALSE(split_avcc(avcc.data(), avcc.size() - 1, &units)) << "unit beyond the payload";
    EXPECT_FALSE(split_avcc(avcc.data(), 3, &units)) << "truncated length";
}

TEST(FlvDecode, FfmpegReadsAFileMuxedByTheWritersAlone)
{
    Clip c = clip();

    // Video access units and the sequence header from FFmpeg's FLV.
    std::vector<FlvTag> source = read_flv(c.flv);
    Span sps{nullptr, 0}, pps{nullptr, 0};
    std::vector<AccessUnit> video;
    uint32_t first_audio_ms = UINT32_MAX;
    for (const FlvTag &t : source) {
        if (t.type == 8 && t.data.size() >= 2 && t.data[1] == 1 && first_audio_ms == UINT32_MAX)
            first_audio_ms = t.ts_ms;
        if (t.type != 9)
            continue;
        ASSERT_GE(t.data.size(), 5u);
        ASSERT_EQ(t.data[0] & 0x0F, 7) << "AVC";
        if (t.data[1] == 0) {
            ASSERT_TRUE(sps_pps_of(t.data.data() + 5, t.data.size() - 5, &sps, &pps));
        } else if (t.data[1] == 1) {
            int32_t cts = int32_t(uint32_t(t.data[2]) << 24 | uint32_t(t.data[3]) << 16 | uint32_t(t.data[4]) << 8) >> 8;
            AccessUnit au{(t.data[0] >> 4) == 1, t.ts_ms, int64_t(t.ts_ms) + cts, {}, t.data.size() - 5};
            ASSERT_TRUE(split_avcc(t.data.data() + 5, t.data.size() - 5, &au.units)) << "tag at " << t.ts_ms;
            video.push_back(au);
        }
    }
    ASSERT_NE(sps.p, nullptr) << "no AVC sequence header in " << c.flv;
    ASSERT_EQ(video.size(), 300u);
    ASSERT_NE(first_audio_ms, UINT32_MAX);

    // Raw AAC frames from the ADTS file.
    std::string adts_text = read_file(c.aac);
    Bytes adts(adts_text.begin(), adts_text.end());
    std::vector<AdtsFrame> frames;
    ASSERT_TRUE(split_adts(adts, &frames));
    ASSERT_FALSE(frames.empty());
    AudioSpecificConfig config = parse_config_from_adts(&adts[frames[0].offset]);
    EXPECT_EQ(gen_audio_tag_header_sound_format(&config), 0xAF) << "44.1 kHz stereo, as the tag header says";

    // Times go through a 90 kHz clock, as an encoder would hand them over.
    const int64_t dts_offset = video.front().dts_ms * 90;
    std::vector<Tag> tags;
    size_t multi_unit_frames = 0;

    {  // AVC sequence header
        Bytes b = room_for(0, 1, sps.len + pps.len);
        uint32_t body_len = flv_tag_body_len(0, 1, int(sps.len + pps.len));
        int n = 0;
        n += write_flv_tag_header(&b[n], 0, body_len, 0);
        n += write_flv_video_tag_header(&b[n], 1, 1, 0);
        n += write_sps_pps(&b[n], sps.p, sps.len, pps.p, pps.len);
        n += write_flv_prev_tag_size(&b[n], 11 + body_len);
        ASSERT_EQ(size_t(n), b.size());
        tags.push_back({0, 0, b});
    }
    {  // AAC sequence header
        uint8_t asc[2];
        ASSERT_EQ(write_audio_specific_config(asc, &config), 2);
        Bytes b = room_for(1, 1, sizeof asc);
        uint32_t body_len = flv_tag_body_len(1, 1, sizeof asc);
        int n = 0;
        n += write_flv_tag_header(&b[n], 1, body_len, 0);
        n += write_flv_audio_tag_header(&b[n], 1, 3, 1, 1);
        n += write_adts(&b[n], asc, sizeof asc);
        n += write_flv_prev_tag_size(&b[n], 11 + body_len);
        ASSERT_EQ(size_t(n), b.size());
        tags.push_back({0, 0, b});
    }
    for (const AccessUnit &au : video) {
        int64_t dts = au.dts_ms * 90, pts = au.pts_ms * 90;
        uint32_t body_len = 5;
        for (const Span &u : au.units)
            body_len += 4 + uint32_t(u.len);
        if (au.units.size() == 1)
            EXPECT_EQ(body_len, flv_tag_body_len(0, 0, int(au.units[0].len)));
        else
            multi_unit_frames++;
        uint32_t ts = dts_to_elapsed_ms(dts, dts_offset, 90000);
        Bytes b = room_for(0, 0, au.avcc_len);  // the units with their prefixes
        int n = 0;
        n += write_flv_tag_header(&b[n], 0, body_len, ts);
        n += write_flv_video_tag_header(&b[n], au.key, 0, int32_t(composition_time_ms(pts, dts, 90000)));
        for (const Span &u : au.units)
            n += write_nalu(&b[n], u.p, u.len);
        n += write_flv_prev_tag_size(&b[n], 11 + body_len);
        ASSERT_EQ(size_t(n), b.size());
        tags.push_back({ts, 1, b});
    }
    for (size_t i = 0; i < frames.size(); i++) {
        const AdtsFrame &f = frames[i];
        int32_t raw_len = int32_t(f.frame_len - f.header_len);
        uint32_t ts = first_audio_ms - uint32_t(dts_offset / 90) + dts_to_elapsed_ms(int64_t(i) * 1024, 0, 44100);
        Bytes b = room_for(1, 0, size_t(raw_len));
        uint32_t body_len = flv_tag_body_len(1, 0, raw_len);
        int n = 0;
        n += write_flv_tag_header(&b[n], 1, body_len, ts);
        n += write_flv_audio_tag_header(&b[n], 0, 3, 1, 1);
        n += write_adts(&b[n], &adts[f.offset + f.header_len], raw_len);
        n += write_flv_prev_tag_size(&b[n], 11 + body_len);
        ASSERT_EQ(size_t(n), b.size());
        tags.push_back({ts, 1, b});
    }
    std::stable_sort(tags.begin(), tags.end(),
                     [](const Tag &a, const Tag &b) { return a.ts_ms != b.ts_ms ? a.ts_ms < b.ts_ms : a.order < b.order; });

    Bytes file(13);
    ASSERT_EQ(write_flv_header(file.data(), 1, 1), 13);
    for (const Tag &t : tags)
        file.insert(file.end(), t.bytes.begin(), t.bytes.end());
    TempDir dir("quorlen-flv");
    std::string out = dir.file("out.flv");
    write_file(out, std::string(file.begin(), file.end()));

    // Our own reader agrees on the framing before FFmpeg has a say.
    ASSERT_EQ(read_flv(out).size(), tags.size());

    EXPECT_EQ(decode_errors(out), "");
    auto streams = probe_streams(out);
    ASSERT_EQ(streams.size(), 2u);
    for (const auto &s : streams) {
        if (s.codec_type == "video") {
            EXPECT_EQ(s.codec_name, "h264");
            EXPECT_EQ(s.width, c.width);
            EXPECT_EQ(s.height, c.height);
        } else {
            EXPECT_EQ(s.codec_name, "aac");
            EXPECT_EQ(s.sample_rate, 44100);
            EXPECT_EQ(s.channels, 2);
        }
    }

    auto want_v = probe_packets(c.flv, 'v'), got_v = probe_packets(out, 'v');
    ASSERT_EQ(got_v.size(), want_v.size());
    int64_t shift = dts_offset / 90;
    bool reordered = false;
    for (size_t i = 0; i < got_v.size(); i++) {
        EXPECT_EQ(got_v[i].dts, want_v[i].dts - shift) << "video packet " << i;
        EXPECT_EQ(got_v[i].pts, want_v[i].pts - shift) << "video packet " << i;
        EXPECT_EQ(got_v[i].size, want_v[i].size) << "video packet " << i;
        EXPECT_EQ(got_v[i].key, want_v[i].key) << "video packet " << i;
        reordered |= got_v[i].pts != got_v[i].dts;
    }
    EXPECT_TRUE(reordered) << "B-frames must survive with their composition times";

    auto want_a = probe_packets(c.flv, 'a'), got_a = probe_packets(out, 'a');
    EXPECT_EQ(got_a.size(), frames.size());
    ASSERT_EQ(got_a.size(), want_a.size());
    for (size_t i = 0; i < got_a.size(); i++) {
        EXPECT_LE(std::llabs(got_a[i].pts - (want_a[i].pts - shift)), 1) << "audio packet " << i;
        EXPECT_EQ(got_a[i].size, want_a[i].size) << "audio packet " << i;
    }
    std::printf("muxed %zu video (%zu with several NAL units) and %zu audio frames into %zu bytes\n", got_v.size(),
                multi_unit_frames, got_a.size(), file.size());
}

}  // namespace
