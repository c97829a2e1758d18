// Making AACHeader and AACData records from ADTS frames, bare configs and
// raw frames, in the shapes Mirabe's free calls release.
#include "Adts.h"

#include <stdlib.h>
#include <string.h>

namespace {

// One allocation: the record, then its bytes (free_aac_header frees the
// record's address only, so the bytes must live inside it).
int new_header(const uint8_t *bytes, int32_t len, AACHeader **out)
{
    auto *block = static_cast<uint8_t *>(malloc(sizeof(AACHeader) + static_cast<size_t>(len)));
    if (!block)
        return ADTSERR_NO_MEMORY;
    auto *h = reinterpret_cast<AACHeader *>(block);
    h->buf = block + sizeof(AACHeader);
    h->len = static_cast<uint32_t>(len);
    memcpy(h->buf, bytes, static_cast<size_t>(len));
    *out = h;
    return ADTSERR_OK;
}

// The record and a malloc'ed copy of the bytes, as free_aac_data frees buf
// and then the record.
int new_data(const uint8_t *bytes, int32_t len, AACData **out)
{
    auto *d = static_cast<AACData *>(malloc(sizeof(AACData)));
    if (!d)
        return ADTSERR_NO_MEMORY;
    d->buf = static_cast<uint8_t *>(malloc(static_cast<size_t>(len)));
    if (!d->buf) {
        free(d);
        return ADTSERR_NO_MEMORY;
    }
    d->len = len;
    memcpy(d->buf, bytes, static_cast<size_t>(len));
    *out = d;
    return ADTSERR_OK;
}

// Every maker begins alike: a place for the record, null until it is made,
// and input it may read; from an ADTS frame, its header read and checked.
template <typename Record>
int begin_copy(Record **out, const uint8_t *bytes, int32_t len)
{
    if (!out)
        return ADTSERR_BAD_ARG;
    *out = nullptr;
    return len < 0 || (!bytes && len > 0) ? ADTSERR_BAD_ARG : ADTSERR_OK;
}

template <typename Record>
int begin_frame(Record **out, const uint8_t *data, int32_t len, AdtsFrameInfo &info)
{
    if (!out)
        return ADTSERR_BAD_ARG;
    *out = nullptr;
    return adts_parse_header(data, len, &info);
}

}  // namespace

extern "C" {

ADTS_API int adts_make_header(const uint8_t *data, int32_t len, AACHeader **out)
{
    AdtsFrameInfo info;
    int rc = begin_frame(out, data, len, info);
    if (rc < 0)
        return rc;
    // Channel configuration 0 defers the layout to a program config element
    // in the stream; a 2-byte config without it would describe no channels.
    if (info.config.channel_configuration == 0)
        return ADTSERR_BAD_CONFIG;
    uint8_t config[2];
    int n = write_audio_specific_config(config, &info.config);
    return new_header(config, n, out);
}

ADTS_API int adts_make_data(const uint8_t *data, int32_t len, AACData **out)
{
    AdtsFrameInfo info;
    int rc = begin_frame(out, data, len, info);
    if (rc < 0)
        return rc;
    if (info.samples != 1024)
        return ADTSERR_MULTIPLE_BLOCKS;
    if (info.payload_len == 0)
        return ADTSERR_EMPTY;
    return new_data(data + info.header_len, info.payload_len, out);
}

ADTS_API int aac_header_from_config(const uint8_t *config, int32_t len, AACHeader **out)
{
    int rc = begin_copy(out, config, len);
    if (rc < 0)
        return rc;
    if (len < 2 || len > ADTS_MAX_CONFIG_LEN)
        return ADTSERR_BAD_CONFIG;
    return new_header(config, len, out);
}

ADTS_API int aac_data_from_raw(const uint8_t *raw, int32_t len, AACData **out)
{
    int rc = begin_copy(out, raw, len);
    if (rc < 0)
        return rc;
    if (len == 0)
        return ADTSERR_EMPTY;
    return new_data(raw, len, out);
}

}  // extern "C"
