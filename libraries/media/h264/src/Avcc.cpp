// AVCC samples: units behind 4-byte big-endian lengths (MP4, FLV).
#include "H264.h"
#include "H264Internal.h"

namespace tavrel_h264 {

int walk_avcc(const uint8_t *data, int32_t len, UnitSink sink, void *ctx)
{
    if (int rc = check_input(data, len))
        return rc;
    int count = 0;
    int32_t pos = 0;
    while (pos < len) {
        if (len - pos < 4)
            return H264ERR_BAD_LENGTH;
        uint32_t raw = static_cast<uint32_t>(data[pos]) << 24 | static_cast<uint32_t>(data[pos + 1]) << 16 |
                       static_cast<uint32_t>(data[pos + 2]) << 8 | data[pos + 3];
        // 0 would be a unit without even a header byte; above INT32_MAX it
        // cannot be a len, and a Java reader sees it negative.
        if (raw == 0 || raw > static_cast<uint32_t>(len - pos - 4))
            return H264ERR_BAD_LENGTH;
        int32_t unit_len = static_cast<int32_t>(raw);
        ++count;
        if (!sink(ctx, pos + 4, unit_len, pos))
            return count;
        pos += 4 + unit_len;
    }
    return count;
}

}  // namespace tavrel_h264
