/*
 * AAC record makers: cuts an ADTS stream (a raw .aac file, an encoder's
 * ADTS output) into frames and makes the AACHeader and AACData records
 * (declared in Mirabe.h) that the publisher's AAC sends take; also makes
 * them from a bare AudioSpecificConfig and a raw frame, as encoders without
 * ADTS give them.
 *
 * ADTS header (7 bytes, 9 with CRC), read in this order, each field bounded
 * before it is read:
 *   sync word 0xFFF (12 bits), ID, layer (must be 0), protection_absent,
 *   profile (2), sampling_frequency_index (4, 0..12), private bit,
 *   channel_configuration (3), 4 bits of flags, frame_length (13, the whole
 *   frame, header included), buffer fullness (11),
 *   number_of_raw_data_blocks_in_frame (2).
 * A protected header (protection_absent = 0) carries a 16-bit CRC after the
 * 7 bytes (and a position per extra raw data block before it); the CRC is
 * skipped, not verified.
 *
 * Ownership: a record is released with Mirabe's free_aac_header /
 * free_aac_data, never with free(). An AACHeader is one allocation (its
 * bytes follow the record, as free_aac_header frees the record only); an
 * AACData's bytes are a second allocation, as free_aac_data frees buf and
 * then the record. Makers copy their input; on error nothing is allocated
 * and *out is null. Everything here is reentrant.
 */
#ifndef TAVREL_ADTS_H
#define TAVREL_ADTS_H

#include "Mirabe.h"

#include <stdint.h>

#define ADTS_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

typedef enum ADTSERR {
    ADTSERR_OK = 0,
    /* A required pointer is null (data may be null when len is 0), or len
     * is negative. */
    ADTSERR_BAD_ARG = -1,
    /* Fewer bytes than the header needs (7, or 9 and more with CRC). */
    ADTSERR_TRUNCATED = -2,
    /* The first 12 bits are not the sync word 0xFFF. */
    ADTSERR_NO_SYNC = -3,
    /* The layer bits are not 0. */
    ADTSERR_BAD_LAYER = -4,
    /* sampling_frequency_index 13, 14 or 15. */
    ADTSERR_BAD_RATE = -5,
    /* frame_length is shorter than the header itself. */
    ADTSERR_BAD_FRAME_LEN = -6,
    /* frame_length runs past the end of the input. */
    ADTSERR_FRAME_PAST_END = -7,
    ADTSERR_NO_MEMORY = -8,
    /* -9 and -10 are the JNI binding's (range, non-direct buffer). */
    /* A frame of several raw data blocks: an FLV audio tag holds one. */
    ADTSERR_MULTIPLE_BLOCKS = -11,
    /* A frame (or raw input) without payload bytes. */
    ADTSERR_EMPTY = -12,
    /* No AudioSpecificConfig can be made: channel_configuration 0 (the
     * layout is in the stream, not the header), or a bare config shorter
     * than 2 bytes or longer than ADTS_MAX_CONFIG_LEN. */
    ADTSERR_BAD_CONFIG = -13,
} ADTSERR;

#define ADTS_MAX_CONFIG_LEN 64

/* What one ADTS header says. */
typedef struct AdtsFrameInfo {
    int32_t frame_len;   /* whole frame, header included */
    int32_t header_len;  /* 7, or 9 (+2 per extra block) with CRC */
    int32_t payload_len; /* frame_len - header_len */
    int32_t sample_rate; /* Hz */
    int32_t samples;     /* PCM samples per channel: 1024 per raw data block */
    int32_t has_crc;
    AudioSpecificConfig config; /* as Mirabe's parse_config_from_adts reads it */
} AdtsFrameInfo;

/* Reads and checks the header of the frame at data[0]; the whole frame must
 * lie within len. Returns 0 and fills *info (may be null), or a negative
 * ADTSERR. */
ADTS_API int adts_parse_header(const uint8_t *data, int32_t len, AdtsFrameInfo *info);

/* Splitting a stream: the length of the frame at data[0] (> 0), checked as
 * by adts_parse_header, or a negative ADTSERR. Advance data by it. */
ADTS_API int32_t adts_frame_len(const uint8_t *data, int32_t len);

/* The stream's AACHeader: the 2-byte AudioSpecificConfig of the frame at
 * data[0] (Mirabe's parse_config_from_adts and write_audio_specific_config). */
ADTS_API int adts_make_header(const uint8_t *data, int32_t len, AACHeader **out);

/* The AACData of the frame at data[0]: its raw data block, without the ADTS
 * header and CRC. */
ADTS_API int adts_make_data(const uint8_t *data, int32_t len, AACData **out);

/* An AACHeader holding a copy of a bare AudioSpecificConfig (2 to
 * ADTS_MAX_CONFIG_LEN bytes), as an encoder's codec configuration gives it. */
ADTS_API int aac_header_from_config(const uint8_t *config, int32_t len, AACHeader **out);

/* An AACData holding a copy of one raw AAC frame (no ADTS header). */
ADTS_API int aac_data_from_raw(const uint8_t *raw, int32_t len, AACData **out);

#ifdef __cplusplus
}
#endif

#endif
