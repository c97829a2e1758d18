#include "Feed.h"

#include "Bounded.h"

#include <cstring>
#include <vector>

namespace hostile {

namespace {

// Baseline profile, level 3.0, 320x240 (what x264 writes for such a clip).
uint8_t kSps[] = {0x67, 0x42, 0xc0, 0x1e, 0xd9, 0x01, 0x41, 0xfb, 0x01, 0x10, 0x00, 0x00, 0x03, 0x00, 0x10, 0x00, 0x00, 0x03, 0x03, 0xc0, 0xf1, 0x62, 0xe4, 0x80};
uint8_t kPps[] = {0x68, 0xcb, 0x83, 0xcb, 0x20};
uint8_t kAsc[] = {0x12, 0x10};  // AAC LC, 44.1 kHz, stereo

constexpr int kFrameMs = 33;
constexpr int kVideoLen = 16 * 1024;
constexpr int kAudioLen = 371;

std::vector<uint8_t> &idr()
{
    static std::vector<uint8_t> unit = [] {
        std::vector<uint8_t> u(kVideoLen, 0x5a);
        u[0] = 0x65;
        return u;
    }();
    return unit;
}

}  // namespace

RTMPDumpCtx *connect(const std::string &url, int use_rtmp_write, const char *user, const char *password)
{
    return tavrel_connect(url.c_str(), user, password, use_rtmp_write, 0, 0, 0, 1024, 32 * 1024, nullptr);
}

namespace {

NALUS access_unit(NALU *units, int num, int index, int is_keyframe)
{
    NALUS au = {};
    au.nalus = units;
    au.num_nalu = num;
    au.timebase_num = 1;
    au.timebase_den = 1000;
    au.pts = au.dts = static_cast<int64_t>(index) * kFrameMs;
    au.is_keyframe = is_keyframe;
    au.is_stripped = 1;
    return au;
}

}  // namespace

int send_headers(RTMPDumpCtx *ctx)
{
    int rc = tavrel_send_aac_header(ctx, kAsc, sizeof kAsc);
    if (rc != RTMPERR_OK)
        return rc;
    NALU params[] = {{kSps, sizeof kSps, NAL_TYPE_SPS}, {kPps, sizeof kPps, NAL_TYPE_PPS}};
    NALUS au = access_unit(params, 2, 0, 1);
    return tavrel_send_h264_header(ctx, &au);
}

int send_video_frame(RTMPDumpCtx *ctx, int index)
{
    NALU unit = {idr().data(), static_cast<int32_t>(idr().size()), NAL_TYPE_SLICE_IDR};
    NALUS au = access_unit(&unit, 1, index, 1);
    return tavrel_send_h264_nals(ctx, &au);
}

int send_audio_frame(RTMPDumpCtx *ctx, int index)
{
    static uint8_t frame[kAudioLen] = {0x21, 0x1a};
    return tavrel_send_aac_data(ctx, frame, kAudioLen, static_cast<int64_t>(index) * kFrameMs);
}

FeedResult feed(RTMPDumpCtx *ctx, int max_frames)
{
    FeedResult out;
    out.metadata_result = tavrel_send_metadata(ctx, 320, 240, 500, 30, 128, 44100, 16, 2);
    if (out.metadata_result != 1)
        return out;
    out.setup_result = send_headers(ctx);
    if (out.setup_result != RTMPERR_OK)
        return out;
    const long long start = now_ms();
    for (int i = 0; i < max_frames; i++) {
        const int rc = (i % 2) ? send_audio_frame(ctx, i / 2) : send_video_frame(ctx, i / 2);
        if (rc != RTMPERR_OK) {
            out.failed_with = rc;
            out.fail_ms = now_ms() - start;
            break;
        }
        out.frames_ok++;
    }
    return out;
}

std::string result_name(int rtmperr)
{
    switch (rtmperr) {
    case RTMPERR_OK: return "OK";
    case RTMPERR_INVALID_BUFF: return "INVALID_BUFF";
    case RTMPERR_INVALID_NAL: return "INVALID_NAL";
    case RTMPERR_INVALID_NUM_NAL: return "INVALID_NUM_NAL";
    case RTMPERR_BUFF_TOO_LARGE: return "BUFF_TOO_LARGE";
    case RTMPERR_RECONNECTING: return "RECONNECTING";
    case RTMPERR_NEEDS_TO_RECONNECT: return "NEEDS_TO_RECONNECT";
    case RTMPERR_UNKNOWN: return "UNKNOWN";
    default: return std::to_string(rtmperr);
    }
}

}  // namespace hostile
