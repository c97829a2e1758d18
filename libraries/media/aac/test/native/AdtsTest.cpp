// The ADTS header reader, the splitter and the record makers on hand-made
// frames, truncated and malformed ones included.
#include "Adts.h"
#include "AdtsBytes.h"
#include "Owned.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

struct HeaderCase {
    const char *name;
    Bytes input;
    int rc;
    int frame_len, header_len, sample_rate, samples;  // when rc is 0
};

Bytes cut(Bytes b, size_t n)
{
    b.resize(n);
    return b;
}

Bytes plus(Bytes b, const Bytes &more)
{
    b.insert(b.end(), more.begin(), more.end());
    return b;
}

Bytes with_byte(Bytes b, size_t i, uint8_t v)
{
    b[i] = v;
    return b;
}

TEST(AdtsHeader, TableOfHeaders)
{
    const Bytes plain = adts(F());
    const Bytes crc = adts(F().crc(true));
    const HeaderCase cases[] = {
        {"plain frame", plain, 0, 10, 7, 44100, 1024},
        {"trailing bytes belong to the next frame", plus(plain, {0xFF, 0xF1, 0x50}), 0, 10, 7, 44100, 1024},
        {"CRC-protected", crc, 0, 12, 9, 44100, 1024},
        {"MPEG-2 ID", adts(F().id(1)), 0, 10, 7, 44100, 1024},
        {"7350 Hz, the last rate", adts(F().rate_index(12)), 0, 10, 7, 7350, 1024},
        {"96000 Hz, the first rate", adts(F().rate_index(0)), 0, 10, 7, 96000, 1024},
        {"header only", adts(F().payload(0)), 0, 7, 7, 44100, 1024},
        {"four raw data blocks", adts(F().blocks(4)), 0, 10, 7, 44100, 4096},
        {"four protected blocks: positions and CRC", adts(F().crc(true).blocks(4)), 0, 18, 15, 44100, 4096},
        {"largest frame", adts(F().payload(8191 - 7)), 0, 8191, 7, 44100, 1024},
        {"empty", {}, ADTSERR_TRUNCATED, 0, 0, 0, 0},
        {"sync word only", cut(plain, 2), ADTSERR_TRUNCATED, 0, 0, 0, 0},
        {"six header bytes", cut(plain, 6), ADTSERR_TRUNCATED, 0, 0, 0, 0},
        {"protected header without its CRC", cut(crc, 8), ADTSERR_TRUNCATED, 0, 0, 0, 0},
        {"protected blocks without their positions", cut(adts(F().crc(true).blocks(2)), 10),
         ADTSERR_TRUNCATED, 0, 0, 0, 0},
        {"first sync byte", with_byte(plain, 0, 0xFE), ADTSERR_NO_SYNC, 0, 0, 0, 0},
        {"second sync byte", with_byte(plain, 1, 0xE1), ADTSERR_NO_SYNC, 0, 0, 0, 0},
        {"MP3 frame (layer 3)", adts(F().layer(1)), ADTSERR_BAD_LAYER, 0, 0, 0, 0},
        {"layer 2", adts(F().layer(2)), ADTSERR_BAD_LAYER, 0, 0, 0, 0},
        {"rate index 13", adts(F().rate_index(13)), ADTSERR_BAD_RATE, 0, 0, 0, 0},
        {"rate index 15", adts(F().rate_index(15)), ADTSERR_BAD_RATE, 0, 0, 0, 0},
        {"frame_length 0", adts(F().frame_len(0x2000)), ADTSERR_BAD_FRAME_LEN, 0, 0,
         0, 0},
        {"frame_length shorter than the header", adts(F().frame_len(6)), ADTSERR_BAD_FRAME_LEN, 0, 0, 0, 0},
        {"frame_length inside the CRC", adts(F().frame_len(8).crc(true)), ADTSERR_BAD_FRAME_LEN, 0, 0, 0, 0},
        {"frame cut short", cut(plain, 9), ADTSERR_FRAME_PAST_END, 0, 0, 0, 0},
        {"frame_length past the end", adts(F().frame_len(11)), ADTSERR_FRAME_PAST_END, 0, 0, 0, 0},
    };
    for (const HeaderCase &c : cases) {
        SCOPED_TRACE(c.name);
        AdtsFrameInfo info{-1, -1, -1, -1, -1, -1, {9, 9, 9}};
        int rc = adts_parse_header(c.input.data(), static_cast<int32_t>(c.input.size()), &info);
        ASSERT_EQ(rc, c.rc);
        int32_t len = adts_frame_len(c.input.data(), static_cast<int32_t>(c.input.size()));
        if (rc != 0) {
            EXPECT_EQ(len, c.rc);
            EXPECT_EQ(info.frame_len, -1) << "info written on error";
            continue;
        }
        EXPECT_EQ(len, c.frame_len);
        EXPECT_EQ(info.frame_len, c.frame_len);
        EXPECT_EQ(info.header_len, c.header_len);
        EXPECT_EQ(info.payload_len, c.frame_len - c.header_len);
        EXPECT_EQ(info.sample_rate, c.sample_rate);
        EXPECT_EQ(info.samples, c.samples);
        EXPECT_EQ(info.has_crc, c.header_len > 7);
    }
}

TEST(AdtsHeader, NullBytesAndNegativeLengthsAreBadArguments)
{
    Bytes b = adts(F());
    EXPECT_EQ(adts_parse_header(nullptr, 10, nullptr), ADTSERR_BAD_ARG);
    EXPECT_EQ(adts_parse_header(b.data(), -1, nullptr), ADTSERR_BAD_ARG);
    EXPECT_EQ(adts_frame_len(nullptr, 0), ADTSERR_TRUNCATED);
    EXPECT_EQ(adts_parse_header(b.data(), 10, nullptr), 0) << "info is optional";
}

TEST(AdtsHeader, ConfigurationFieldsComeFromTheHeader)
{
    AdtsFrameInfo info;
    Bytes b = adts(F().rate_index(3).channels(6).profile(0));
    ASSERT_EQ(adts_parse_header(b.data(), static_cast<int32_t>(b.size()), &info), 0);
    EXPECT_EQ(info.config.audio_object_type, 0);  // AAC Main, minus one
    EXPECT_EQ(info.config.sample_frequency_index, 3);
    EXPECT_EQ(info.config.channel_configuration, 6);
    EXPECT_EQ(info.sample_rate, 48000);
}

TEST(AdtsSplitter, WalksAStreamAndStopsAtACutFrame)
{
    Bytes stream;
    const Bytes frames[] = {adts(F().payload(300)), adts(F().payload(1).crc(true)), adts(F().payload(0)),
                            adts(F().payload(50).rate_index(7).channels(1))};
    for (const Bytes &f : frames)
        stream.insert(stream.end(), f.begin(), f.end());
    Bytes last = adts(F().payload(20));
    stream.insert(stream.end(), last.begin(), last.end() - 1);  // cut by one byte

    int32_t pos = 0;
    for (const Bytes &f : frames) {
        int32_t n = adts_frame_len(stream.data() + pos, static_cast<int32_t>(stream.size()) - pos);
        ASSERT_EQ(n, static_cast<int32_t>(f.size())) << "at " << pos;
        pos += n;
    }
    EXPECT_EQ(adts_frame_len(stream.data() + pos, static_cast<int32_t>(stream.size()) - pos),
              ADTSERR_FRAME_PAST_END);
}

using HeaderPtr = tavrel_testing::Owned<AACHeader, free_aac_header>;
using DataPtr = tavrel_testing::Owned<AACData, free_aac_data>;

Bytes bytes_of(const uint8_t *p, size_t n) { return Bytes(p, p + n); }

TEST(AdtsRecords, HeaderIsTheAudioSpecificConfigInOneBlock)
{
    struct Case {
        const char *name;
        AdtsFields fields;
        Bytes config;
    } cases[] = {
        {"LC 44100 Hz stereo", F(), {0x12, 0x10}},
        {"LC 48000 Hz mono", F().rate_index(3).channels(1), {0x11, 0x88}},
        {"LC 22050 Hz mono, protected", F().rate_index(7).channels(1).crc(true), {0x13, 0x88}},
        {"Main 96000 Hz 5.1", F().rate_index(0).channels(6).profile(0), {0x08, 0x30}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes b = adts(c.fields);
        AACHeader *raw = nullptr;
        ASSERT_EQ(adts_make_header(b.data(), static_cast<int32_t>(b.size()), &raw), 0);
        HeaderPtr h(raw);
        ASSERT_EQ(h->len, 2u);
        EXPECT_EQ(bytes_of(h->buf, h->len), c.config);
        // free_aac_header releases the record's address only: the bytes live inside.
        EXPECT_EQ(h->buf, reinterpret_cast<uint8_t *>(h.get()) + sizeof(AACHeader));
    }
}

TEST(AdtsRecords, DataIsTheFrameWithoutHeaderAndCrc)
{
    for (bool crc : {false, true}) {
        SCOPED_TRACE(crc ? "protected" : "plain");
        Bytes b = adts(F().payload(5).crc(crc));
        b.push_back(0x77);  // the next frame's first byte, not ours
        AACData *raw = nullptr;
        ASSERT_EQ(adts_make_data(b.data(), static_cast<int32_t>(b.size()), &raw), 0);
        DataPtr d(raw);
        EXPECT_EQ(bytes_of(d->buf, static_cast<size_t>(d->len)), (Bytes{0xA0, 0xA1, 0xA2, 0xA3, 0xA4}));
        b[crc ? 9 : 7] = 0;
        EXPECT_EQ(d->buf[0], 0xA0) << "a copy, not a view";
    }
}

TEST(AdtsRecords, MakersRefuseWhatTheyCannotRepresent)
{
    struct Case {
        const char *name;
        Bytes input;
        int header_rc, data_rc;
    } cases[] = {
        {"channel configuration 0", adts(F().channels(0)), ADTSERR_BAD_CONFIG, 0},
        {"two raw data blocks", adts(F().blocks(2)), 0, ADTSERR_MULTIPLE_BLOCKS},
        {"no payload", adts(F().payload(0)), 0, ADTSERR_EMPTY},
        {"cut frame", cut(adts(F()), 8), ADTSERR_FRAME_PAST_END, ADTSERR_FRAME_PAST_END},
        {"no sync", with_byte(adts(F()), 0, 0), ADTSERR_NO_SYNC, ADTSERR_NO_SYNC},
        {"empty", {}, ADTSERR_TRUNCATED, ADTSERR_TRUNCATED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        int sentinel = 0;
        auto *h = reinterpret_cast<AACHeader *>(&sentinel);  // must come back null on error
        EXPECT_EQ(adts_make_header(c.input.data(), static_cast<int32_t>(c.input.size()), &h), c.header_rc);
        HeaderPtr hp(h);
        EXPECT_EQ(h == nullptr, c.header_rc != 0);
        auto *d = reinterpret_cast<AACData *>(&sentinel);
        EXPECT_EQ(adts_make_data(c.input.data(), static_cast<int32_t>(c.input.size()), &d), c.data_rc);
        DataPtr dp(d);
        EXPECT_EQ(d == nullptr, c.data_rc != 0);
    }
    Bytes b = adts(F());
    EXPECT_EQ(adts_make_header(b.data(), 10, nullptr), ADTSERR_BAD_ARG);
    EXPECT_EQ(adts_make_data(b.data(), 10, nullptr), ADTSERR_BAD_ARG);
}

TEST(AdtsRecords, BareConfigAndRawFrame)
{
    Bytes config(ADTS_MAX_CONFIG_LEN + 1, 0x42);
    struct Case {
        int32_t len;
        int rc;
    } cases[] = {{0, ADTSERR_BAD_CONFIG}, {1, ADTSERR_BAD_CONFIG}, {2, 0}, {5, 0},
                 {ADTS_MAX_CONFIG_LEN, 0},  {ADTS_MAX_CONFIG_LEN + 1, ADTSERR_BAD_CONFIG},
                 {-1, ADTSERR_BAD_ARG}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.len);
        AACHeader *h = nullptr;
        ASSERT_EQ(aac_header_from_config(config.data(), c.len, &h), c.rc);
        HeaderPtr hp(h);
        if (c.rc == 0) {
            EXPECT_EQ(bytes_of(h->buf, h->len), Bytes(static_cast<size_t>(c.len), 0x42));
        }
    }
    AACHeader *h = nullptr;
    EXPECT_EQ(aac_header_from_config(nullptr, 2, &h), ADTSERR_BAD_ARG);

    AACData *d = nullptr;
    EXPECT_EQ(aac_data_from_raw(config.data(), 0, &d), ADTSERR_EMPTY);
    EXPECT_EQ(aac_data_from_raw(nullptr, 3, &d), ADTSERR_BAD_ARG);
    EXPECT_EQ(aac_data_from_raw(config.data(), -3, &d), ADTSERR_BAD_ARG);
    EXPECT_EQ(d, nullptr);
    ASSERT_EQ(aac_data_from_raw(config.data(), 3, &d), 0);
    DataPtr dp(d);
    EXPECT_EQ(bytes_of(d->buf, static_cast<size_t>(d->len)), (Bytes{0x42, 0x42, 0x42}));
}

}  // namespace
