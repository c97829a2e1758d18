// ADTS parsing, AudioSpecificConfig and FLV flag bytes against known
// vectors; printing and release of the records.
#include "Mirabe.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Line {
    int level;
    std::string text;
};

void capture(void *context, int level, const char *fmt, va_list args)
{
    char text[256];
    std::vsnprintf(text, sizeof text, fmt, args);
    static_cast<std::vector<Line> *>(context)->push_back({level, text});
}

std::string pointer_text(const void *p)
{
    char text[64];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

TEST(MirabeConfig, ParsedFromTheAdtsHeader)
{
    struct Case {
        uint8_t byte2, byte3;
        uint8_t object_type, frequency_index, channels;
    } cases[] = {
        {0x50, 0x80, 1, 4, 2},  // AAC LC, 44100 Hz, stereo
        {0x51, 0x80, 1, 4, 6},  // the high channel bit lives in byte 2
        {0x4C, 0x40, 1, 3, 1},  // 48000 Hz mono
        {0x9C, 0x80, 2, 7, 2},  // SSR, 22050 Hz
        {0xFF, 0xFF, 3, 15, 7}, // every bit set: fields stay in their widths
        {0x00, 0x3F, 0, 0, 0},  // bits outside the fields are ignored
    };
    for (const auto &c : cases) {
        uint8_t adts[7] = {0xFF, 0xF1, c.byte2, c.byte3, 0x00, 0x1F, 0xFC};
        AudioSpecificConfig config = parse_config_from_adts(adts);
        EXPECT_EQ(config.audio_object_type, c.object_type) << std::hex << int(c.byte2) << " " << int(c.byte3);
        EXPECT_EQ(config.sample_frequency_index, c.frequency_index) << std::hex << int(c.byte2);
        EXPECT_EQ(config.channel_configuration, c.channels) << std::hex << int(c.byte2) << " " << int(c.byte3);
    }
    AudioSpecificConfig none = parse_config_from_adts(nullptr);
    EXPECT_EQ(none.audio_object_type + none.sample_frequency_index + none.channel_configuration, 0);
}

TEST(MirabeConfig, AudioSpecificConfigBytes)
{
    struct Case {
        AudioSpecificConfig config;
        uint8_t byte0, byte1;
    } cases[] = {
        {{1, 4, 2}, 0x12, 0x10},  // AAC LC 44100 stereo, the usual one
        {{1, 3, 2}, 0x11, 0x90},  // 48000: the frequency's low bit goes to byte 1
        {{1, 7, 1}, 0x13, 0x88},  // 22050 mono
        {{0, 4, 1}, 0x0A, 0x08},  // AAC main: object type 1
        {{3, 15, 7}, 0x27, 0xB8}, // widest fields
        {{1, 11, 6}, 0x15, 0xB0}, // 8000 Hz, 5.1
    };
    for (const auto &c : cases) {
        uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        EXPECT_EQ(write_audio_specific_config(out, &c.config), 2);
        EXPECT_EQ(out[0], c.byte0) << int(c.config.audio_object_type) << "/" << int(c.config.sample_frequency_index);
        EXPECT_EQ(out[1], c.byte1) << int(c.config.sample_frequency_index) << "/" << int(c.config.channel_configuration);
        EXPECT_EQ(out[2], 0xEE);
    }
}

TEST(MirabeConfig, FlvSoundFormatByte)
{
    struct Case {
        uint8_t frequency_index, channels;
        uint8_t expected;
    } cases[] = {
        {4, 2, 0xAF}, {4, 1, 0xAE}, {7, 1, 0xAA}, {7, 2, 0xAB}, {10, 1, 0xA6}, {10, 2, 0xA7},
        // No FLV rate.
        {3, 1, 0}, {3, 2, 0}, {0, 2, 0}, {15, 2, 0},
        // Neither mono nor stereo: no flags rather than a corrupted byte.
        {4, 0, 0}, {4, 3, 0}, {7, 6, 0}, {10, 7, 0}, {4, 255, 0},
    };
    for (const auto &c : cases) {
        AudioSpecificConfig config = {1, c.frequency_index, c.channels};
        EXPECT_EQ(gen_audio_tag_header_sound_format(&config), c.expected)
            << "index " << int(c.frequency_index) << ", channels " << int(c.channels);
    }
    EXPECT_EQ(gen_audio_tag_header_sound_format(nullptr), 0);
}

TEST(MirabeConfig, AnAdtsFrameBecomesTheFlvAacSequenceHeader)
{
    const uint8_t adts[7] = {0xFF, 0xF1, 0x50, 0x80, 0x2E, 0x7F, 0xFC};
    AudioSpecificConfig config = parse_config_from_adts(adts);
    uint8_t asc[2];
    ASSERT_EQ(write_audio_specific_config(asc, &config), 2);
    EXPECT_EQ(asc[0], 0x12);
    EXPECT_EQ(asc[1], 0x10);
    EXPECT_EQ(gen_audio_tag_header_sound_format(&config), 0xAF);
}

TEST(MirabePrint, RecordsPrintAtDetailLevel)
{
    std::vector<Line> lines;
    Logger *logger = logger_new(&lines, 0, capture, nullptr);
    ASSERT_NE(logger, nullptr);

    uint8_t config[2] = {0x12, 0x10};
    AACHeader header = {config, 2};
    pprint_aac_header(&header, logger);
    uint8_t frame[371] = {};
    AACData data = {frame, 371};
    pprint_aac_data(&data, logger);
    AACData negative = {nullptr, -5};
    pprint_aac_data(&negative, logger);
    pprint_aac_header(nullptr, logger);
    pprint_aac_data(nullptr, logger);
    logger_release(logger);

    std::vector<std::string> expected = {
        "--- AAC Header ---", "buff:" + pointer_text(config) + ", len:2", "-------------",
        "--- AAC Data ---",   "buff:" + pointer_text(frame) + ", len:371", "-------------",
        "--- AAC Data ---",   "buff:" + pointer_text(nullptr) + ", len:-5", "-------------",
        "No AAC Header present", "No AAC data",
    };
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); i++) {
        EXPECT_EQ(lines[i].text, expected[i]);
        EXPECT_EQ(lines[i].level, OSTREL_FINE) << lines[i].text;
    }

    // Without a logger there is nothing to print to, and nothing breaks.
    pprint_aac_header(&header, nullptr);
    pprint_aac_data(&data, nullptr);
}

// The sanitizer build turns a leak, a double or an invalid free into a
// failure here.
TEST(MirabeFree, DataOwnsItsBytesHeaderDoesNot)
{
    auto *data = static_cast<AACData *>(std::malloc(sizeof(AACData)));
    data->buf = static_cast<uint8_t *>(std::malloc(371));
    data->len = 371;
    free_aac_data(data);

    auto *empty = static_cast<AACData *>(std::malloc(sizeof(AACData)));
    empty->buf = nullptr;
    empty->len = 0;
    free_aac_data(empty);

    uint8_t config[2] = {0x12, 0x10};  // not heap memory: freeing it would be caught
    auto *header = static_cast<AACHeader *>(std::malloc(sizeof(AACHeader)));
    header->buf = config;
    header->len = 2;
    free_aac_header(header);

    free_aac_data(nullptr);
    free_aac_header(nullptr);
}

}  // namespace
