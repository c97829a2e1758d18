#include "SourceClip.h"

#include "Process.h"

#include <dirent.h>

#include <stdexcept>

using namespace tavrel_testing;

SourceClip load_source(const Clip &clip)
{
    SourceClip src;
    src.clip = clip;
    for (const FlvTag &t : read_flv(clip.flv)) {
        if (t.type == 8 && t.data.size() > 2) {
            std::vector<uint8_t> payload(t.data.begin() + 2, t.data.end());
            if (t.data[1] == 0) {
                src.asc = payload;
            } else {
                src.frames.push_back(SourceFrame{false, t.ts_ms, 0, false, payload});
                src.num_audio++;
            }
        } else if (t.type == 9 && t.data.size() > 5 && t.data[1] == 1) {
            // Composition time: 24-bit signed.
            int32_t cts = int32_t(uint32_t(t.data[2]) << 24 | uint32_t(t.data[3]) << 16 | uint32_t(t.data[4]) << 8) >> 8;
            src.frames.push_back(SourceFrame{true, t.ts_ms, cts, (t.data[0] >> 4) == 1,
                                             std::vector<uint8_t>(t.data.begin() + 5, t.data.end())});
            src.num_video++;
        }
    }
    std::string annexb = read_file(clip.h264);
    int32_t n = h264_annexb_au_len(reinterpret_cast<const uint8_t *>(annexb.data()),
                                   static_cast<int32_t>(annexb.size()));
    if (n <= 0 || src.asc.empty() || src.num_video == 0)
        throw std::runtime_error("unexpected clip " + clip.flv);
    src.first_au.assign(annexb.begin(), annexb.begin() + n);
    return src;
}

namespace {

uint32_t first_video_dts(const SourceClip &src)
{
    for (const auto &f : src.frames)
        if (f.is_video)
            return f.dts_ms;
    return 0;
}

}  // namespace

int send_headers(RTMPDumpCtx *ctx, const SourceClip &src, VideoForm form)
{
    int rc = tavrel_send_metadata(ctx, src.clip.width, src.clip.height, kMetaVideoKbps, src.clip.fps,
                                  kMetaAudioKbps, 44100, 16, 2);
    if (rc != 1)
        return rc < 0 ? rc : RTMPERR_UNKNOWN;
    std::vector<uint8_t> asc = src.asc;
    rc = tavrel_send_aac_header(ctx, asc.data(), static_cast<uint32_t>(asc.size()));
    if (rc != RTMPERR_OK)
        return rc;
    H264Timing timing{1, 1000, 0, 0, 0, 0};
    NALUS *header = nullptr;
    int stripped = form == VideoForm::kNalusStripped ? 1 : 0;
    if (h264_nalus_from_annexb(src.first_au.data(), static_cast<int32_t>(src.first_au.size()), stripped, &timing,
                               &header) != 0)
        throw std::runtime_error("cannot cut the first access unit");
    rc = tavrel_send_h264_header(ctx, header);
    h264_free_nalus(header);
    return rc;
}

int send_frame(RTMPDumpCtx *ctx, const SourceFrame &f, VideoForm form, uint32_t fst_dts_ms, int64_t offset_ms)
{
    if (!f.is_video) {
        std::vector<uint8_t> data = f.data;
        return tavrel_send_aac_data(ctx, data.data(), static_cast<int32_t>(data.size()), f.dts_ms + offset_ms);
    }
    // The first frame's time moved back: every video time comes out later.
    const int64_t fst = int64_t(fst_dts_ms) - offset_ms;
    H264Timing timing{1, 1000, int64_t(f.dts_ms) + f.cts_ms, f.dts_ms, fst, fst};
    const auto len = static_cast<int32_t>(f.data.size());
    int rc;
    if (form == VideoForm::kPayloadPrefixed) {
        NALUPayload *p = nullptr;
        if (h264_payload_from_avcc(f.data.data(), len, 0, &timing, &p) != 0)
            throw std::runtime_error("cannot cut a sample");
        rc = tavrel_send_h264_nalu_payload(ctx, p);
        h264_free_payload(p);
    } else {
        NALUS *r = nullptr;
        if (h264_nalus_from_avcc(f.data.data(), len, form == VideoForm::kNalusStripped ? 1 : 0, &timing, &r) != 0)
            throw std::runtime_error("cannot cut a sample");
        rc = tavrel_send_h264_nals(ctx, r);
        h264_free_nalus(r);
    }
    return rc;
}

PublishCounts publish(RTMPDumpCtx *ctx, const SourceClip &src, VideoForm form, size_t from, size_t to,
                      bool with_headers, int64_t offset_ms)
{
    PublishCounts counts;
    if (with_headers) {
        int rc = send_headers(ctx, src, form);
        if (rc != RTMPERR_OK) {
            counts.failed++;
            counts.first_error = rc;
            return counts;
        }
    }
    uint32_t fst = first_video_dts(src);
    for (size_t i = from; i < to && i < src.frames.size(); i++) {
        int rc = send_frame(ctx, src.frames[i], form, fst, offset_ms);
        if (rc != RTMPERR_OK) {
            counts.failed++;
            counts.first_error = rc;
            return counts;
        }
        counts.ok++;
    }
    return counts;
}

int open_fds()
{
    DIR *d = opendir("/proc/self/fd");
    if (!d)
        return -1;
    int n = 0;
    while (readdir(d))
        n++;
    closedir(d);
    return n;
}
