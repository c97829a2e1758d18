#include "AdtsChecks.h"
#include "../common/FuzzCheck.h"

#include "Adts.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

namespace {

// The header's frame_length, read here independently of the library.
int32_t stated_frame_len(const uint8_t *p) { return (p[3] & 3) << 11 | p[4] << 3 | p[5] >> 5; }

void check_frame(const uint8_t *p, int32_t len, const AdtsFrameInfo &info)
{
    CHECK(info.frame_len == stated_frame_len(p));
    CHECK(info.frame_len >= info.header_len && info.frame_len <= len);
    CHECK(info.header_len == 7 || (info.has_crc && info.header_len >= 9 && info.header_len <= 15));
    CHECK(info.payload_len == info.frame_len - info.header_len);
    CHECK(info.samples % 1024 == 0 && info.samples >= 1024 && info.samples <= 4096);
    CHECK(info.sample_rate >= 7350 && info.sample_rate <= 96000);

    AACHeader *h = reinterpret_cast<AACHeader *>(&h);
    int rc = adts_make_header(p, len, &h);
    CHECK((rc == 0) == (h != nullptr));
    if (rc == 0) {
        uint8_t want[2];
        CHECK(write_audio_specific_config(want, &info.config) == 2);
        CHECK(h->len == 2 && memcmp(h->buf, want, 2) == 0);
        CHECK(info.config.channel_configuration != 0);
        free_aac_header(h);
    } else {
        CHECK(rc == ADTSERR_BAD_CONFIG && info.config.channel_configuration == 0);
    }

    AACData *d = reinterpret_cast<AACData *>(&d);
    rc = adts_make_data(p, len, &d);
    CHECK((rc == 0) == (d != nullptr));
    if (rc == 0) {
        CHECK(d->len == info.payload_len && d->len > 0 && info.samples == 1024);
        CHECK(memcmp(d->buf, p + info.header_len, static_cast<size_t>(d->len)) == 0);
        free_aac_data(d);
    } else {
        CHECK((rc == ADTSERR_MULTIPLE_BLOCKS && info.samples > 1024) || (rc == ADTSERR_EMPTY && info.payload_len == 0));
    }

    // Any cut of the frame is refused, never read past. Each cut is placed
    // at the end of one allocation, so a read past it is a sanitizer report
    // without an allocation per cut.
    const int32_t longest = info.frame_len - 1;
    std::vector<uint8_t> tail(static_cast<size_t>(longest));
    for (int32_t cut : {longest, info.header_len - 1, 6, 0}) {
        if (cut < 0 || cut > longest)
            continue;
        uint8_t *at = tail.data() + (longest - cut);
        memcpy(at, p, static_cast<size_t>(cut));
        CHECK(adts_frame_len(at, cut) < 0);
    }
}

}  // namespace

void check_adts(const uint8_t *data, size_t size)
{
    if (size > (1u << 20))
        return;
    // An exact-size copy, so a read past the end is a sanitizer report.
    std::vector<uint8_t> bytes(data, data + size);
    const int32_t total = static_cast<int32_t>(size);
    int32_t pos = 0;
    while (pos < total) {
        const uint8_t *p = bytes.data() + pos;
        int32_t left = total - pos;
        AdtsFrameInfo info;
        int rc = adts_parse_header(p, left, &info);
        int32_t n = adts_frame_len(p, left);
        CHECK(n == (rc < 0 ? rc : info.frame_len));
        if (rc < 0) {
            CHECK(rc >= ADTSERR_FRAME_PAST_END);
            AACData *d = reinterpret_cast<AACData *>(&d);
            CHECK(adts_make_data(p, left, &d) == rc && d == nullptr);
            break;
        }
        check_frame(p, left, info);
        CHECK(n > 0);
        pos += n;
    }

    AACHeader *h = nullptr;
    int rc = aac_header_from_config(bytes.data(), total, &h);
    CHECK((rc == 0) == (total >= 2 && total <= ADTS_MAX_CONFIG_LEN));
    if (h) {
        CHECK(h->len == static_cast<uint32_t>(total) && memcmp(h->buf, bytes.data(), size) == 0);
        free_aac_header(h);
    }
    AACData *d = nullptr;
    rc = aac_data_from_raw(bytes.data(), total, &d);
    CHECK((rc == 0) == (total > 0));
    if (d) {
        CHECK(d->len == total && memcmp(d->buf, bytes.data(), size) == 0);
        free_aac_data(d);
    }
}
