// Annex B byte streams: finding units behind start codes, and finding
// where one access unit ends and the next begins.
#include "H264.h"
#include "H264Internal.h"

#include <string.h>

namespace tavrel_h264 {

namespace {

// Offset of the next 00 00 01 at or after from, or len when there is none.
// memchr finds the candidate 01 bytes fast; the two zeros are checked after.
int32_t find_start_code(const uint8_t *data, int32_t len, int32_t from)
{
    int32_t i = from + 2;
    while (i < len) {
        const void *hit = memchr(data + i, 0x01, static_cast<size_t>(len - i));
        if (!hit)
            return len;
        i = static_cast<int32_t>(static_cast<const uint8_t *>(hit) - data);
        if (data[i - 1] == 0 && data[i - 2] == 0)
            return i - 2;
        ++i;
    }
    return len;
}

}  // namespace

int walk_annexb(const uint8_t *data, int32_t len, UnitSink sink, void *ctx)
{
    if (int rc = check_input(data, len))
        return rc;
    int32_t zeros = 0;
    while (zeros < len && data[zeros] == 0)
        ++zeros;
    if (zeros == len)
        return H264ERR_TRUNCATED_START_CODE;
    if (zeros < 2 || data[zeros] != 0x01)
        return H264ERR_NO_START_CODE;

    int count = 0;
    int32_t lead = 0;         // where the current unit's start code begins
    int32_t pos = zeros + 1;  // first byte after the start code
    for (;;) {
        int32_t next = find_start_code(data, len, pos);
        // A unit never ends in a zero byte (its last byte holds the stop
        // bit), so zeros in front of the next start code, or at the end of
        // the stream, are trailing_zero_8bits or a zero_byte.
        int32_t end = next;
        while (end > pos && data[end - 1] == 0)
            --end;
        if (end > pos) {
            ++count;
            if (!sink(ctx, pos, end - pos, lead))
                return count;
            lead = end;
        }
        if (next == len)
            break;
        pos = next + 3;
    }
    return count > 0 ? count : H264ERR_EMPTY;
}

namespace {

struct AuScan {
    const uint8_t *data;
    int units = 0;
    bool has_slice = false;
    int32_t boundary = -1;
};

bool starts_access_unit(const AuScan &s, const uint8_t *unit, int32_t len)
{
    // An access unit delimiter belongs first, but FFmpeg's libx264 wrapper
    // puts the encoder's SEI in front of it in the first packet: like the
    // other units that lead an access unit, it opens a new one only after
    // a slice.
    if (!s.has_slice)
        return false;
    switch (nal_type(unit[0])) {
    case NAL_TYPE_AUD:
    case NAL_TYPE_SEI:
    case NAL_TYPE_SPS:
    case NAL_TYPE_PPS:
    case 14:
    case 15:
    case 16:
    case 17:
    case 18:
        return true;
    case NAL_TYPE_SLICE:
    case NAL_TYPE_SLICE_DPA:
    case NAL_TYPE_SLICE_IDR:
        // first_mb_in_slice is the slice header's first field, ue(v): the
        // value 0 is coded as the single bit 1.
        return len >= 2 && (unit[1] & 0x80) != 0;
    default:
        return false;
    }
}

bool au_sink(void *ctx, int32_t off, int32_t len, int32_t lead)
{
    AuScan &s = *static_cast<AuScan *>(ctx);
    const uint8_t *unit = s.data + off;
    if (s.units > 0 && starts_access_unit(s, unit, len)) {
        s.boundary = lead;
        return false;
    }
    ++s.units;
    int type = nal_type(unit[0]);
    if (type >= NAL_TYPE_SLICE && type <= NAL_TYPE_SLICE_IDR)
        s.has_slice = true;
    return true;
}

}  // namespace

}  // namespace tavrel_h264

extern "C" H264_API int32_t h264_annexb_au_len(const uint8_t *data, int32_t len)
{
    tavrel_h264::AuScan scan;
    scan.data = data;
    int rc = tavrel_h264::walk_annexb(data, len, tavrel_h264::au_sink, &scan);
    if (rc < 0)
        return rc;
    return scan.boundary >= 0 ? scan.boundary : len;
}
