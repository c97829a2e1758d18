// A publisher's sends as an application makes them: metadata, the two
// sequence headers, then AAC frames and H.264 access units, until a send
// fails or enough went out.
#pragma once

#include "Tavrel.h"

#include <string>

namespace hostile {

struct FeedResult {
    int metadata_result = 1;        // tavrel_send_metadata: 1 sent, 0 send failed
    int setup_result = RTMPERR_OK;  // first failing sequence header send, else RTMPERR_OK
    int frames_ok = 0;              // frame sends that succeeded
    int failed_with = RTMPERR_OK;   // result of the first failing frame send
    long long fail_ms = -1;         // from the first frame send to the failing one
};

// A context as the sends below expect it: room for their audio and video,
// no logger; credentials only where given.
RTMPDumpCtx *connect(const std::string &url, int use_rtmp_write = 0, const char *user = nullptr,
                     const char *password = nullptr);

// The sequence header sends; RTMPERR_OK when both went out.
int send_headers(RTMPDumpCtx *ctx);

// One AAC frame (audio) or one 16 KiB IDR access unit (video) with the
// timestamp of frame `index`.
int send_audio_frame(RTMPDumpCtx *ctx, int index);
int send_video_frame(RTMPDumpCtx *ctx, int index);

// Metadata and headers, then alternating video and audio frames until one fails or
// max_frames went out.
FeedResult feed(RTMPDumpCtx *ctx, int max_frames);

std::string result_name(int rtmperr);

}  // namespace hostile
