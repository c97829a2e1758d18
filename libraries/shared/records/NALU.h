/*
 * H.264 input records. They are filled outside the publisher (by the H.264
 * helper) and reach it by address, so their layout is an interface: the
 * natural x86-64 Linux C layout, checked below.
 */
#ifndef TAVREL_NALU_H
#define TAVREL_NALU_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* nal_unit_type values of ITU-T H.264. */
typedef enum NAL_TYPE {
    NAL_TYPE_UNKNOWN = 0,
    NAL_TYPE_SLICE = 1,
    NAL_TYPE_SLICE_DPA = 2,
    NAL_TYPE_SLICE_DPB = 3,
    NAL_TYPE_SLICE_DPC = 4,
    NAL_TYPE_SLICE_IDR = 5,
    NAL_TYPE_SEI = 6,
    NAL_TYPE_SPS = 7,
    NAL_TYPE_PPS = 8,
    NAL_TYPE_AUD = 9,
    NAL_TYPE_FILLER = 12,
} NAL_TYPE;

/* One NAL unit as stored: from its NAL header byte when the access unit is
 * stripped, else from its 4-byte big-endian length prefix (counted in len). */
typedef struct NALU {
    uint8_t *data;
    int32_t len;
    int32_t type; /* a NAL_TYPE */
} NALU;

/* One access unit as an array of NAL units. Times are in ticks of
 * timebase_num / timebase_den seconds. */
typedef struct NALUS {
    NALU *nalus;
    int32_t num_nalu;
    int32_t total_len; /* informational; the publisher does not read it */
    uint32_t timebase_num;
    uint32_t timebase_den;
    int64_t pts;
    int64_t dts;
    int64_t fst_pts; /* pts of the stream's first access unit */
    int64_t fst_dts; /* dts of the stream's first access unit */
    int32_t is_keyframe;
    int32_t is_stripped;
    int32_t is_annexb; /* start-code form; refused by the publisher */
} NALUS;

/* One access unit as one contiguous buffer. */
typedef struct NALUPayload {
    uint8_t *data;
    int32_t len;
    uint32_t timebase_num;
    uint32_t timebase_den;
    int64_t pts;
    int64_t dts;
    int64_t fst_pts;
    int64_t fst_dts;
    int32_t is_keyframe;
    int32_t is_stripped;
    int32_t is_annexb;
} NALUPayload;

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#define TAVREL_STATIC_ASSERT static_assert
#else
#define TAVREL_STATIC_ASSERT _Static_assert
#endif
TAVREL_STATIC_ASSERT(sizeof(NALU) == 16, "NALU layout");
TAVREL_STATIC_ASSERT(offsetof(NALU, type) == 12, "NALU layout");
TAVREL_STATIC_ASSERT(sizeof(NALUS) == 72, "NALUS layout");
TAVREL_STATIC_ASSERT(offsetof(NALUS, timebase_num) == 16, "NALUS layout");
TAVREL_STATIC_ASSERT(offsetof(NALUS, pts) == 24, "NALUS layout");
TAVREL_STATIC_ASSERT(offsetof(NALUS, is_keyframe) == 56, "NALUS layout");
TAVREL_STATIC_ASSERT(offsetof(NALUS, is_annexb) == 64, "NALUS layout");
TAVREL_STATIC_ASSERT(sizeof(NALUPayload) == 72, "NALUPayload layout");
TAVREL_STATIC_ASSERT(offsetof(NALUPayload, timebase_num) == 12, "NALUPayload layout");
TAVREL_STATIC_ASSERT(offsetof(NALUPayload, pts) == 24, "NALUPayload layout");
TAVREL_STATIC_ASSERT(offsetof(NALUPayload, is_annexb) == 64, "NALUPayload layout");
#undef TAVREL_STATIC_ASSERT

#endif
