// H.264 on the send path: the AVC sequence header from an access unit's
// SPS and PPS, and access units given as NAL unit arrays or as one buffer,
// each one video message.
#include "Tavrel.h"

#include "Quorlen.h"
#include "RTMPDumpUtil.h"
#include "RTMPDumpUtil/byte_order.h"
#include "TavrelContext.h"
#include "TavrelSend.h"

#include <climits>
#include <cstring>

using namespace tavrel;

namespace {

constexpr int kPrefixLen = 4;              // length prefix of an AVCC unit
constexpr uint32_t kMaxParamSet = 0xFFFF;  // 16-bit length in the decoder configuration
constexpr uint32_t kMinSps = 4;            // header byte, profile, constraints, level
constexpr int kAvcConfigLen = 11;          // AVCDecoderConfigurationRecord around the SPS and PPS
// Access units of more units than this (rare: many slices per picture) are
// assembled in the stream's body instead of sent from the caller's buffers.
constexpr int kMaxUnitsInPlace = 32;

// (a - b) * ratio truncated toward zero, false when a difference or the
// product does not fit 64 bits.
bool rebase(int64_t a, int64_t b, double ratio, int64_t *out)
{
    int64_t diff;
    if (__builtin_sub_overflow(a, b, &diff))
        return false;
    double scaled = static_cast<double>(diff) * ratio;
    // 2^63 as a double; the conversion of anything outside is undefined.
    constexpr double kLimit = 9223372036854775808.0;
    if (!(scaled > -kLimit && scaled < kLimit))
        return false;
    *out = static_cast<int64_t>(scaled);
    return true;
}

struct VideoInput {
    int is_seq_header;
    int is_keyframe;
    int is_annexb;
    int is_stripped;
    int64_t pts, dts, fst_pts, fst_dts;
    uint32_t timebase_num, timebase_den;
    const NALU *nals;  // for a sequence header: the SPS, then the PPS
    int num_nal;
};

// The lengths and times of one video message, worked out before a byte of
// it is written.
struct VideoMessage {
    int64_t payload_len;  // the units as they are written
    uint32_t body_len;    // the FLV tag body
    uint32_t out_len;     // what goes to the connection
    uint32_t pts_ms;      // for the log only
    uint32_t dts_ms;      // the message timestamp
    int64_t composition_time_ms;
};

// The bytes of a parameter set without its length prefix.
void param_set(const NALU &unit, int is_stripped, const uint8_t **data, uint32_t *len)
{
    int skip = is_stripped ? 0 : kPrefixLen;
    *data = unit.data + skip;
    *len = static_cast<uint32_t>(unit.len - skip);
}

// Every length is checked before a byte is read: a unit claiming more than
// it holds, or less than its own prefix, would otherwise send whatever lies
// around it. The units' total, or RTMPERR_INVALID_NAL (logged).
int check_units(Logger *logger, const VideoInput &in, int64_t *total)
{
    int64_t sum = 0;
    for (int i = 0; i < in.num_nal; ++i) {
        const NALU &u = in.nals[i];
        if (u.len < 0 || (u.len > 0 && !u.data) || (!in.is_stripped && u.len < kPrefixLen)) {
            logger_log(logger, OSTREL_WARNING, "send_video:: unit %d of %d has an unusable length %d", i,
                       in.num_nal, u.len);
            return RTMPERR_INVALID_NAL;
        }
        sum += u.len;
    }
    if (in.is_seq_header) {
        const uint8_t *sps, *pps;
        uint32_t sps_len, pps_len;
        param_set(in.nals[0], in.is_stripped, &sps, &sps_len);
        param_set(in.nals[1], in.is_stripped, &pps, &pps_len);
        if (sps_len < kMinSps || sps_len > kMaxParamSet || pps_len < 1 || pps_len > kMaxParamSet) {
            logger_log(logger, OSTREL_WARNING, "send_video:: parameter sets of %u and %u bytes cannot be sent",
                       sps_len, pps_len);
            return RTMPERR_INVALID_NAL;
        }
    }
    *total = sum;
    return RTMPERR_OK;
}

// The payload as written (parameter sets without their prefixes, stripped
// units with one added), the tag body around it and the bytes sent.
int measure_video(Logger *logger, const VideoInput &in, int use_rtmp_write, VideoMessage *msg)
{
    int64_t payload_len = 0;
    const int checked = check_units(logger, in, &payload_len);
    if (checked != RTMPERR_OK)
        return checked;
    if (in.is_seq_header && !in.is_stripped)
        payload_len -= int64_t(kPrefixLen) * in.num_nal;
    else if (!in.is_seq_header && in.is_stripped)
        payload_len += int64_t(kPrefixLen) * in.num_nal;
    if (payload_len > INT32_MAX) {
        logger_log(logger, OSTREL_WARNING, "send_video:: units of %ld bytes in all", static_cast<long>(payload_len));
        return RTMPERR_INVALID_NAL;
    }
    const uint64_t body_len =
        static_cast<uint64_t>(payload_len) + FLV_VIDEO_TAG_HEADER_LEN + (in.is_seq_header ? kAvcConfigLen : 0);
    if (body_len > kMaxMessageBody) {
        logger_log(logger, OSTREL_WARNING, "send_video:: a message of %lu bytes does not fit into one RTMP message",
                   static_cast<unsigned long>(body_len));
        return RTMPERR_BUFF_TOO_LARGE;
    }
    msg->payload_len = payload_len;
    msg->body_len = static_cast<uint32_t>(body_len);
    msg->out_len = flv_out_len(use_rtmp_write, msg->body_len);
    return RTMPERR_OK;
}

// Milliseconds: one ratio, each difference multiplied by it. A header
// carries no time, so its time base does not matter.
int rebase_times(Logger *logger, const VideoInput &in, VideoMessage *msg)
{
    const bool has_timebase = in.timebase_num != 0 && in.timebase_den != 0 && in.timebase_num <= UINT32_MAX / 1000;
    if (!has_timebase && !in.is_seq_header) {
        logger_log(logger, OSTREL_WARNING, "send_video:: time base %u/%u cannot be used", in.timebase_num,
                   in.timebase_den);
        return RTMPERR_INVALID_NAL;
    }
    double rebase_ratio = has_timebase ? static_cast<double>(in.timebase_num * 1000u) /
                                             static_cast<double>(in.timebase_den * 1u)
                                       : 0.0;
    int64_t pts_ms, dts_ms;
    if (!rebase(in.pts, in.fst_pts, rebase_ratio, &pts_ms) || !rebase(in.dts, in.fst_dts, rebase_ratio, &dts_ms) ||
        !rebase(in.pts, in.dts, rebase_ratio, &msg->composition_time_ms)) {
        logger_log(logger, OSTREL_WARNING, "send_video:: times pts %ld, dts %ld (first %ld, %ld) overflow",
                   static_cast<long>(in.pts), static_cast<long>(in.dts), static_cast<long>(in.fst_pts),
                   static_cast<long>(in.fst_dts));
        return RTMPERR_INVALID_NAL;
    }
    msg->pts_ms = static_cast<uint32_t>(pts_ms);
    msg->dts_ms = static_cast<uint32_t>(dts_ms);  // RTMP time wraps at 32 bits
    return RTMPERR_OK;
}

void trace_video(Logger *logger, const VideoInput &in, const VideoMessage &msg, const StateReading &reading)
{
    logger_log(logger, OSTREL_FINEST,
               in.is_seq_header ? "\n\n------- H.264 Header --------" : "\n\n------- H.264 Data --------");
    logger_log(logger, OSTREL_FINEST, "\tbody_len:%u, out_len:%u", msg.body_len, msg.out_len);
    if (in.is_seq_header)
        logger_log(logger, OSTREL_FINEST, "\tsps_len:%d, pps_len:%d", in.nals[0].len, in.nals[1].len);
    else
        logger_log(logger, OSTREL_FINEST, "\tdata_len:%d", static_cast<int>(msg.payload_len));
    logger_log(logger, OSTREL_FINEST, "\tpts:%ld [ms], dts:%ld [ms], composition_time:%ld [ms]",
               static_cast<long>(msg.pts_ms), static_cast<long>(msg.dts_ms),
               static_cast<long>(msg.composition_time_ms));
    trace_state(logger, reading);
}

// The payload: the decoder configuration from the SPS and PPS, or the units
// in order, each behind its length prefix (added to stripped units, copied
// as it stands otherwise).
uint32_t put_video_payload(uint8_t *out, const VideoInput &in)
{
    if (in.is_seq_header) {
        const uint8_t *sps, *pps;
        uint32_t sps_len, pps_len;
        param_set(in.nals[0], in.is_stripped, &sps, &sps_len);
        param_set(in.nals[1], in.is_stripped, &pps, &pps_len);
        return static_cast<uint32_t>(write_sps_pps(out, sps, sps_len, pps, pps_len));
    }
    uint32_t pos = 0;
    for (int i = 0; i < in.num_nal; ++i) {
        const NALU &u = in.nals[i];
        if (in.is_stripped) {
            pos += write_nalu(out + pos, u.data, static_cast<size_t>(u.len));
        } else {
            if (u.len > 0)
                std::memcpy(out + pos, u.data, static_cast<size_t>(u.len));
            pos += static_cast<uint32_t>(u.len);
        }
    }
    return pos;
}

uint32_t put_video_tag_header(uint8_t *out, const VideoInput &in, const VideoMessage &msg)
{
    // The tag keeps the low 24 bits of the composition time.
    return static_cast<uint32_t>(write_flv_video_tag_header(
        out, in.is_keyframe, in.is_seq_header, static_cast<int32_t>(static_cast<uint32_t>(msg.composition_time_ms))));
}

// The whole message from offset 0; the bytes written, msg.out_len.
uint32_t assemble_video(uint8_t *out, const VideoInput &in, const VideoMessage &msg, int use_rtmp_write)
{
    uint32_t pos = put_tag_header(out, use_rtmp_write, 0, msg.body_len, msg.dts_ms);
    pos += put_video_tag_header(out + pos, in, msg);
    pos += put_video_payload(out + pos, in);
    pos += put_tag_trailer(out + pos, use_rtmp_write, msg.body_len);
    return pos;
}

// Packet mode sends a frame's units from the caller's buffers: only the
// video tag header and the length prefixes that stripped units lack are
// written, into the front of the stream's body. The body still grows to
// the whole message, as callers see its capacity grow with the largest
// frame; the send writes only its front.
int send_units_in_place(RTMPDumpCtx *ctx, const VideoInput &in, const VideoMessage &msg)
{
    uint8_t *out = stream_body(ctx, 0, msg.out_len);
    if (!out)
        return RTMPERR_BUFF_TOO_LARGE;
    BodySlice slices[1 + 2 * kMaxUnitsInPlace];
    uint32_t pos = put_video_tag_header(out, in, msg);
    slices[0] = BodySlice{reinterpret_cast<const char *>(out), pos};
    int n = 1;
    for (int i = 0; i < in.num_nal; ++i) {
        const NALU &u = in.nals[i];
        if (in.is_stripped) {
            const uint32_t prefix_len = static_cast<uint32_t>(put_be32(out + pos, static_cast<uint32_t>(u.len)));
            slices[n++] = BodySlice{reinterpret_cast<const char *>(out + pos), prefix_len};
            pos += prefix_len;
        }
        slices[n++] = BodySlice{reinterpret_cast<const char *>(u.data), static_cast<uint32_t>(u.len)};
    }
    return dispatch(ctx, 0, 0, msg.dts_ms, msg.body_len, slices, n);
}

int check_video(const VideoInput &in)
{
    if (!in.nals)
        return RTMPERR_INVALID_NAL;
    return in.num_nal < 1 ? RTMPERR_INVALID_NUM_NAL : RTMPERR_OK;
}

int send_video(RTMPDumpCtx *ctx, const VideoInput &in)
{
    StateReading reading = {};
    const int begun = begin_send(ctx, check_video(in), &reading);
    if (begun != RTMPERR_OK)
        return begun;
    const int use_rtmp_write = ctx->use_rtmp_write;
    Logger *logger = ctx->logger;
    if (in.is_annexb) {
        logger_log(logger, OSTREL_WARNING,
                   "Non-stripped AnnexB NAL bitstream format isn't currently supported (it needs to be done). "
                   "Change your encoder settings.");
        return RTMPERR_INVALID_NAL;
    }

    VideoMessage msg = {};
    int checked = measure_video(logger, in, use_rtmp_write, &msg);
    if (checked == RTMPERR_OK)
        checked = rebase_times(logger, in, &msg);
    if (checked != RTMPERR_OK)
        return checked;
    if (ctx->is_log_video)
        trace_video(logger, in, msg, reading);

    if (!use_rtmp_write && !in.is_seq_header && in.num_nal <= kMaxUnitsInPlace)
        return send_units_in_place(ctx, in, msg);
    uint8_t *out = stream_body(ctx, 0, msg.out_len);
    if (!out)
        return RTMPERR_BUFF_TOO_LARGE;
    const uint32_t pos = assemble_video(out, in, msg, use_rtmp_write);
    const BodySlice message = {reinterpret_cast<const char *>(out), pos};
    return dispatch(ctx, 0, in.is_seq_header, msg.dts_ms, msg.body_len, &message, 1);
}

}  // namespace

extern "C" {

int tavrel_send_h264_header(RTMPDumpCtx *ctx, NALUS *nalus)
{
    if (!nalus || !nalus->nalus)
        return RTMPERR_INVALID_NAL;
    // The first SPS and the first PPS, whatever their order; everything
    // else in the access unit (delimiter, SEI, slices, more parameter sets)
    // stays out of the decoder configuration.
    const NALU *sps = nullptr;
    const NALU *pps = nullptr;
    for (int32_t i = 0; i < nalus->num_nalu; ++i) {
        const NALU &u = nalus->nalus[i];
        if (u.type == NAL_TYPE_SPS && !sps)
            sps = &u;
        else if (u.type == NAL_TYPE_PPS && !pps)
            pps = &u;
    }
    NALU params[2];
    int num = 0;
    if (sps && pps) {
        params[0] = *sps;
        params[1] = *pps;
        num = 2;
    }
    VideoInput in{1, nalus->is_keyframe, nalus->is_annexb, nalus->is_stripped, 0, 0, 0, 0,
                  nalus->timebase_num, nalus->timebase_den, params, num};
    return send_video(ctx, in);
}

int tavrel_send_h264_nals(RTMPDumpCtx *ctx, NALUS *nalus)
{
    if (!nalus)
        return RTMPERR_INVALID_NAL;
    VideoInput in{0,           nalus->is_keyframe,   nalus->is_annexb,     nalus->is_stripped,
                  nalus->pts,  nalus->dts,           nalus->fst_pts,       nalus->fst_dts,
                  nalus->timebase_num, nalus->timebase_den, nalus->nalus, nalus->num_nalu};
    return send_video(ctx, in);
}

int tavrel_send_h264_nalu_payload(RTMPDumpCtx *ctx, NALUPayload *payload)
{
    if (!payload || !payload->data)
        return RTMPERR_INVALID_NAL;
    NALU unit{payload->data, payload->len, payload->is_keyframe ? NAL_TYPE_SLICE_IDR : NAL_TYPE_SLICE};
    VideoInput in{0,            payload->is_keyframe, payload->is_annexb,  payload->is_stripped,
                  payload->pts, payload->dts,         payload->fst_pts,    payload->fst_dts,
                  payload->timebase_num, payload->timebase_den, &unit, 1};
    return send_video(ctx, in);
}

}  // extern "C"
