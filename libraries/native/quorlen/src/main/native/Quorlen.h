/*
 * Quorlen: FLV byte writers for an RTMP publishing link.
 *
 * Every writer writes at out[0] and returns the number of bytes written, so
 * the caller advances its own position. Writers never allocate and never
 * check room: size the buffer with flv_tag_body_len /
 * compute_flv_header_len or the fixed sizes (FLV_*_LEN below). Multi-byte
 * fields are big-endian. Everything is stateless and reentrant.
 */
#ifndef QUORLEN_H
#define QUORLEN_H

#include <stddef.h>
#include <stdint.h>

#define QUORLEN_API __attribute__((visibility("default")))

/* ---- FLV format values ---------------------------------------------------
 * The fixed sizes, and the flag bits of the header bytes as the FLV format
 * table lists them: each flag is the field's value in its place in the
 * byte, so a header byte is the OR of one flag per field (AAC audio:
 * FLV_SOUND_FORMAT_AAC | FLV_SOUND_RATE_44KHZ | FLV_SOUND_SIZE_16BIT |
 * FLV_SOUND_TYPE_STEREO = 0xAF; an AVC key frame: FLV_FRAME_TYPE_KEY |
 * FLV_CODEC_ID_AVC = 0x17). */
enum {
    FLV_FILE_HEADER_LEN = 13,     /* signature, version, flags, offset, previous tag size 0 */
    FLV_TAG_HEADER_LEN = 11,      /* type, data size, timestamp and its extension, stream id */
    FLV_PREV_TAG_SIZE_LEN = 4,    /* the trailer behind each tag */
    FLV_AUDIO_TAG_HEADER_LEN = 2, /* flags, AACPacketType */
    FLV_VIDEO_TAG_HEADER_LEN = 5, /* flags, AVCPacketType, composition time */
};

/* File header, TypeFlags. */
enum {
    FLV_HEADER_FLAG_VIDEO = 0x01, /* TypeFlagsVideo */
    FLV_HEADER_FLAG_AUDIO = 0x04, /* TypeFlagsAudio */
};

/* Tag header, TagType. */
enum {
    FLV_TAG_TYPE_AUDIO = 8,
    FLV_TAG_TYPE_VIDEO = 9,
    FLV_TAG_TYPE_SCRIPT = 18, /* script data: onMetaData */
};

/* Audio tag header, first byte. */
enum {
    FLV_SOUND_FORMAT_AAC = 0xA0,  /* SoundFormat (bits 7-4) 10 */
    FLV_SOUND_RATE_44KHZ = 0x0C,  /* SoundRate (bits 3-2) 3 */
    FLV_SOUND_SIZE_16BIT = 0x02,  /* SoundSize (bit 1) 1 */
    FLV_SOUND_TYPE_STEREO = 0x01, /* SoundType (bit 0) 1 */
};

/* Audio tag header, second byte (AAC). */
enum {
    FLV_AAC_PACKET_SEQUENCE_HEADER = 0, /* AudioSpecificConfig */
    FLV_AAC_PACKET_RAW = 1,             /* one raw AAC frame */
};

/* Video tag header, first byte. */
enum {
    FLV_FRAME_TYPE_KEY = 0x10,   /* FrameType (bits 7-4) 1 */
    FLV_FRAME_TYPE_INTER = 0x20, /* FrameType 2 */
    FLV_CODEC_ID_AVC = 0x07,     /* CodecID (bits 3-0) 7 */
};

/* Video tag header, second byte (AVC). */
enum {
    FLV_AVC_PACKET_SEQUENCE_HEADER = 0, /* AVCDecoderConfigurationRecord */
    FLV_AVC_PACKET_NALU = 1,            /* length-prefixed NAL units */
    FLV_AVC_PACKET_END_OF_SEQUENCE = 2,
};

#ifdef __cplusplus
extern "C" {
#endif

/* Milliseconds of (pts - dts) in a 1/timebase_den time base, truncated
 * toward zero; a negative offset comes back as its 32-bit two's complement.
 * The time base widens as unsigned 32 bits; a time base of 0 gives 0. */
QUORLEN_API uint32_t composition_time_ms(int64_t pts, int64_t dts, int32_t timebase_den);

/* Milliseconds from dts_offset to dts in a 1/timebase_den time base. */
QUORLEN_API uint32_t dts_to_elapsed_ms(int64_t dts, int64_t dts_offset, int32_t timebase_den);

/* Bytes a tag adds around its payload, previous tag size included. */
QUORLEN_API int compute_flv_header_len(int is_audio, int write_tag_header, int is_seq_header, int is_stripped,
                                       int is_adts_or_annexb);

/* The tag data size for a payload of payload_len bytes: +2 audio, +16 AVC
 * sequence header (payload = SPS + PPS), +9 video frame (one length prefix). */
QUORLEN_API uint32_t flv_tag_body_len(int is_audio, int is_seq_header, int payload_len);

QUORLEN_API int write_flv_header(uint8_t *out, int has_audio, int has_video);
QUORLEN_API int write_flv_tag_header(uint8_t *out, int is_audio, uint32_t body_len, uint32_t elapsed_ts_ms);
QUORLEN_API int write_flv_prev_tag_size(uint8_t *out, uint32_t len);
QUORLEN_API int write_flv_audio_tag_header(uint8_t *out, int is_seq_header, int sample_rate_i,
                                           int is_sample_size_16_bit, int is_stereo);
QUORLEN_API int write_flv_video_tag_header(uint8_t *out, int is_keyframe, int is_seq_header,
                                           int32_t composition_time_ms);
QUORLEN_API int write_audio_config(uint8_t *out, int obj_type, int sample_freq);
/* Copies adts_len raw bytes unchanged (no header is parsed or stripped); a
 * negative adts_len writes nothing and returns 0. */
QUORLEN_API int write_adts(uint8_t *out, const uint8_t *adts, int32_t adts_len);

/* AVCDecoderConfigurationRecord from one SPS (at least 4 bytes) and one
 * PPS, each from its NAL header byte. */
QUORLEN_API int write_sps_pps(uint8_t *out, const uint8_t *sps_nal, size_t sps_len, const uint8_t *pps_nal,
                              size_t pps_len);

/* A 4-byte big-endian length, then the unit. */
QUORLEN_API int write_nalu(uint8_t *out, const uint8_t *nal, size_t nal_len);

#ifdef __cplusplus
}
#endif

#endif
