// FFmpeg's test clip as the publisher's caller sees it: the AAC config and
// frames, and the H.264 access units cut by the H.264 helper, in the order
// FFmpeg muxed them, with a loop that publishes them through the C API.
#pragma once

#include "H264.h"
#include "Media.h"
#include "Tavrel.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct SourceFrame {
    bool is_video;
    uint32_t dts_ms;
    int32_t cts_ms;  // video only
    bool is_keyframe;
    std::vector<uint8_t> data;  // video: AVCC sample; audio: raw AAC frame
};

struct SourceClip {
    tavrel_testing::Clip clip;
    std::vector<uint8_t> asc;        // AudioSpecificConfig
    std::vector<uint8_t> first_au;   // first Annex B access unit (SPS and PPS in it)
    std::vector<SourceFrame> frames;
    size_t num_video = 0, num_audio = 0;
};

SourceClip load_source(const tavrel_testing::Clip &clip);

// How the access units reach the publisher.
enum class VideoForm { kNalusStripped, kNalusPrefixed, kPayloadPrefixed };

struct PublishCounts {
    int ok = 0;
    int failed = 0;
    int first_error = 0;  // RTMPERR of the first failed send
};

// Metadata, both sequence headers, then frames [from, to) in clip order,
// each offset_ms later than in the clip. Stops at the first failed send.
PublishCounts publish(RTMPDumpCtx *ctx, const SourceClip &src, VideoForm form, size_t from = 0,
                      size_t to = SIZE_MAX, bool with_headers = true, int64_t offset_ms = 0);

// Sends one frame of the clip (audio or video), offset_ms later than in
// the clip.
int send_frame(RTMPDumpCtx *ctx, const SourceFrame &f, VideoForm form, uint32_t fst_dts_ms, int64_t offset_ms = 0);

// Data rates the metadata announces: odd values, recognisable downstream.
constexpr int kMetaVideoKbps = 2345;
constexpr int kMetaAudioKbps = 99;

// Sends the metadata and both sequence headers; the first failure code or 0.
int send_headers(RTMPDumpCtx *ctx, const SourceClip &src, VideoForm form);

// Open descriptors of this process.
int open_fds();
