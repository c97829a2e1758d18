// FLV byte writers. One line per header field, each with its meaning.
#include "Quorlen.h"

#include <cstring>

namespace {

constexpr int kAvcConfigLen = 11;  // AVCDecoderConfigurationRecord around one SPS and one PPS
constexpr int kNaluPrefixLen = 4;  // the length in front of each NAL unit

inline int put_u8(uint8_t *out, uint32_t v)
{
    out[0] = static_cast<uint8_t>(v);
    return 1;
}

inline int put_be16(uint8_t *out, uint32_t v)
{
    out[0] = static_cast<uint8_t>(v >> 8);
    out[1] = static_cast<uint8_t>(v);
    return 2;
}

inline int put_be24(uint8_t *out, uint32_t v)
{
    out[0] = static_cast<uint8_t>(v >> 16);
    out[1] = static_cast<uint8_t>(v >> 8);
    out[2] = static_cast<uint8_t>(v);
    return 3;
}

inline int put_be32(uint8_t *out, uint32_t v)
{
    out[0] = static_cast<uint8_t>(v >> 24);
    out[1] = static_cast<uint8_t>(v >> 16);
    out[2] = static_cast<uint8_t>(v >> 8);
    out[3] = static_cast<uint8_t>(v);
    return 4;
}

// memcpy with a null source is undefined even for zero bytes, and an empty
// unit may well come with a null pointer.
inline void copy_bytes(uint8_t *out, const uint8_t *in, size_t len)
{
    if (len)
        std::memcpy(out, in, len);
}

// Milliseconds of `dts` ticks of 1/timebase_den s. The division is signed
// 64-bit and truncates toward zero; the time base widens without sign.
uint32_t get_ms(int64_t dts, uint32_t timebase_den)
{
    // A zero time base would stop the process with SIGFPE (the JVM's
    // included); there is no meaningful answer, so 0 ms it is.
    if (timebase_den == 0)
        return 0;
    int64_t den = static_cast<int64_t>(static_cast<uint64_t>(timebase_den));
    // Unsigned multiply: the same bits as a signed one, without its overflow.
    int64_t scaled = static_cast<int64_t>(static_cast<uint64_t>(dts) * 1000u);
    return static_cast<uint32_t>(scaled / den);
}

}  // namespace

extern "C" {

uint32_t composition_time_ms(int64_t pts, int64_t dts, int32_t timebase_den)
{
    return get_ms(static_cast<int64_t>(static_cast<uint64_t>(pts) - static_cast<uint64_t>(dts)),
                  static_cast<uint32_t>(timebase_den));
}

uint32_t dts_to_elapsed_ms(int64_t dts, int64_t dts_offset, int32_t timebase_den)
{
    return get_ms(static_cast<int64_t>(static_cast<uint64_t>(dts) - static_cast<uint64_t>(dts_offset)),
                  static_cast<uint32_t>(timebase_den));
}

int compute_flv_header_len(int is_audio, int write_tag_header, int is_seq_header, int is_stripped,
                           int is_adts_or_annexb)
{
    int len = write_tag_header ? FLV_TAG_HEADER_LEN : 0;
    len += is_audio ? FLV_AUDIO_TAG_HEADER_LEN : FLV_VIDEO_TAG_HEADER_LEN;
    if (!is_audio) {
        if (is_seq_header)
            len += kAvcConfigLen;
        else if (is_stripped || is_adts_or_annexb)
            len += kNaluPrefixLen;  // a length prefix the payload lacks
    }
    return len + FLV_PREV_TAG_SIZE_LEN;
}

uint32_t flv_tag_body_len(int is_audio, int is_seq_header, int payload_len)
{
    uint32_t payload = static_cast<uint32_t>(payload_len);
    if (is_audio)
        return payload + FLV_AUDIO_TAG_HEADER_LEN;
    return payload + FLV_VIDEO_TAG_HEADER_LEN + (is_seq_header ? kAvcConfigLen : kNaluPrefixLen);
}

int write_flv_header(uint8_t *out, int has_audio, int has_video)
{
    int n = 0;
    out[n++] = 'F';                                                // signature
    out[n++] = 'L';
    out[n++] = 'V';
    n += put_u8(out + n, 1);                                       // version
    n += put_u8(out + n, (has_audio ? FLV_HEADER_FLAG_AUDIO : 0) |
                             (has_video ? FLV_HEADER_FLAG_VIDEO : 0));      // audio / video present
    n += put_be32(out + n, FLV_FILE_HEADER_LEN - FLV_PREV_TAG_SIZE_LEN);  // header size, 9
    n += put_be32(out + n, 0);                                            // previous tag size 0
    return n;
}

int write_flv_tag_header(uint8_t *out, int is_audio, uint32_t body_len, uint32_t elapsed_ts_ms)
{
    int n = 0;
    n += put_u8(out + n, is_audio ? FLV_TAG_TYPE_AUDIO : FLV_TAG_TYPE_VIDEO);  // tag type
    n += put_be24(out + n, body_len & 0xFFFFFF);            // data size
    n += put_be24(out + n, elapsed_ts_ms & 0xFFFFFF);       // timestamp, low 24 bits
    n += put_u8(out + n, (elapsed_ts_ms >> 24) & 0x7F);     // timestamp extension; bit 31 never written
    n += put_be24(out + n, 0);                              // stream id
    return n;
}

int write_flv_prev_tag_size(uint8_t *out, uint32_t len)
{
    return put_be32(out, len);  // tag header + tag data size
}

int write_flv_audio_tag_header(uint8_t *out, int is_seq_header, int sample_rate_i, int is_sample_size_16_bit,
                               int is_stereo)
{
    // AAC is always signalled as 44 kHz, 16-bit, stereo: decoders take the
    // real values from the AudioSpecificConfig.
    (void)sample_rate_i;
    (void)is_sample_size_16_bit;
    (void)is_stereo;
    int n = 0;
    n += put_u8(out + n, FLV_SOUND_FORMAT_AAC | FLV_SOUND_RATE_44KHZ | FLV_SOUND_SIZE_16BIT |
                             FLV_SOUND_TYPE_STEREO);                                         // sound flags
    n += put_u8(out + n, is_seq_header ? FLV_AAC_PACKET_SEQUENCE_HEADER : FLV_AAC_PACKET_RAW);  // AAC packet type
    return n;
}

int write_flv_video_tag_header(uint8_t *out, int is_keyframe, int is_seq_header, int32_t composition_time_ms)
{
    int32_t cts = is_seq_header ? 0 : composition_time_ms;
    int n = 0;
    n += put_u8(out + n, (is_keyframe ? FLV_FRAME_TYPE_KEY : FLV_FRAME_TYPE_INTER) | FLV_CODEC_ID_AVC);  // frame, codec
    n += put_u8(out + n, is_seq_header ? FLV_AVC_PACKET_SEQUENCE_HEADER : FLV_AVC_PACKET_NALU);  // AVC packet type
    n += put_u8(out + n, static_cast<uint32_t>(cts >> 16));  // composition time, 24-bit signed
    n += put_u8(out + n, static_cast<uint32_t>(cts >> 8));
    n += put_u8(out + n, static_cast<uint32_t>(cts));
    return n;
}

int write_audio_config(uint8_t *out, int obj_type, int sample_freq)
{
    // The AudioSpecificConfig comes from the AAC helpers; nothing here.
    (void)out;
    (void)obj_type;
    (void)sample_freq;
    return 0;
}

int write_adts(uint8_t *out, const uint8_t *adts, int32_t adts_len)
{
    // A negative length writes nothing, and says so: handing it back would
    // move the caller's position backwards.
    if (adts_len <= 0)
        return 0;
    std::memcpy(out, adts, static_cast<size_t>(adts_len));
    return adts_len;
}

int write_sps_pps(uint8_t *out, const uint8_t *sps_nal, size_t sps_len, const uint8_t *pps_nal, size_t pps_len)
{
    int n = 0;
    n += put_u8(out + n, 1);                                 // configuration version
    n += put_u8(out + n, sps_nal[1]);                        // profile indication
    n += put_u8(out + n, sps_nal[2]);                        // profile compatibility
    n += put_u8(out + n, sps_nal[3]);                        // level indication
    n += put_u8(out + n, 0xFF);                              // reserved, NAL length size 4
    n += put_u8(out + n, 0xE1);                              // reserved, one SPS
    n += put_be16(out + n, static_cast<uint32_t>(sps_len));  // SPS length
    copy_bytes(out + n, sps_nal, sps_len);
    n += static_cast<int>(sps_len);
    n += put_u8(out + n, 1);                                 // one PPS
    n += put_be16(out + n, static_cast<uint32_t>(pps_len));  // PPS length
    copy_bytes(out + n, pps_nal, pps_len);
    n += static_cast<int>(pps_len);
    return n;
}

int write_nalu(uint8_t *out, const uint8_t *nal, size_t nal_len)
{
    int n = put_be32(out, static_cast<uint32_t>(nal_len));  // NAL unit length
    copy_bytes(out + n, nal, nal_len);
    return n + static_cast<int>(nal_len);
}

}  // extern "C"
