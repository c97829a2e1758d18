// The cutters on FFmpeg's own output: the raw Annex B stream of the test
// clip against ffprobe's packets, and against the AVCC samples FFmpeg muxed
// into the FLV of the same clip.
#include "Media.h"
#include "TestBytes.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

using namespace tavrel_testing;

namespace {

const H264Timing kTiming{1, 1000, 0, 0, 0, 0};

Bytes read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<Bytes> split_access_units(const Bytes &stream)
{
    std::vector<Bytes> aus;
    int32_t pos = 0;
    const int32_t len = static_cast<int32_t>(stream.size());
    while (pos < len) {
        int32_t n = h264_annexb_au_len(stream.data() + pos, len - pos);
        if (n <= 0) {
            ADD_FAILURE() << "split failed at " << pos << ": " << n;
            break;
        }
        aus.emplace_back(stream.begin() + pos, stream.begin() + pos + n);
        pos += n;
    }
    return aus;
}

NalusPtr cut_annexb(const Bytes &au, int stripped)
{
    NALUS *r = nullptr;
    int rc = h264_nalus_from_annexb(au.data(), static_cast<int32_t>(au.size()), stripped, &kTiming, &r);
    EXPECT_EQ(rc, 0);
    return NalusPtr(r);
}

bool has_type(const NALUS &r, int type)
{
    for (int t : types_of(r))
        if (t == type)
            return true;
    return false;
}

TEST(H264Clip, AnnexBSplitsIntoFfprobesPackets)
{
    Clip c = clip();
    std::vector<Bytes> aus = split_access_units(read_file(c.h264));
    std::vector<ProbePacket> packets = probe_packets(c.mp4, 'v');
    ASSERT_EQ(packets.size(), 300u);
    ASSERT_EQ(aus.size(), packets.size());
    int keys = 0;
    for (size_t i = 0; i < aus.size(); ++i) {
        SCOPED_TRACE("access unit " + std::to_string(i));
        NalusPtr r = cut_annexb(aus[i], 1);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->is_keyframe != 0, packets[i].key);
        keys += packets[i].key;
        // FFmpeg's mp4-to-Annex B filter puts the parameter sets in front
        // of every IDR picture.
        EXPECT_EQ(has_type(*r, NAL_TYPE_SPS), packets[i].key);
        EXPECT_EQ(has_type(*r, NAL_TYPE_PPS), packets[i].key);
        EXPECT_EQ(has_type(*r, NAL_TYPE_SLICE), !packets[i].key);
        for (int32_t u = 0; u < r->num_nalu; ++u) {
            if (r->nalus[u].type == NAL_TYPE_SPS) {
                EXPECT_EQ(r->nalus[u].data[1], 100) << "profile_idc of the High profile";
            }
        }
    }
    EXPECT_EQ(keys, 5);
    // FFmpeg's own H.264 parser cuts the raw stream at the same bytes.
    std::vector<ProbePacket> parsed = probe_packets(c.h264, 'v');
    ASSERT_EQ(parsed.size(), aus.size());
    for (size_t i = 0; i < aus.size(); ++i)
        EXPECT_EQ(static_cast<size_t>(parsed[i].size), aus[i].size()) << "access unit " << i;
    // x264 writes its version into an SEI of the first picture.
    NalusPtr first = cut_annexb(aus[0], 1);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->nalus[0].type, NAL_TYPE_SEI);
    EXPECT_NE(std::string(first->nalus[0].data, first->nalus[0].data + first->nalus[0].len).find("x264"),
              std::string::npos);
}

struct AvcConfig {
    Bytes sps, pps;
};

// The first SPS and PPS of an AVCDecoderConfigurationRecord.
AvcConfig parse_avc_config(const Bytes &rec)
{
    AvcConfig out;
    size_t pos = 5;
    if (rec.size() < pos + 3 || (rec[pos] & 0x1F) < 1)
        return out;
    size_t n = size_t(rec[pos + 1]) << 8 | rec[pos + 2];
    pos += 3;
    if (rec.size() < pos + n + 3)
        return out;
    out.sps.assign(rec.begin() + pos, rec.begin() + pos + n);
    pos += n;
    size_t m = size_t(rec[pos + 1]) << 8 | rec[pos + 2];
    pos += 3;
    if (rec.size() < pos + m)
        return out;
    out.pps.assign(rec.begin() + pos, rec.begin() + pos + m);
    return out;
}

TEST(H264Clip, AnnexBUnitsEqualTheFlvSamples)
{
    Clip c = clip();
    std::vector<Bytes> aus = split_access_units(read_file(c.h264));
    AvcConfig config;
    std::vector<Bytes> samples;
    std::vector<bool> sample_keys;
    for (const FlvTag &t : read_flv(c.flv)) {
        if (t.type != 9 || t.data.size() < 5)
            continue;
        if (t.data[1] == 0) {
            config = parse_avc_config(Bytes(t.data.begin() + 5, t.data.end()));
        } else if (t.data[1] == 1) {
            samples.emplace_back(t.data.begin() + 5, t.data.end());
            sample_keys.push_back((t.data[0] >> 4) == 1);
        }
    }
    ASSERT_FALSE(config.sps.empty());
    ASSERT_FALSE(config.pps.empty());
    ASSERT_EQ(samples.size(), aus.size());

    size_t inserted = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        SCOPED_TRACE("access unit " + std::to_string(i));
        NALUS *raw = nullptr;
        ASSERT_EQ(h264_nalus_from_avcc(samples[i].data(), static_cast<int32_t>(samples[i].size()), 1, &kTiming,
                                       &raw),
                  0);
        NalusPtr avcc(raw);
        EXPECT_EQ(avcc->is_keyframe != 0, sample_keys[i]);
        NalusPtr annexb = cut_annexb(aus[i], 1);
        ASSERT_TRUE(annexb);
        std::vector<Bytes> want = units_of(*avcc);
        std::vector<Bytes> got = units_of(*annexb);
        // Same units in the same order; the Annex B stream may carry the
        // configuration record's parameter sets in addition.
        size_t j = 0;
        for (size_t k = 0; k < got.size(); ++k) {
            if (j < want.size() && got[k] == want[j]) {
                EXPECT_EQ(annexb->nalus[k].type, avcc->nalus[j].type);
                ++j;
            } else if (got[k] == config.sps || got[k] == config.pps) {
                ++inserted;
            } else {
                ADD_FAILURE() << "Annex B unit " << k << " (type " << annexb->nalus[k].type
                              << ") is not AVCC unit " << j;
            }
        }
        EXPECT_EQ(j, want.size());

        // The not-stripped payload of the AVCC units is the sample itself.
        NALUPayload *p = nullptr;
        ASSERT_EQ(h264_payload_from_avcc(samples[i].data(), static_cast<int32_t>(samples[i].size()), 0, &kTiming,
                                         &p),
                  0);
        PayloadPtr payload(p);
        EXPECT_EQ(Bytes(p->data, p->data + p->len), samples[i]);
    }
    EXPECT_EQ(inserted, 10u) << "an SPS and a PPS in front of each of the 5 IDR pictures";
}

}  // namespace
