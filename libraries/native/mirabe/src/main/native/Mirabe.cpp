// AAC records and the ADTS / AudioSpecificConfig / FLV flag conversions.
#include "Mirabe.h"

#include <cstdio>
#include <cstdlib>

namespace {

// The lines of a record's printout after its title, all at FINE.
void print_record(Logger *logger, const char *title, const uint8_t *buf, int len)
{
    logger_log(logger, OSTREL_FINE, "%s", title);
    logger_log(logger, OSTREL_FINE, "buff:%p, len:%d", static_cast<const void *>(buf), len);
    logger_log(logger, OSTREL_FINE, "-------------");
}

}  // namespace

extern "C" {

uint8_t gen_audio_tag_header_sound_format(const AudioSpecificConfig *config)
{
    if (!config)
        return 0;
    uint8_t sound_rate;
    switch (config->sample_frequency_index) {
    case 10: sound_rate = 1; break;  // 11 kHz
    case 7: sound_rate = 2; break;   // 22 kHz
    case 4: sound_rate = 3; break;   // 44 kHz
    default: return 0;               // no FLV rate (48 kHz included)
    }
    // FLV knows mono and stereo only; anything else would spill into the
    // sample size and rate bits.
    if (config->channel_configuration != 1 && config->channel_configuration != 2)
        return 0;
    uint8_t sound_type = static_cast<uint8_t>(config->channel_configuration - 1);
    // AAC in bits 7..4, rate in 3..2, 16-bit samples in bit 1, stereo in bit 0.
    return static_cast<uint8_t>(0xA2 | (sound_rate << 2) | sound_type);
}

AudioSpecificConfig parse_config_from_adts(const uint8_t *adts_frame)
{
    AudioSpecificConfig config = {0, 0, 0};
    if (!adts_frame)
        return config;
    config.audio_object_type = static_cast<uint8_t>(adts_frame[2] >> 6);             // profile
    config.sample_frequency_index = static_cast<uint8_t>((adts_frame[2] >> 2) & 0x0F);
    config.channel_configuration =
        static_cast<uint8_t>(((adts_frame[2] & 0x01) << 2) | (adts_frame[3] >> 6));  // 1 + 2 bits
    return config;
}

int write_audio_specific_config(uint8_t *out, const AudioSpecificConfig *config)
{
    // ADTS carries the object type minus one; the config wants it whole.
    unsigned object_type = config->audio_object_type + 1u;
    unsigned freq = config->sample_frequency_index;
    unsigned channels = config->channel_configuration;
    out[0] = static_cast<uint8_t>((object_type << 3) | (freq >> 1));  // 5 bits type, 3 high bits of rate
    out[1] = static_cast<uint8_t>((freq << 7) | (channels << 3));    // low bit of rate, 4 bits channels,
                                                                     // 1024-sample frames, no core, no extension
    return 2;
}

void pprint_aac_header(AACHeader *header, Logger *logger)
{
    if (!header) {
        logger_log(logger, OSTREL_FINE, "No AAC Header present");
        return;
    }
    print_record(logger, "--- AAC Header ---", header->buf, static_cast<int>(header->len));
}

void pprint_aac_data(AACData *data, Logger *logger)
{
    if (!data) {
        logger_log(logger, OSTREL_FINE, "No AAC data");
        return;
    }
    print_record(logger, "--- AAC Data ---", data->buf, static_cast<int>(data->len));
    std::fflush(stdout);
}

void free_aac_header(AACHeader *header)
{
    std::free(header);
}

void free_aac_data(AACData *data)
{
    if (!data)
        return;
    std::free(data->buf);
    std::free(data);
}

}  // extern "C"
