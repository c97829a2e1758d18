/*
 * Mirabe: the AAC records that travel between Java and the native
 * libraries, and conversions between an ADTS header, the AudioSpecificConfig
 * and the flags byte of an FLV audio tag.
 *
 * AACHeader and AACData records are made outside this library and reach it
 * by address; this library prints and releases them and allocates nothing.
 */
#ifndef MIRABE_H
#define MIRABE_H

#include "Ostrel.h"

#include <stdint.h>

#define MIRABE_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* The stream's AudioSpecificConfig. free_aac_header releases the record
 * only, never buf: its producer keeps buf in the same allocation or owns it. */
typedef struct AACHeader {
    uint8_t *buf;
    uint32_t len;
} AACHeader;

/* One encoded AAC frame. free_aac_data releases buf (malloc'ed) and the
 * record. */
typedef struct AACData {
    uint8_t *buf;
    int32_t len;
} AACData;

typedef struct AudioSpecificConfig {
    uint8_t audio_object_type;      /* MPEG-4 object type minus one, as ADTS carries it (1 = AAC LC) */
    uint8_t sample_frequency_index; /* 4 bits: 3 = 48000 Hz, 4 = 44100 Hz, 7 = 22050 Hz, 10 = 11025 Hz */
    uint8_t channel_configuration;  /* 1 = mono, 2 = stereo */
} AudioSpecificConfig;

/* The first byte of an FLV audio tag for the configuration, or 0 when it
 * has no FLV equivalent (a rate other than 11025, 22050 or 44100 Hz, or
 * other than one or two channels, or a null config). */
MIRABE_API uint8_t gen_audio_tag_header_sound_format(const AudioSpecificConfig *config);

/* The configuration in an ADTS header (bytes 2 and 3 are read; sync word,
 * protection and frame length are not checked). Null gives all zeros. */
MIRABE_API AudioSpecificConfig parse_config_from_adts(const uint8_t *adts_frame);

/* The 2-byte AudioSpecificConfig at out; returns 2. */
MIRABE_API int write_audio_specific_config(uint8_t *out, const AudioSpecificConfig *config);

/* Print a record at level 500 (FINE); null records and loggers are fine. */
MIRABE_API void pprint_aac_header(AACHeader *header, Logger *logger);
MIRABE_API void pprint_aac_data(AACData *data, Logger *logger);

/* Release a record; null is ignored. */
MIRABE_API void free_aac_header(AACHeader *header);
MIRABE_API void free_aac_data(AACData *data);

#ifdef __cplusplus
}
#endif

#endif
