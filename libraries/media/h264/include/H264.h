/*
 * H.264 helper: cuts encoder output into the NALUS and NALUPayload records
 * that the publisher sends (records declared in NALU.h).
 *
 * Input forms:
 *  - Annex B: units behind 3-byte (00 00 01) or 4-byte (00 00 00 01) start
 *    codes, as a raw .h264 stream or an encoder in byte-stream mode emits
 *    them. Zero bytes in front of a start code (leading_zero_8bits, the
 *    zero_byte of a 4-byte code, trailing_zero_8bits) belong to no unit.
 *    The input must begin with a start code, optionally after zero bytes.
 *  - AVCC: units behind a 4-byte big-endian length, as in MP4 samples and
 *    FLV video tags (after the 5-byte video tag header).
 *
 * Output forms (the record's is_stripped flag):
 *  - stripped: each unit starts at its NAL header byte;
 *  - not stripped: each unit carries a 4-byte big-endian length in front of
 *    its NAL header byte, and its len counts those 4 bytes.
 * Emulation prevention bytes (00 00 03) are part of a unit and stay in.
 * Records never come out in Annex B form (is_annexb is always 0).
 *
 * Ownership: every maker copies what it needs from the input, so the
 * caller's buffer (a pinned Java array, a direct ByteBuffer) may be released
 * as soon as the call returns. A record, everything it points to included,
 * is one allocation, released with its free function, never with free().
 * On error nothing is allocated and *out is set to null.
 *
 * The makers and the splitter are reentrant; a record may be read from any
 * thread once made.
 */
#ifndef TAVREL_H264_H
#define TAVREL_H264_H

#include "NALU.h"

#include <stdint.h>

#define H264_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* Results: 0 or a count for success, one of these negative codes for
 * failure. */
typedef enum H264ERR {
    H264ERR_OK = 0,
    /* A required pointer is null, data is null with len > 0, or len is
     * negative. */
    H264ERR_BAD_ARG = -1,
    /* The input holds no unit: len 0, or nothing but start codes. */
    H264ERR_EMPTY = -2,
    /* Annex B input that does not begin with (zero bytes and) 00 00 01:
     * other bytes in front, or a code with a single zero (00 01). */
    H264ERR_NO_START_CODE = -3,
    /* Annex B input that ends before its first start code is complete:
     * nothing but zero bytes. */
    H264ERR_TRUNCATED_START_CODE = -4,
    /* AVCC input with a length prefix cut short (1 to 3 bytes left), of 0,
     * negative as int32, or running past the end of the input. */
    H264ERR_BAD_LENGTH = -5,
    /* The record would exceed INT32_MAX bytes of unit data. */
    H264ERR_TOO_LARGE = -6,
    /* A stripped NALUPayload is one unit without prefix: an access unit of
     * several units cannot be given that way (take the not-stripped form,
     * or a NALUS). */
    H264ERR_NOT_ONE_UNIT = -7,
    H264ERR_NO_MEMORY = -8,
    /* -9 and -10 are the JNI binding's (range, non-direct buffer). */
    /* An access unit without a slice, or whose SPS, PPS or first slice
     * header cannot be read (or names a parameter set not seen before). */
    H264ERR_BAD_HEADER = -11,
} H264ERR;

/* The times a record carries, in ticks of timebase_num / timebase_den
 * seconds; copied into the record unchanged. */
typedef struct H264Timing {
    uint32_t timebase_num;
    uint32_t timebase_den;
    int64_t pts;
    int64_t dts;
    int64_t fst_pts; /* pts of the stream's first access unit */
    int64_t fst_dts; /* dts of the stream's first access unit */
} H264Timing;

/*
 * One access unit (data, len) into a NALUS: one entry per unit in stream
 * order, type = NAL header byte & 0x1F, is_keyframe set when an IDR slice
 * is among the units, total_len = the sum of the entries' len. Empty units
 * (two start codes in a row) are skipped. is_stripped chooses the output
 * form (see above). Returns 0 and sets *out, or a negative H264ERR.
 */
H264_API int h264_nalus_from_annexb(const uint8_t *data, int32_t len, int is_stripped,
                                    const H264Timing *timing, NALUS **out);
H264_API int h264_nalus_from_avcc(const uint8_t *data, int32_t len, int is_stripped,
                                  const H264Timing *timing, NALUS **out);

/*
 * One access unit into a NALUPayload: not stripped, the whole access unit
 * as length-prefixed (AVCC) bytes; stripped, the access unit's single unit
 * from its NAL header byte (H264ERR_NOT_ONE_UNIT when it has several).
 * is_keyframe as for a NALUS. Returns 0 and sets *out, or a negative
 * H264ERR.
 */
H264_API int h264_payload_from_annexb(const uint8_t *data, int32_t len, int is_stripped,
                                      const H264Timing *timing, NALUPayload **out);
H264_API int h264_payload_from_avcc(const uint8_t *data, int32_t len, int is_stripped,
                                    const H264Timing *timing, NALUPayload **out);

/* Release a record made here; null is a no-op. */
H264_API void h264_free_nalus(NALUS *nalus);
H264_API void h264_free_payload(NALUPayload *payload);

/*
 * Access-unit boundaries of a whole Annex B stream: the length of the
 * access unit that begins at data[0], ending where the start code of the
 * next one begins (or at len for the last). Feed the result to a maker,
 * then advance data by it and subtract it from len. Returns a count > 0 or
 * a negative H264ERR (as for h264_nalus_from_annexb).
 *
 * Once the current access unit holds a slice, the next one begins at an
 * access unit delimiter, SEI, SPS, PPS, a unit of type 14 to 18, or a slice
 * (types 1, 2, 5) whose first_mb_in_slice is 0. Units ahead of the first
 * slice stay together whatever their order (FFmpeg's libx264 output has an
 * SEI ahead of the delimiter in its first access unit). This finds the
 * primary coded pictures of streams without arbitrary slice order or
 * redundant pictures, which is what encoders emit.
 */
H264_API int32_t h264_annexb_au_len(const uint8_t *data, int32_t len);

/*
 * Display order of a whole Annex B stream, for presentation times when no
 * container gives them: display_index[i] is the position in display order
 * of the i-th access unit (as h264_annexb_au_len cuts them), from each
 * primary picture's picture order count (types 0, 1 and 2) ranked within
 * the pictures between two IDR pictures. Returns the number of access
 * units and fills the first max_aus entries (display_index may be null when
 * max_aus is 0, to count first), or a negative H264ERR.
 *
 * With a constant frame duration d, dts = i * d and pts = (display_index[i]
 * + delay) * d, delay being the largest i - display_index[i], keep
 * pts >= dts. A memory_management_control_operation 5 (which resets the
 * count without an IDR) is not looked for; encoders do not emit it.
 */
H264_API int32_t h264_annexb_display_order(const uint8_t *data, int32_t len, int32_t *display_index,
                                           int32_t max_aus);

#ifdef __cplusplus
}
#endif

#endif
