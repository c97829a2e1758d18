// The FLV writers and calculators against hand-made byte vectors.
#include "Quorlen.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t kUntouched = 0xEE;

// Runs a writer on a buffer of untouched bytes and returns what it claims to
// have written; fails when it wrote beyond that count.
Bytes written(const std::function<int(uint8_t *)> &writer, size_t room = 128)
{
    Bytes buf(room + 16, kUntouched);
    int n = writer(buf.data());
    EXPECT_GE(n, 0);
    if (n < 0)
        return {};
    for (size_t i = static_cast<size_t>(n); i < buf.size(); i++) {
        EXPECT_EQ(buf[i], kUntouched) << "wrote beyond its count at " << i;
        if (buf[i] != kUntouched)
            break;
    }
    return Bytes(buf.begin(), buf.begin() + n);
}

TEST(QuorlenTime, MillisecondsTruncateTowardZeroInSigned64BitArithmetic)
{
    struct Case {
        const char *what;
        int64_t pts_or_dts, dts_or_offset;
        int32_t timebase_den;
        uint32_t expected;
    } cases[] = {
        {"2 s at 90 kHz after the first DTS", 183600, 3600, 90000, 2000},
        {"a third truncates down", 1, 0, 3, 333},
        {"a negative third truncates up, not to -334", -1, 0, 3, static_cast<uint32_t>(-333)},
        {"ten hours at 90 kHz: dts * 1000 needs more than 32 bits", 3240000000LL, 0, 90000, 36000000},
        {"the quotient keeps its low 32 bits", (int64_t(1) << 40) + 5, 0, 1000, 5},
        {"the time base widens without sign: -1 is 4294967295", 4294967295LL, 0, -1, 1000},
        {"dts * 1000 wraps instead of trapping", INT64_MAX, 0, 1000, 0xFFFFFFFFu},
        {"a zero time base gives 0 instead of SIGFPE", 90000, 0, 0, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(dts_to_elapsed_ms(c.pts_or_dts, c.dts_or_offset, c.timebase_den), c.expected) << c.what;

    EXPECT_EQ(composition_time_ms(0, 3600, 90000), 4294967256u) << "-40 ms as two's complement";
    EXPECT_EQ(composition_time_ms(3000, 0, 90000), 33u);
    EXPECT_EQ(composition_time_ms(-3000, 0, 90000), static_cast<uint32_t>(-33));
    EXPECT_EQ(composition_time_ms(INT64_MIN, 1, 1000), 0xFFFFFFFFu) << "pts - dts wraps instead of trapping";
    EXPECT_EQ(composition_time_ms(1, 0, 0), 0u);
}

TEST(QuorlenLength, FramingOverheadAndTagDataSize)
{
    struct Case {
        int is_audio, write_tag_header, is_seq_header, is_stripped, is_adts_or_annexb;
        int expected;
    } cases[] = {
        {1, 0, 0, 0, 0, 6},   {1, 1, 0, 0, 0, 17},  {1, 0, 1, 1, 1, 6},  {1, 1, 1, 1, 1, 17},
        {0, 0, 1, 0, 0, 20},  {0, 1, 1, 0, 0, 31},  {0, 0, 1, 1, 1, 20}, {0, 0, 0, 1, 0, 13},
        {0, 1, 0, 1, 0, 24},  {0, 0, 0, 0, 1, 13},  {0, 1, 0, 0, 7, 24}, {0, 0, 0, 0, 0, 9},
        {0, 1, 0, 0, 0, 20},  {-1, 1, 0, 0, 0, 17},
    };
    for (const auto &c : cases)
        EXPECT_EQ(compute_flv_header_len(c.is_audio, c.write_tag_header, c.is_seq_header, c.is_stripped,
                                         c.is_adts_or_annexb),
                  c.expected)
            << c.is_audio << c.write_tag_header << c.is_seq_header << c.is_stripped << c.is_adts_or_annexb;

    EXPECT_EQ(flv_tag_body_len(1, 0, 100), 102u);
    EXPECT_EQ(flv_tag_body_len(1, 1, 2), 4u);
    EXPECT_EQ(flv_tag_body_len(0, 1, 30), 46u);
    EXPECT_EQ(flv_tag_body_len(0, 0, 1000), 1009u);
    EXPECT_EQ(flv_tag_body_len(0, 0, -10), 4294967295u) << "unsigned 32-bit arithmetic";
}

TEST(QuorlenWriters, FixedHeadersByteForByte)
{
    struct Case {
        const char *what;
        std::function<int(uint8_t *)> writer;
        Bytes expected;
    } cases[] = {
        {"file header, audio and video", [](uint8_t *o) { return write_flv_header(o, 1, 1); },
         {0x46, 0x4C, 0x56, 0x01, 0x05, 0, 0, 0, 9, 0, 0, 0, 0}},
        {"file header, audio only", [](uint8_t *o) { return write_flv_header(o, 2, 0); },
         {0x46, 0x4C, 0x56, 0x01, 0x04, 0, 0, 0, 9, 0, 0, 0, 0}},
        {"file header, video only", [](uint8_t *o) { return write_flv_header(o, 0, -1); },
         {0x46, 0x4C, 0x56, 0x01, 0x01, 0, 0, 0, 9, 0, 0, 0, 0}},
        {"file header, neither", [](uint8_t *o) { return write_flv_header(o, 0, 0); },
         {0x46, 0x4C, 0x56, 0x01, 0x00, 0, 0, 0, 9, 0, 0, 0, 0}},
        {"video tag header, size 500, ts 12345678",
         [](uint8_t *o) { return write_flv_tag_header(o, 0, 500, 0x12345678); },
         {0x09, 0x00, 0x01, 0xF4, 0x34, 0x56, 0x78, 0x12, 0, 0, 0}},
        {"audio tag header; bit 31 of the timestamp is never written",
         [](uint8_t *o) { return write_flv_tag_header(o, 1, 0x00ABCDEF, 0x80000001); },
         {0x08, 0xAB, 0xCD, 0xEF, 0x00, 0x00, 0x01, 0x00, 0, 0, 0}},
        {"size keeps 24 bits, timestamp 31",
         [](uint8_t *o) { return write_flv_tag_header(o, 1, 0xFF000102, 0xFFFFFFFF); },
         {0x08, 0x00, 0x01, 0x02, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0}},
        {"previous tag size", [](uint8_t *o) { return write_flv_prev_tag_size(o, 0x01020304); }, {1, 2, 3, 4}},
        {"AAC sequence header tag header", [](uint8_t *o) { return write_flv_audio_tag_header(o, 1, 0, 0, 0); },
         {0xAF, 0x00}},
        {"raw AAC tag header whatever rate, size and channels",
         [](uint8_t *o) { return write_flv_audio_tag_header(o, 0, 1, 0, 0); }, {0xAF, 0x01}},
        {"AAC rate arguments never change the byte",
         [](uint8_t *o) { return write_flv_audio_tag_header(o, 0, 77, 1, 1); }, {0xAF, 0x01}},
        {"key frame sequence header drops the composition time",
         [](uint8_t *o) { return write_flv_video_tag_header(o, 1, 1, 40); }, {0x17, 0x00, 0, 0, 0}},
        {"inter frame, -33 ms keeps its sign in 24 bits",
         [](uint8_t *o) { return write_flv_video_tag_header(o, 0, 0, -33); }, {0x27, 0x01, 0xFF, 0xFF, 0xDF}},
        {"key frame, 67 ms", [](uint8_t *o) { return write_flv_video_tag_header(o, 1, 0, 67); },
         {0x17, 0x01, 0x00, 0x00, 0x43}},
        {"every byte of the composition time", [](uint8_t *o) { return write_flv_video_tag_header(o, 1, 0, 0x123456); },
         {0x17, 0x01, 0x12, 0x34, 0x56}},
        {"-1000 ms", [](uint8_t *o) { return write_flv_video_tag_header(o, 0, 0, -1000); },
         {0x27, 0x01, 0xFF, 0xFC, 0x18}},
        {"composition time cut to 24 bits",
         [](uint8_t *o) { return write_flv_video_tag_header(o, 0, 0, 0x12800000); }, {0x27, 0x01, 0x80, 0x00, 0x00}},
        {"AudioSpecificConfig is not written here", [](uint8_t *o) { return write_audio_config(o, 2, 4); }, {}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(written(c.writer), c.expected) << c.what;
}

TEST(QuorlenWriters, PayloadsAreCopiedBehindTheirFraming)
{
    Bytes sps(25), pps = {0x68, 0xEB, 0xE3, 0xCB};
    for (size_t i = 0; i < sps.size(); i++)
        sps[i] = static_cast<uint8_t>(i + 1);
    sps[0] = 0x67, sps[1] = 0x64, sps[2] = 0x00, sps[3] = 0x1F;
    Bytes record = written([&](uint8_t *o) { return write_sps_pps(o, sps.data(), sps.size(), pps.data(), pps.size()); });
    ASSERT_EQ(record.size(), 40u);
    EXPECT_EQ(Bytes(record.begin(), record.begin() + 9), (Bytes{0x01, 0x64, 0x00, 0x1F, 0xFF, 0xE1, 0x00, 0x19, 0x67}));
    EXPECT_EQ(Bytes(record.begin() + 8, record.begin() + 33), sps);
    EXPECT_EQ(Bytes(record.begin() + 33, record.begin() + 36), (Bytes{0x01, 0x00, 0x04}));
    EXPECT_EQ(Bytes(record.begin() + 36, record.end()), pps);

    // Lengths beyond 16 bits are cut in the field, the bytes all copied.
    Bytes big_sps(65536 + 3, 0x42);
    big_sps[0] = 0x67;
    Bytes big = written(
        [&](uint8_t *o) { return write_sps_pps(o, big_sps.data(), big_sps.size(), pps.data(), pps.size()); },
        big_sps.size() + 32);
    ASSERT_EQ(big.size(), 11 + big_sps.size() + pps.size());
    EXPECT_EQ(big[6], 0x00);
    EXPECT_EQ(big[7], 0x03);
    EXPECT_EQ(big[8 + big_sps.size()], 0x01);

    Bytes nal(300, 0x41);
    Bytes unit = written([&](uint8_t *o) { return write_nalu(o, nal.data(), nal.size()); }, 400);
    ASSERT_EQ(unit.size(), 304u);
    EXPECT_EQ(Bytes(unit.begin(), unit.begin() + 4), (Bytes{0x00, 0x00, 0x01, 0x2C}));
    EXPECT_EQ(Bytes(unit.begin() + 4, unit.end()), nal);
    EXPECT_EQ(written([](uint8_t *o) { return write_nalu(o, nullptr, 0); }), (Bytes{0, 0, 0, 0}));

    Bytes frame = {0x21, 0x10, 0x05, 0x00, 0xA0, 0x1B, 0xFF};
    EXPECT_EQ(written([&](uint8_t *o) { return write_adts(o, frame.data(), 7); }), frame);
    EXPECT_EQ(written([&](uint8_t *o) { return write_adts(o, frame.data(), 3); }), Bytes(frame.begin(), frame.begin() + 3));
    EXPECT_EQ(written([](uint8_t *o) { return write_adts(o, nullptr, 0); }), Bytes{});
    EXPECT_EQ(written([&](uint8_t *o) { return write_adts(o, frame.data(), -7); }), Bytes{})
        << "a negative length writes nothing and must not move the caller backwards";
}

// A whole tag, written the way every caller does: each writer at the
// position the previous ones left.
TEST(QuorlenWriters, ATagAssembledFromTheWritersMatchesItsPredictedSize)
{
    Bytes nal = {0x65, 0x88, 0x84, 0x00, 0x33};
    size_t predicted = static_cast<size_t>(compute_flv_header_len(0, 1, 0, 1, 0)) + nal.size();
    uint32_t body_len = flv_tag_body_len(0, 0, static_cast<int>(nal.size()));
    Bytes tag = written(
        [&](uint8_t *o) {
            int n = 0;
            n += write_flv_tag_header(o + n, 0, body_len, dts_to_elapsed_ms(183600, 3600, 90000));
            n += write_flv_video_tag_header(o + n, 1, 0, static_cast<int32_t>(composition_time_ms(6000, 3000, 90000)));
            n += write_nalu(o + n, nal.data(), nal.size());
            n += write_flv_prev_tag_size(o + n, 11 + body_len);
            return n;
        });
    EXPECT_EQ(tag, (Bytes{0x09, 0x00, 0x00, 0x0E, 0x00, 0x07, 0xD0, 0x00, 0, 0, 0,  // tag header, 2000 ms
                          0x17, 0x01, 0x00, 0x00, 0x21,                          // key frame, 33 ms
                          0x00, 0x00, 0x00, 0x05, 0x65, 0x88, 0x84, 0x00, 0x33,  // NAL unit
                          0x00, 0x00, 0x00, 0x19}));                             // 11 + 14
    EXPECT_EQ(tag.size(), predicted);
}

}  // namespace
