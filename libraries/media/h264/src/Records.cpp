// Making and releasing NALUS and NALUPayload records. Each record is one
// allocation: the record, then (NALUS) its unit array, then the unit bytes,
// so one free releases all and a maker fails without leaving anything.
#include "H264.h"
#include "H264Internal.h"

#include <stdlib.h>
#include <string.h>

namespace tavrel_h264 {

namespace {

static_assert(sizeof(NALUS) % alignof(NALU) == 0, "unit array follows the record");

constexpr int32_t kPrefixLen = 4;

// First pass: validates the whole input and sizes the record.
struct Survey {
    const uint8_t *data;
    int32_t units = 0;
    int64_t unit_bytes = 0;  // without prefixes
    bool has_idr = false;
};

bool survey_sink(void *ctx, int32_t off, int32_t len, int32_t)
{
    Survey &s = *static_cast<Survey *>(ctx);
    ++s.units;
    s.unit_bytes += len;
    s.has_idr |= nal_type(s.data[off]) == NAL_TYPE_SLICE_IDR;
    return true;
}

int survey(Walker walk, const uint8_t *data, int32_t len, Survey &s)
{
    s.data = data;
    int rc = walk(data, len, survey_sink, &s);
    return rc < 0 ? rc : H264ERR_OK;
}

void put_be32(uint8_t *out, uint32_t v)
{
    out[0] = static_cast<uint8_t>(v >> 24);
    out[1] = static_cast<uint8_t>(v >> 16);
    out[2] = static_cast<uint8_t>(v >> 8);
    out[3] = static_cast<uint8_t>(v);
}

// Second pass: copies each unit, with or without its length prefix, to the
// record's bytes; with an entry array, fills it too.
struct Fill {
    const uint8_t *data;
    bool stripped;
    uint8_t *bytes;
    int32_t pos = 0;
    NALU *entries = nullptr;
    int32_t next = 0;
};

bool fill_sink(void *ctx, int32_t off, int32_t len, int32_t)
{
    Fill &f = *static_cast<Fill *>(ctx);
    uint8_t *at = f.bytes + f.pos;
    int32_t stored = len;
    if (!f.stripped) {
        put_be32(at, static_cast<uint32_t>(len));
        stored += kPrefixLen;
    }
    memcpy(at + (stored - len), f.data + off, static_cast<size_t>(len));
    if (f.entries) {
        NALU &e = f.entries[f.next++];
        e.data = at;
        e.len = stored;
        e.type = nal_type(f.data[off]);
    }
    f.pos += stored;
    return true;
}

template <typename Record>
void stamp(Record &r, const H264Timing &t, bool stripped, bool key)
{
    r.timebase_num = t.timebase_num;
    r.timebase_den = t.timebase_den;
    r.pts = t.pts;
    r.dts = t.dts;
    r.fst_pts = t.fst_pts;
    r.fst_dts = t.fst_dts;
    r.is_keyframe = key;
    r.is_stripped = stripped;
    r.is_annexb = 0;
}

// What both makers check and measure before they allocate: the arguments,
// the units (each one valid) and the bytes the record will store. *out is
// null until the record is made.
struct Plan {
    Survey survey;
    bool stripped = false;
    int32_t stored = 0;
};

template <typename Record>
int plan(Record **out, Walker walk, const uint8_t *data, int32_t len, int is_stripped, const H264Timing *timing,
         Plan &p)
{
    if (!out)
        return H264ERR_BAD_ARG;
    *out = nullptr;
    if (!timing)
        return H264ERR_BAD_ARG;
    int rc = survey(walk, data, len, p.survey);
    if (rc < 0)
        return rc;
    p.stripped = is_stripped != 0;
    int64_t stored = p.survey.unit_bytes + (p.stripped ? 0 : int64_t{kPrefixLen} * p.survey.units);
    if (stored > INT32_MAX)
        return H264ERR_TOO_LARGE;
    p.stored = static_cast<int32_t>(stored);
    return H264ERR_OK;
}

// A zeroed record with `extra` bytes behind it, in one allocation; null
// when memory runs out.
template <typename Record>
Record *new_record(size_t extra)
{
    void *block = malloc(sizeof(Record) + extra);
    if (!block)
        return nullptr;
    memset(block, 0, sizeof(Record));
    return static_cast<Record *>(block);
}

// Copies the units to bytes (and, with entries, describes each there).
void fill(Walker walk, const uint8_t *data, int32_t len, bool stripped, uint8_t *bytes, NALU *entries)
{
    Fill f;
    f.data = data;
    f.stripped = stripped;
    f.bytes = bytes;
    f.entries = entries;
    walk(data, len, fill_sink, &f);
}

int make_nalus(Walker walk, const uint8_t *data, int32_t len, int is_stripped, const H264Timing *timing,
               NALUS **out)
{
    Plan p;
    int rc = plan(out, walk, data, len, is_stripped, timing, p);
    if (rc < 0)
        return rc;

    size_t entries_size = sizeof(NALU) * static_cast<size_t>(p.survey.units);
    auto *r = new_record<NALUS>(entries_size + static_cast<size_t>(p.stored));
    if (!r)
        return H264ERR_NO_MEMORY;
    r->nalus = reinterpret_cast<NALU *>(r + 1);
    r->num_nalu = p.survey.units;
    r->total_len = p.stored;
    stamp(*r, *timing, p.stripped, p.survey.has_idr);
    fill(walk, data, len, p.stripped, reinterpret_cast<uint8_t *>(r + 1) + entries_size, r->nalus);
    *out = r;
    return H264ERR_OK;
}

int make_payload(Walker walk, const uint8_t *data, int32_t len, int is_stripped, const H264Timing *timing,
                 NALUPayload **out)
{
    Plan p;
    int rc = plan(out, walk, data, len, is_stripped, timing, p);
    if (rc < 0)
        return rc;
    // The publisher puts one length prefix in front of a stripped payload:
    // several units sent that way would reach the decoder as one.
    if (p.stripped && p.survey.units != 1)
        return H264ERR_NOT_ONE_UNIT;

    auto *r = new_record<NALUPayload>(static_cast<size_t>(p.stored));
    if (!r)
        return H264ERR_NO_MEMORY;
    r->data = reinterpret_cast<uint8_t *>(r + 1);
    r->len = p.stored;
    stamp(*r, *timing, p.stripped, p.survey.has_idr);
    fill(walk, data, len, p.stripped, r->data, nullptr);
    *out = r;
    return H264ERR_OK;
}

}  // namespace

}  // namespace tavrel_h264

using tavrel_h264::walk_annexb;
using tavrel_h264::walk_avcc;

extern "C" {

H264_API int h264_nalus_from_annexb(const uint8_t *data, int32_t len, int is_stripped, const H264Timing *timing,
                                    NALUS **out)
{
    return tavrel_h264::make_nalus(walk_annexb, data, len, is_stripped, timing, out);
}

H264_API int h264_nalus_from_avcc(const uint8_t *data, int32_t len, int is_stripped, const H264Timing *timing,
                                  NALUS **out)
{
    return tavrel_h264::make_nalus(walk_avcc, data, len, is_stripped, timing, out);
}

H264_API int h264_payload_from_annexb(const uint8_t *data, int32_t len, int is_stripped,
                                      const H264Timing *timing, NALUPayload **out)
{
    return tavrel_h264::make_payload(walk_annexb, data, len, is_stripped, timing, out);
}

H264_API int h264_payload_from_avcc(const uint8_t *data, int32_t len, int is_stripped, const H264Timing *timing,
                                    NALUPayload **out)
{
    return tavrel_h264::make_payload(walk_avcc, data, len, is_stripped, timing, out);
}

H264_API void h264_free_nalus(NALUS *nalus) { free(nalus); }

H264_API void h264_free_payload(NALUPayload *payload) { free(payload); }

}  // extern "C"
