#include "H264CutterChecks.h"
#include "../common/FuzzCheck.h"

#include "H264.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

namespace {

const H264Timing kTiming{1, 90000, 3003, -1, 7, 9};

uint32_t be32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}

struct Unit {
    std::vector<uint8_t> bytes;
    int type;
};

template <typename Record>
void check_timing(const Record &r)
{
    CHECK(r.timebase_num == kTiming.timebase_num && r.timebase_den == kTiming.timebase_den);
    CHECK(r.pts == kTiming.pts && r.dts == kTiming.dts);
    CHECK(r.fst_pts == kTiming.fst_pts && r.fst_dts == kTiming.fst_dts);
    CHECK(r.is_annexb == 0);
}

// The stripped and the prefixed record of one input must hold the same
// units; returns them.
std::vector<Unit> check_pair(const NALUS &s, const NALUS &p)
{
    check_timing(s);
    check_timing(p);
    CHECK(s.is_stripped == 1 && p.is_stripped == 0);
    CHECK(s.num_nalu > 0 && s.num_nalu == p.num_nalu);
    CHECK(s.is_keyframe == p.is_keyframe);
    std::vector<Unit> units;
    int64_t s_total = 0, p_total = 0;
    bool idr = false;
    for (int32_t i = 0; i < s.num_nalu; ++i) {
        const NALU &a = s.nalus[i];
        const NALU &b = p.nalus[i];
        CHECK(a.len > 0 && b.len == a.len + 4);
        CHECK(be32(b.data) == static_cast<uint32_t>(a.len));
        CHECK(memcmp(a.data, b.data + 4, static_cast<size_t>(a.len)) == 0);
        CHECK(a.type == (a.data[0] & 0x1F) && b.type == a.type);
        idr |= a.type == NAL_TYPE_SLICE_IDR;
        s_total += a.len;
        p_total += b.len;
        units.push_back({std::vector<uint8_t>(a.data, a.data + a.len), a.type});
    }
    CHECK(s.total_len == s_total && p.total_len == p_total);
    CHECK((s.is_keyframe != 0) == idr);
    return units;
}

std::vector<uint8_t> prefixed_bytes(const NALUS &p)
{
    std::vector<uint8_t> out;
    for (int32_t i = 0; i < p.num_nalu; ++i)
        out.insert(out.end(), p.nalus[i].data, p.nalus[i].data + p.nalus[i].len);
    return out;
}

// Both payload forms of an input whose NALUS pair is known.
void check_payloads(int (*make)(const uint8_t *, int32_t, int, const H264Timing *, NALUPayload **),
                    const uint8_t *data, int32_t len, const NALUS &prefixed, const std::vector<Unit> &units)
{
    NALUPayload *pl = nullptr;
    int rc = make(data, len, 0, &kTiming, &pl);
    CHECK(rc == 0 && pl);
    std::vector<uint8_t> want = prefixed_bytes(prefixed);
    CHECK(pl->len == static_cast<int32_t>(want.size()) && memcmp(pl->data, want.data(), want.size()) == 0);
    CHECK(pl->is_keyframe == prefixed.is_keyframe && pl->is_stripped == 0 && pl->is_annexb == 0);
    check_timing(*pl);
    h264_free_payload(pl);

    pl = reinterpret_cast<NALUPayload *>(1);
    rc = make(data, len, 1, &kTiming, &pl);
    if (units.size() == 1) {
        CHECK(rc == 0 && pl && pl->is_stripped == 1);
        CHECK(pl->len == static_cast<int32_t>(units[0].bytes.size()));
        CHECK(memcmp(pl->data, units[0].bytes.data(), units[0].bytes.size()) == 0);
    } else {
        CHECK(rc == H264ERR_NOT_ONE_UNIT && !pl);
    }
    h264_free_payload(pl);
}

// Returns the units, or the error code in rc.
std::vector<Unit> check_annexb(const uint8_t *data, int32_t len, int *rc_out)
{
    NALUS *s = reinterpret_cast<NALUS *>(1), *p = reinterpret_cast<NALUS *>(1);
    int rc = h264_nalus_from_annexb(data, len, 1, &kTiming, &s);
    int rc_p = h264_nalus_from_annexb(data, len, 0, &kTiming, &p);
    CHECK(rc == rc_p);
    *rc_out = rc;
    std::vector<Unit> units;
    if (rc != 0) {
        CHECK(rc < 0 && !s && !p);
        NALUPayload *pl = reinterpret_cast<NALUPayload *>(1);
        CHECK(h264_payload_from_annexb(data, len, 0, &kTiming, &pl) == rc && !pl);
        return units;
    }
    units = check_pair(*s, *p);
    for (const Unit &u : units) {
        // Start codes and the zeros around them belong to no unit.
        CHECK(u.bytes.back() != 0);
        for (size_t i = 0; i + 2 < u.bytes.size(); ++i)
            CHECK(!(u.bytes[i] == 0 && u.bytes[i + 1] == 0 && u.bytes[i + 2] == 1));
    }
    check_payloads(h264_payload_from_annexb, data, len, *p, units);

    // The prefixed form is a valid AVCC sample of the same units.
    std::vector<uint8_t> avcc = prefixed_bytes(*p);
    NALUS *again = nullptr;
    CHECK(h264_nalus_from_avcc(avcc.data(), static_cast<int32_t>(avcc.size()), 1, &kTiming, &again) == 0);
    CHECK(again->num_nalu == s->num_nalu);
    for (int32_t i = 0; i < s->num_nalu; ++i)
        CHECK(again->nalus[i].len == s->nalus[i].len &&
              memcmp(again->nalus[i].data, s->nalus[i].data, static_cast<size_t>(s->nalus[i].len)) == 0);
    h264_free_nalus(again);
    h264_free_nalus(s);
    h264_free_nalus(p);
    return units;
}

void check_avcc(const uint8_t *data, int32_t len)
{
    NALUS *s = reinterpret_cast<NALUS *>(1), *p = reinterpret_cast<NALUS *>(1);
    int rc = h264_nalus_from_avcc(data, len, 1, &kTiming, &s);
    CHECK(h264_nalus_from_avcc(data, len, 0, &kTiming, &p) == rc);
    if (rc != 0) {
        CHECK(rc < 0 && !s && !p);
        NALUPayload *pl = reinterpret_cast<NALUPayload *>(1);
        CHECK(h264_payload_from_avcc(data, len, 0, &kTiming, &pl) == rc && !pl);
        return;
    }
    std::vector<Unit> units = check_pair(*s, *p);
    // A valid sample is exactly its prefixed units.
    std::vector<uint8_t> again = prefixed_bytes(*p);
    CHECK(again.size() == static_cast<size_t>(len) && memcmp(again.data(), data, again.size()) == 0);
    check_payloads(h264_payload_from_avcc, data, len, *p, units);
    h264_free_nalus(s);
    h264_free_nalus(p);
}

// The access units the splitter finds hold, together and in order, the
// units of the whole stream. Returns the units of each access unit (none
// when the stream is refused).
std::vector<std::vector<Unit>> check_split(const uint8_t *data, int32_t len, int whole_rc,
                                           const std::vector<Unit> &whole)
{
    std::vector<std::vector<Unit>> aus;
    size_t joined = 0;  // units of the stream met so far
    int32_t pos = 0;
    while (pos < len) {
        int32_t au = h264_annexb_au_len(data + pos, len - pos);
        if (pos == 0)
            CHECK((au < 0) == (whole_rc < 0));
        if (au < 0) {
            CHECK(pos == 0);
            return aus;
        }
        CHECK(au > 0 && au <= len - pos);
        int rc = 0;
        std::vector<Unit> units = check_annexb(data + pos, au, &rc);
        CHECK(rc == 0);
        // Nothing that leads an access unit follows a slice of the same one.
        bool slice = false;
        for (const Unit &u : units) {
            bool leads = u.type == NAL_TYPE_AUD || u.type == NAL_TYPE_SEI || u.type == NAL_TYPE_SPS ||
                         u.type == NAL_TYPE_PPS || (u.type >= 14 && u.type <= 18);
            CHECK(!(slice && leads));
            slice |= u.type >= NAL_TYPE_SLICE && u.type <= NAL_TYPE_SLICE_IDR;
        }
        for (const Unit &u : units) {
            CHECK(joined < whole.size() && u.bytes == whole[joined].bytes);
            ++joined;
        }
        aus.push_back(std::move(units));
        pos += au;
    }
    CHECK(joined == whole.size());
    return aus;
}

// The display order has one entry per access unit the splitter finds; it
// ranks the pictures of each IDR period among themselves, so each period's
// entries are exactly the positions that period covers. Only the first
// max_aus entries are written.
void check_display_order(const uint8_t *data, int32_t len, const std::vector<std::vector<Unit>> &aus)
{
    const int32_t n = h264_annexb_display_order(data, len, nullptr, 0);
    int32_t scratch = 0;
    CHECK(h264_annexb_display_order(data, len, nullptr, 1) == H264ERR_BAD_ARG);
    CHECK(h264_annexb_display_order(data, len, &scratch, -1) == H264ERR_BAD_ARG);
    if (aus.empty() || n < 0) {
        CHECK(n < 0 && n >= H264ERR_BAD_HEADER);
        CHECK(aus.empty() || n == H264ERR_BAD_HEADER || n == H264ERR_NO_MEMORY);
        return;
    }
    CHECK(n == static_cast<int32_t>(aus.size()));
    std::vector<bool> idr;
    for (const std::vector<Unit> &au : aus) {
        int first_slice = 0;
        for (const Unit &u : au)
            if (!first_slice && (u.type == NAL_TYPE_SLICE || u.type == NAL_TYPE_SLICE_DPA || u.type == NAL_TYPE_SLICE_IDR))
                first_slice = u.type;
        CHECK(first_slice != 0);
        idr.push_back(first_slice == NAL_TYPE_SLICE_IDR);
    }

    constexpr int32_t kUnwritten = -7;
    std::vector<int32_t> order(static_cast<size_t>(n) + 2, kUnwritten);
    CHECK(h264_annexb_display_order(data, len, order.data(), n) == n);
    CHECK(order[size_t(n)] == kUnwritten && order[size_t(n) + 1] == kUnwritten);
    for (int32_t start = 0; start < n;) {
        int32_t end = start + 1;
        while (end < n && !idr[size_t(end)])
            ++end;
        std::vector<bool> seen(size_t(end - start), false);
        for (int32_t i = start; i < end; ++i) {
            int32_t at = order[size_t(i)];
            CHECK(at >= start && at < end && !seen[size_t(at - start)]);
            seen[size_t(at - start)] = true;
        }
        start = end;
    }

    const int32_t half = n / 2;
    std::vector<int32_t> part(static_cast<size_t>(n), kUnwritten);
    CHECK(h264_annexb_display_order(data, len, part.data(), half) == n);
    for (int32_t i = 0; i < n; ++i)
        CHECK(part[size_t(i)] == (i < half ? order[size_t(i)] : kUnwritten));
}

}  // namespace

void check_h264_cutters(const uint8_t *data, size_t size)
{
    if (size > (1u << 24))
        return;
    int32_t len = static_cast<int32_t>(size);
    // A zero-length input may come with any pointer, null included.
    if (len == 0)
        data = nullptr;
    int rc = 0;
    std::vector<Unit> units = check_annexb(data, len, &rc);
    check_display_order(data, len, check_split(data, len, rc, units));
    check_avcc(data, len);
}
