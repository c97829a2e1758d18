// Unit walkers shared by the record makers and the splitter; hidden.
#pragma once

#include "H264.h"

#include <stdint.h>

namespace tavrel_h264 {

// Called once per unit, in stream order: off and len locate the unit's NAL
// bytes (from its header byte) in the input; lead is where the bytes in
// front of it that belong to no unit begin (its start code and the zeros
// before it; off - 4 for AVCC). Return false to stop the walk there.
using UnitSink = bool (*)(void *ctx, int32_t off, int32_t len, int32_t lead);

// Walk every unit of the input, bounds checked. Returns the number of units
// visited (> 0) or a negative H264ERR; a sink that stops the walk makes the
// count that of the units it accepted, plus the one it refused.
using Walker = int (*)(const uint8_t *data, int32_t len, UnitSink sink, void *ctx);

// What every walker refuses before it reads a byte: a bad range
// (H264ERR_BAD_ARG) or nothing at all (H264ERR_EMPTY); 0 for input to walk.
inline int check_input(const uint8_t *data, int32_t len)
{
    if (len < 0 || (!data && len > 0))
        return H264ERR_BAD_ARG;
    return len == 0 ? H264ERR_EMPTY : H264ERR_OK;
}

int walk_annexb(const uint8_t *data, int32_t len, UnitSink sink, void *ctx);
int walk_avcc(const uint8_t *data, int32_t len, UnitSink sink, void *ctx);

inline int nal_type(uint8_t header) { return header & 0x1F; }

}  // namespace tavrel_h264
