// Helpers shared by the publisher tests: a context on a loopback link, and
// NAL unit records built by hand.
#pragma once

#include "CapturedLog.h"
#include "LoopbackLink.h"
#include "Tavrel.h"
#include "TavrelContext.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline Bytes pattern(size_t n, uint8_t seed)
{
    Bytes v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = static_cast<uint8_t>(seed + i * 13);
    return v;
}

inline Bytes join(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }

// Puts a context into a state, as a reconnection in another thread would.
inline void force_state(RTMPDumpCtx *ctx, RTMP_CONN state)
{
    tavrel::MutexLock lock(&ctx->state_mutex);
    tavrel::store_state(ctx, state);
}

// A publisher context whose connection record is a LoopbackLink: what the
// send path writes is decoded back into messages.
class LinkContext {
public:
    explicit LinkContext(int use_rtmp_write, int is_log_audio = 0, int is_log_video = 0,
                         uint32_t a_max = 1000, uint32_t v_max = 2000)
    {
        tavrel::ContextSettings s{use_rtmp_write, 0, is_log_audio, is_log_video, a_max, v_max};
        ctx = tavrel::context_new(link.rtmp(), strdup("rtmp://127.0.0.1/live/loopback"), nullptr, nullptr, s,
                                  logger_retain(log.logger));
    }
    ~LinkContext() { release(); }
    void release()
    {
        if (!ctx)
            return;
        ctx->rtmp = nullptr;  // the link owns its record
        tavrel_close(ctx);
        ctx = nullptr;
    }
    std::vector<tavrel_testing::RtmpMessage> finish() { return link.finish(); }
    void set_state(RTMP_CONN state) { force_state(ctx, state); }

    CapturedLog log;
    LoopbackLink link;
    RTMPDumpCtx *ctx = nullptr;
};

// NAL units that point into buffers this record keeps alive.
struct Units {
    std::vector<Bytes> data;
    std::vector<NALU> nalus;

    void add(int type, Bytes bytes)
    {
        data.push_back(std::move(bytes));
        nalus.push_back(NALU{nullptr, 0, type});
        for (size_t i = 0; i < data.size(); i++) {
            nalus[i].data = data[i].data();
            nalus[i].len = static_cast<int32_t>(data[i].size());
        }
    }
    NALUS record(int is_stripped, int is_keyframe = 1, uint32_t tb_num = 1, uint32_t tb_den = 1000)
    {
        NALUS r{};
        r.nalus = nalus.data();
        r.num_nalu = static_cast<int32_t>(nalus.size());
        r.timebase_num = tb_num;
        r.timebase_den = tb_den;
        r.is_keyframe = is_keyframe;
        r.is_stripped = is_stripped;
        return r;
    }
};

// A unit as stored: from its header byte, or behind its length prefix.
inline Bytes as_stored(const Bytes &unit, int is_stripped)
{
    return is_stripped ? unit : join({be32(static_cast<uint32_t>(unit.size())), unit});
}

// An SPS-like unit: header byte 0x67, profile, constraints, level, rest.
inline Bytes sps_unit(size_t n) { Bytes b = pattern(n, 1); b[0] = 0x67; b[1] = 100; b[2] = 0; b[3] = 31; return b; }
inline Bytes pps_unit(size_t n) { Bytes b = pattern(n, 2); b[0] = 0x68; return b; }
