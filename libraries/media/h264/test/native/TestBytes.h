// Small helpers for the H.264 helper's tests.
#pragma once

#include "H264.h"
#include "Owned.h"

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes prefixed(const Bytes &unit)
{
    uint32_t n = static_cast<uint32_t>(unit.size());
    return cat({{uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)}, unit});
}

using NalusPtr = tavrel_testing::Owned<NALUS, h264_free_nalus>;
using PayloadPtr = tavrel_testing::Owned<NALUPayload, h264_free_payload>;

// The units of a record as stored (with the prefix when not stripped).
inline std::vector<Bytes> units_of(const NALUS &r)
{
    std::vector<Bytes> out;
    for (int32_t i = 0; i < r.num_nalu; ++i)
        out.emplace_back(r.nalus[i].data, r.nalus[i].data + r.nalus[i].len);
    return out;
}

inline std::vector<int> types_of(const NALUS &r)
{
    std::vector<int> out;
    for (int32_t i = 0; i < r.num_nalu; ++i)
        out.push_back(r.nalus[i].type);
    return out;
}
