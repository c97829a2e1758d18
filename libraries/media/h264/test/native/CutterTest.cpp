// The Annex B and AVCC cutters and the records they make, on hand-made
// inputs.
#include "TestBytes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const H264Timing kTiming{1, 90000, 183183, 180180, 3003, 0};

using Cutter = int (*)(const uint8_t *, int32_t, int, const H264Timing *, NALUS **);
using PayloadCutter = int (*)(const uint8_t *, int32_t, int, const H264Timing *, NALUPayload **);

struct Case {
    const char *name;
    Bytes input;
    int rc;
    std::vector<Bytes> units;  // stripped
};

// Cuts the input both ways and checks each form against the expected units.
void check_case(Cutter cut, const Case &c)
{
    SCOPED_TRACE(c.name);
    for (int stripped : {1, 0}) {
        NALUS *raw = reinterpret_cast<NALUS *>(&raw);  // must come back null on error
        int rc = cut(c.input.data(), static_cast<int32_t>(c.input.size()), stripped, &kTiming, &raw);
        NalusPtr r(rc == 0 ? raw : nullptr);
        ASSERT_EQ(rc, c.rc) << "stripped " << stripped;
        if (rc != 0) {
            EXPECT_EQ(raw, nullptr);
            continue;
        }
        std::vector<Bytes> want;
        int32_t total = 0;
        for (const Bytes &u : c.units) {
            want.push_back(stripped ? u : prefixed(u));
            total += static_cast<int32_t>(want.back().size());
        }
        EXPECT_EQ(units_of(*r), want) << "stripped " << stripped;
        EXPECT_EQ(r->total_len, total);
        EXPECT_EQ(r->is_stripped, stripped);
        EXPECT_EQ(r->is_annexb, 0);
    }
}

TEST(H264Cutter, AnnexBInputs)
{
    const Case cases[] = {
        {"4-byte start codes",
         {0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x67, 0x42, 0x00, 0x1F, 0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80, 0, 0, 0, 1,
          0x65, 0x88, 0x84},
         0,
         {{0x09, 0xF0}, {0x67, 0x42, 0x00, 0x1F}, {0x68, 0xCE, 0x3C, 0x80}, {0x65, 0x88, 0x84}}},
        {"3-byte start codes", {0, 0, 1, 0x06, 0x05, 0x01, 0x80, 0, 0, 1, 0x41, 0x9A, 0x02}, 0,
         {{0x06, 0x05, 0x01, 0x80}, {0x41, 0x9A, 0x02}}},
        {"mixed start codes", {0, 0, 0, 1, 0x67, 0x64, 0, 0, 1, 0x68, 0xEF, 0, 0, 0, 1, 0x65, 0x88}, 0,
         {{0x67, 0x64}, {0x68, 0xEF}, {0x65, 0x88}}},
        {"leading zero bytes", {0, 0, 0, 0, 0, 1, 0x09, 0x10}, 0, {{0x09, 0x10}}},
        {"trailing zero bytes at the end", {0, 0, 1, 0x65, 0x88, 0x80, 0, 0, 0}, 0, {{0x65, 0x88, 0x80}}},
        {"trailing zero bytes between units", {0, 0, 1, 0x41, 0x9A, 0, 0, 0, 0, 0, 1, 0x41, 0x9B}, 0,
         {{0x41, 0x9A}, {0x41, 0x9B}}},
        {"emulation prevention bytes stay", {0, 0, 1, 0x65, 0, 0, 3, 0, 0, 3, 1, 0x80}, 0,
         {{0x65, 0, 0, 3, 0, 0, 3, 1, 0x80}}},
        {"00 01 inside a unit is no start code", {0, 0, 1, 0x65, 0x01, 0x00, 0x01, 0x80}, 0,
         {{0x65, 0x01, 0x00, 0x01, 0x80}}},
        {"empty units are skipped", {0, 0, 1, 0, 0, 1, 0, 0, 0, 1, 0x65, 0x88, 0, 0, 1}, 0, {{0x65, 0x88}}},
        {"one-byte units", {0, 0, 1, 0x09, 0, 0, 1, 0x0C}, 0, {{0x09}, {0x0C}}},
        {"empty input", {}, H264ERR_EMPTY, {}},
        {"only a start code", {0, 0, 1}, H264ERR_EMPTY, {}},
        {"only start codes", {0, 0, 1, 0, 0, 0, 1, 0, 0, 1, 0, 0}, H264ERR_EMPTY, {}},
        {"one zero", {0}, H264ERR_TRUNCATED_START_CODE, {}},
        {"truncated 3-byte start code", {0, 0}, H264ERR_TRUNCATED_START_CODE, {}},
        {"truncated 4-byte start code", {0, 0, 0}, H264ERR_TRUNCATED_START_CODE, {}},
        {"bytes in front of the first start code", {0x65, 0x88, 0, 0, 1, 0x65}, H264ERR_NO_START_CODE, {}},
        {"start code with one zero", {0, 1, 0x65, 0x88}, H264ERR_NO_START_CODE, {}},
        {"no zero at all", {1, 0x65}, H264ERR_NO_START_CODE, {}},
        {"AVCC given as Annex B", {0, 0, 0, 2, 0x65, 0x88}, H264ERR_NO_START_CODE, {}},
    };
    for (const Case &c : cases)
        check_case(h264_nalus_from_annexb, c);
}

TEST(H264Cutter, AvccInputs)
{
    const Case cases[] = {
        {"one unit", {0, 0, 0, 2, 0x65, 0x88}, 0, {{0x65, 0x88}}},
        {"three units", {0, 0, 0, 1, 0x09, 0, 0, 0, 3, 0x41, 0x9A, 0x02, 0, 0, 0, 2, 0x0C, 0xFF}, 0,
         {{0x09}, {0x41, 0x9A, 0x02}, {0x0C, 0xFF}}},
        {"start-code bytes inside a unit stay", {0, 0, 0, 5, 0x65, 0, 0, 1, 0}, 0, {{0x65, 0, 0, 1, 0}}},
        {"empty input", {}, H264ERR_EMPTY, {}},
        {"length 0", {0, 0, 0, 0}, H264ERR_BAD_LENGTH, {}},
        {"length 0 after a unit", {0, 0, 0, 1, 0x09, 0, 0, 0, 0}, H264ERR_BAD_LENGTH, {}},
        {"negative length", {0x80, 0, 0, 1, 0x65}, H264ERR_BAD_LENGTH, {}},
        {"length -1", {0xFF, 0xFF, 0xFF, 0xFF, 0x65}, H264ERR_BAD_LENGTH, {}},
        {"length one past the end", {0, 0, 0, 3, 0x65, 0x88}, H264ERR_BAD_LENGTH, {}},
        {"second length past the end", {0, 0, 0, 1, 0x09, 0, 0, 1, 0, 0x65}, H264ERR_BAD_LENGTH, {}},
        {"prefix cut short", {0, 0, 0}, H264ERR_BAD_LENGTH, {}},
        {"prefix cut short after a unit", {0, 0, 0, 1, 0x09, 0, 0}, H264ERR_BAD_LENGTH, {}},
        {"Annex B given as AVCC", {0, 0, 0, 1, 0x65, 0x88}, H264ERR_BAD_LENGTH, {}},
    };
    for (const Case &c : cases)
        check_case(h264_nalus_from_avcc, c);
}

TEST(H264Cutter, LabelsTypesAndKeyFrames)
{
    // nal_ref_idc varies; the type is the low five bits.
    Bytes au = {0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x67, 0x64, 0, 0, 1, 0x68, 0xEF, 0, 0, 1, 0x06, 0x05,
                0, 0, 1,    0x25, 0x88, 0, 0, 1,    0x0C, 0xFF, 0, 0, 1, 0x41, 0x9A};
    NALUS *raw = nullptr;
    ASSERT_EQ(h264_nalus_from_annexb(au.data(), static_cast<int32_t>(au.size()), 1, &kTiming, &raw), 0);
    NalusPtr r(raw);
    EXPECT_EQ(types_of(*r), (std::vector<int>{NAL_TYPE_AUD, NAL_TYPE_SPS, NAL_TYPE_PPS, NAL_TYPE_SEI,
                                               NAL_TYPE_SLICE_IDR, NAL_TYPE_FILLER, NAL_TYPE_SLICE}));
    EXPECT_EQ(r->is_keyframe, 1);

    Bytes p_frame = {0, 0, 0, 1, 0x09, 0x30, 0, 0, 1, 0x21, 0x9A, 0, 0, 1, 0x01, 0x9E, 0, 0, 1, 0x1F, 0x01};
    raw = nullptr;
    ASSERT_EQ(h264_nalus_from_annexb(p_frame.data(), static_cast<int32_t>(p_frame.size()), 0, &kTiming, &raw), 0);
    r.reset(raw);
    EXPECT_EQ(types_of(*r), (std::vector<int>{NAL_TYPE_AUD, NAL_TYPE_SLICE, NAL_TYPE_SLICE, 31}));
    EXPECT_EQ(r->is_keyframe, 0);
}

struct PayloadCase {
    const char *name;
    PayloadCutter cut;
    Bytes input;
    int stripped;
    int rc;
    Bytes payload;
    int key;
};

TEST(H264Cutter, Payloads)
{
    const Bytes idr = {0x65, 0x88, 0x84};
    const Bytes sps = {0x67, 0x64, 0x00, 0x1F};
    const Bytes annexb_au = cat({{0, 0, 0, 1}, sps, {0, 0, 1}, idr, {0, 0}});
    const Bytes avcc_au = cat({prefixed(sps), prefixed(idr)});
    const PayloadCase cases[] = {
        {"Annex B, not stripped: the AVCC bytes", h264_payload_from_annexb, annexb_au, 0, 0, avcc_au, 1},
        {"Annex B, stripped: the single unit", h264_payload_from_annexb, cat({{0, 0, 1}, idr, {0}}), 1, 0, idr, 1},
        {"Annex B, stripped, several units", h264_payload_from_annexb, annexb_au, 1, H264ERR_NOT_ONE_UNIT, {}, 0},
        {"Annex B, bad input", h264_payload_from_annexb, {0, 0}, 0, H264ERR_TRUNCATED_START_CODE, {}, 0},
        {"AVCC, not stripped: the same bytes", h264_payload_from_avcc, avcc_au, 0, 0, avcc_au, 1},
        {"AVCC, stripped: the single unit", h264_payload_from_avcc, prefixed({0x41, 0x9A}), 1, 0, {0x41, 0x9A}, 0},
        {"AVCC, stripped, several units", h264_payload_from_avcc, avcc_au, 1, H264ERR_NOT_ONE_UNIT, {}, 0},
        {"AVCC, length past the end", h264_payload_from_avcc, {0, 0, 0, 9, 0x65}, 0, H264ERR_BAD_LENGTH, {}, 0},
        {"AVCC, empty", h264_payload_from_avcc, {}, 1, H264ERR_EMPTY, {}, 0},
    };
    for (const PayloadCase &c : cases) {
        SCOPED_TRACE(c.name);
        NALUPayload *raw = reinterpret_cast<NALUPayload *>(&raw);
        int rc = c.cut(c.input.data(), static_cast<int32_t>(c.input.size()), c.stripped, &kTiming, &raw);
        PayloadPtr r(rc == 0 ? raw : nullptr);
        ASSERT_EQ(rc, c.rc);
        if (rc != 0) {
            EXPECT_EQ(raw, nullptr);
            continue;
        }
        EXPECT_EQ(Bytes(r->data, r->data + r->len), c.payload);
        EXPECT_EQ(r->is_stripped, c.stripped);
        EXPECT_EQ(r->is_keyframe, c.key);
    }
}

TEST(H264Cutter, BadArgumentsMakeNoRecord)
{
    Bytes au = {0, 0, 1, 0x65, 0x88};
    const int32_t len = static_cast<int32_t>(au.size());
    NALUS *n = reinterpret_cast<NALUS *>(&n);
    NALUPayload *p = reinterpret_cast<NALUPayload *>(&p);
    for (Cutter cut : {h264_nalus_from_annexb, h264_nalus_from_avcc}) {
        EXPECT_EQ(cut(nullptr, 5, 1, &kTiming, &n), H264ERR_BAD_ARG);
        EXPECT_EQ(n, nullptr);
        EXPECT_EQ(cut(au.data(), -1, 1, &kTiming, &n), H264ERR_BAD_ARG);
        EXPECT_EQ(cut(au.data(), len, 1, nullptr, &n), H264ERR_BAD_ARG);
        EXPECT_EQ(cut(au.data(), len, 1, &kTiming, nullptr), H264ERR_BAD_ARG);
        EXPECT_EQ(cut(nullptr, 0, 1, &kTiming, &n), H264ERR_EMPTY);
    }
    for (PayloadCutter cut : {h264_payload_from_annexb, h264_payload_from_avcc}) {
        EXPECT_EQ(cut(nullptr, 5, 0, &kTiming, &p), H264ERR_BAD_ARG);
        EXPECT_EQ(p, nullptr);
        EXPECT_EQ(cut(au.data(), INT32_MIN, 0, &kTiming, &p), H264ERR_BAD_ARG);
        EXPECT_EQ(cut(au.data(), len, 0, nullptr, &p), H264ERR_BAD_ARG);
        EXPECT_EQ(cut(au.data(), len, 0, &kTiming, nullptr), H264ERR_BAD_ARG);
    }
    EXPECT_EQ(h264_annexb_au_len(nullptr, 4), H264ERR_BAD_ARG);
    EXPECT_EQ(h264_annexb_au_len(au.data(), -4), H264ERR_BAD_ARG);
    h264_free_nalus(nullptr);
    h264_free_payload(nullptr);
}

TEST(H264Cutter, RecordsOutliveTheInput)
{
    // The Java side releases its array right after the call: the record
    // must not point into it (ASan reports a read of the freed input).
    auto input = std::make_unique<Bytes>(Bytes{0, 0, 0, 1, 0x67, 0x64, 0, 0, 1, 0x65, 0x88, 0x84});
    NALUS *s = nullptr, *n = nullptr;
    NALUPayload *p = nullptr;
    const int32_t len = static_cast<int32_t>(input->size());
    ASSERT_EQ(h264_nalus_from_annexb(input->data(), len, 1, &kTiming, &s), 0);
    ASSERT_EQ(h264_nalus_from_annexb(input->data(), len, 0, &kTiming, &n), 0);
    ASSERT_EQ(h264_payload_from_annexb(input->data(), len, 0, &kTiming, &p), 0);
    NalusPtr sr(s), nr(n);
    PayloadPtr pr(p);
    std::memset(input->data(), 0xEE, input->size());
    input.reset();
    EXPECT_EQ(units_of(*s), (std::vector<Bytes>{{0x67, 0x64}, {0x65, 0x88, 0x84}}));
    EXPECT_EQ(units_of(*n), (std::vector<Bytes>{prefixed({0x67, 0x64}), prefixed({0x65, 0x88, 0x84})}));
    EXPECT_EQ(Bytes(p->data, p->data + p->len), cat({prefixed({0x67, 0x64}), prefixed({0x65, 0x88, 0x84})}));
}

}  // namespace
