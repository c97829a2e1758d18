// Reading and bounding ADTS frame headers, and splitting a stream at them.
#include "Adts.h"

namespace {

constexpr int32_t kFixedHeaderLen = 7;
constexpr int32_t kCrcLen = 2;
constexpr int32_t kSamplesPerBlock = 1024;

constexpr int32_t kSampleRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                      22050, 16000, 12000, 11025, 8000,  7350};

}  // namespace

extern "C" {

ADTS_API int adts_parse_header(const uint8_t *data, int32_t len, AdtsFrameInfo *info)
{
    // Nothing at all (null, 0) is a short read, like any other.
    if (len < 0 || (!data && len > 0))
        return ADTSERR_BAD_ARG;
    if (len < kFixedHeaderLen)
        return ADTSERR_TRUNCATED;
    if (data[0] != 0xFF || (data[1] & 0xF0) != 0xF0)
        return ADTSERR_NO_SYNC;
    if ((data[1] & 0x06) != 0)
        return ADTSERR_BAD_LAYER;
    bool has_crc = (data[1] & 0x01) == 0;
    unsigned rate_index = (data[2] >> 2) & 0x0F;
    if (rate_index >= sizeof kSampleRates / sizeof kSampleRates[0])
        return ADTSERR_BAD_RATE;
    int32_t blocks = (data[6] & 0x03) + 1;
    // A protected frame of several blocks also lists where each later block
    // starts, 16 bits each, ahead of the CRC.
    int32_t header_len = kFixedHeaderLen + (has_crc ? kCrcLen * blocks : 0);
    if (len < header_len)
        return ADTSERR_TRUNCATED;
    int32_t frame_len = (int32_t(data[3] & 0x03) << 11) | (int32_t(data[4]) << 3) | (data[5] >> 5);
    if (frame_len < header_len)
        return ADTSERR_BAD_FRAME_LEN;
    if (frame_len > len)
        return ADTSERR_FRAME_PAST_END;
    if (info) {
        info->frame_len = frame_len;
        info->header_len = header_len;
        info->payload_len = frame_len - header_len;
        info->sample_rate = kSampleRates[rate_index];
        info->samples = kSamplesPerBlock * blocks;
        info->has_crc = has_crc;
        info->config = parse_config_from_adts(data);
    }
    return ADTSERR_OK;
}

ADTS_API int32_t adts_frame_len(const uint8_t *data, int32_t len)
{
    AdtsFrameInfo info;
    int rc = adts_parse_header(data, len, &info);
    return rc < 0 ? rc : info.frame_len;
}

}  // extern "C"
