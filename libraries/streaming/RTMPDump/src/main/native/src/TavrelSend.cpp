// The media send path: one AAC frame or H.264 access unit in, one RTMP
// message out, assembled in place in the stream's reusable packet body.
#include "Tavrel.h"

#include "Quorlen.h"
#include "RTMPDumpUtil.h"
#include "TavrelContext.h"

#include <climits>
#include <cstring>

using namespace tavrel;

namespace {

constexpr int kPrefixLen = 4;          // length prefix of an AVCC unit
constexpr uint32_t kMaxParamSet = 0xFFFF;  // 16-bit length in the decoder configuration
constexpr uint32_t kMinSps = 4;        // header byte, profile, constraints, level

// A send that found a reconnection running once it held rtmp_mutex.
constexpr int kGaveUp = INT_MIN;

struct StateReading {
    RTMP_CONN state;
    int is_connected;
    int is_timedout;
};

StateReading read_state(RTMPDumpCtx *ctx)
{
    MutexLock lock(&ctx->state_mutex);
    return StateReading{load_state(ctx), RTMP_IsConnected(ctx->rtmp), RTMP_IsTimedout(ctx->rtmp)};
}

// Grows the stream's body to out_len. The capacity is read by the Java
// getters on other threads, so it is updated through a local copy.
bool grow_body(RTMPPacket *pkt, uint32_t *capacity, uint32_t out_len)
{
    uint32_t cap = load_shared(*capacity);
    if (resize_pkt_body(pkt, &cap, out_len) != 0)
        return false;
    store_shared(*capacity, cap);
    return true;
}

// Packet mode: the body already holds the message.
int send_rtmp_pkt(RTMPDumpCtx *ctx, int is_audio, int is_seq_header, uint32_t ts_ms, uint32_t body_len)
{
    RTMPPacket *pkt = is_audio ? ctx->a_pkt : ctx->v_pkt;
    update_rtmp_pkt_body_metadata(pkt, ts_ms, body_len);
    int is_log = is_audio ? ctx->is_log_audio : ctx->is_log_video;
    Logger *logger = ctx->logger;
    int was_sent;
    {
        MutexLock lock(&ctx->rtmp_mutex);
        // A stream reconnection may have begun after this send's state
        // check; it holds this lock while it runs, so look again.
        if (load_state(ctx) == RTMP_CONN_RECONNECTING)
            return kGaveUp;
        if (is_log) {
            logger_log(logger, 300, "\n------------- Packet ----------------");
            logger_log(logger, 300,
                       "\tis_audio:%d, is_seq_header:%d, body:%p, body_len:%d, channel:%d, timestamp:%d [Ms], "
                       "stream_id:%d (stored) %d (derived)",
                       is_audio, is_seq_header, static_cast<void *>(pkt->m_body), static_cast<int>(body_len),
                       pkt->m_nChannel, static_cast<int>(ts_ms), load_shared(ctx->stream_id), ctx->rtmp->m_stream_id);
            logger_log(logger, 300, "\tbefore:: ");
            pprint_pkt(logger, pkt);
            logger_log(logger, 300, "\t");
            RTMPPacket_Dump(pkt);
        }
        was_sent = RTMP_SendPacket(ctx->rtmp, pkt, ctx->is_rtmp_queue);
        if (is_log) {
            logger_log(logger, 300, "\tafter:: ");
            pprint_pkt(logger, pkt);
            logger_log(logger, 300, "\tWas sent: %d", was_sent);
        }
    }
    if (is_log)
        logger_log(logger, 300, "\n-------------------------------------------\n");
    return was_sent;
}

// FLV-write mode: data is one whole FLV tag with its trailer.
int rtmp_write(RTMPDumpCtx *ctx, const uint8_t *data, int data_len)
{
    MutexLock lock(&ctx->rtmp_mutex);
    if (load_state(ctx) == RTMP_CONN_RECONNECTING)
        return kGaveUp;
    int amt_written = RTMP_Write_v2(ctx->rtmp, reinterpret_cast<const char *>(data), data_len, ctx->logger);
    if (amt_written > 0)
        logger_log(ctx->logger, 900, "----------------- RTMP sent: %d\n", amt_written);
    else
        logger_log(ctx->logger, 900, "----------------- Failed to send: %d\n", amt_written);
    return amt_written;
}

RTMPERR handle_send_status(RTMPDumpCtx *ctx, int status)
{
    if (status == kGaveUp)
        return RTMPERR_RECONNECTING;
    if (status > 0)
        return RTMPERR_OK;
    int is_connected = 0;
    int is_timedout = 0;
    get_rtmp_state(ctx->rtmp, &ctx->state_mutex, &is_connected, &is_timedout);
    return is_connected ? RTMPERR_UNKNOWN : RTMPERR_NEEDS_TO_RECONNECT;
}

int send_audio(RTMPDumpCtx *ctx, int is_seq_header, int64_t elapsed_ms, const uint8_t *buff, int32_t buff_len)
{
    if (!ctx)
        return RTMPERR_DISCONNECTED;
    if (!buff || buff_len <= 0)
        return RTMPERR_INVALID_BUFF;
    if (elapsed_ms < 0)
        return RTMPERR_NEGATIVE_TIMESTAMP;
    StateReading reading = read_state(ctx);
    if (reading.state == RTMP_CONN_RECONNECTING)
        return RTMPERR_RECONNECTING;

    const int use_rtmp_write = ctx->use_rtmp_write;
    Logger *logger = ctx->logger;
    uint32_t body_len = flv_tag_body_len(1, is_seq_header, buff_len);
    if (body_len > kMaxMessageBody) {
        logger_log(logger, 900, "send_audio:: a message of %u bytes does not fit into one RTMP message", body_len);
        return RTMPERR_BUFF_TOO_LARGE;
    }
    uint32_t out_len = flv_out_len(use_rtmp_write, body_len);
    uint32_t ts = static_cast<uint32_t>(elapsed_ms);  // RTMP time wraps at 32 bits

    if (ctx->is_log_audio) {
        logger_log(logger, 300, is_seq_header ? "\n\n------- AAC Header --------" : "\n\n------- AAC Data --------");
        logger_log(logger, 300, "\tbody_len:%u, out_len:%u", body_len, out_len);
        logger_log(logger, 300, "\tdata_len:%d", buff_len);
        logger_log(logger, 300, "\taac elapsed:%ld [ms]", static_cast<long>(elapsed_ms));
        logger_log(logger, 300, "is connected:%d, is timedout:%d", reading.is_connected, reading.is_timedout);
        logger_log(logger, 300, "------------------------");
    }

    if (!grow_body(ctx->a_pkt, &ctx->a_body_max_len, out_len)) {
        logger_log(logger, 900, "send_audio:: cannot grow the audio body to %u bytes", out_len);
        return RTMPERR_BUFF_TOO_LARGE;
    }
    auto *out = reinterpret_cast<uint8_t *>(ctx->a_pkt->m_body);  // only now: growing may move it
    uint32_t pos = 0;
    if (use_rtmp_write)
        pos += write_flv_tag_header(out + pos, 1, body_len, ts);
    pos += write_flv_audio_tag_header(out + pos, is_seq_header, 3, 1, 1);  // 44 kHz, 16-bit, stereo
    std::memcpy(out + pos, buff, static_cast<size_t>(buff_len));
    pos += static_cast<uint32_t>(buff_len);
    if (use_rtmp_write)
        pos += write_flv_prev_tag_size(out + pos, body_len + 11);

    int status = use_rtmp_write ? rtmp_write(ctx, out, static_cast<int>(pos))
                                : send_rtmp_pkt(ctx, 1, is_seq_header, ts, body_len);
    return handle_send_status(ctx, status);
}

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

// The bytes of a parameter set without its length prefix.
void param_set(const NALU &unit, int is_stripped, const uint8_t **data, uint32_t *len)
{
    int skip = is_stripped ? 0 : kPrefixLen;
    *data = unit.data + skip;
    *len = static_cast<uint32_t>(unit.len - skip);
}

int send_video(RTMPDumpCtx *ctx, const VideoInput &in)
{
    if (!ctx)
        return RTMPERR_DISCONNECTED;
    if (!in.nals)
        return RTMPERR_INVALID_NAL;
    if (in.num_nal < 1)
        return RTMPERR_INVALID_NUM_NAL;
    StateReading reading = read_state(ctx);
    if (reading.state == RTMP_CONN_RECONNECTING)
        return RTMPERR_RECONNECTING;
    const int use_rtmp_write = ctx->use_rtmp_write;
    Logger *logger = ctx->logger;
    if (in.is_annexb) {
        logger_log(logger, 900,
                   "Non-stripped AnnexB NAL bitstream format isn't currently supported (it needs to be done). "
                   "Change your encoder settings.");
        return RTMPERR_INVALID_NAL;
    }

    // Every length is checked before a byte is read: a unit claiming more
    // than it holds, or less than its own prefix, would otherwise send
    // whatever lies around it.
    int64_t payload_len = 0;
    for (int i = 0; i < in.num_nal; ++i) {
        const NALU &u = in.nals[i];
        if (u.len < 0 || (u.len > 0 && !u.data) || (!in.is_stripped && u.len < kPrefixLen)) {
            logger_log(logger, 900, "send_video:: unit %d of %d has an unusable length %d", i, in.num_nal, u.len);
            return RTMPERR_INVALID_NAL;
        }
        payload_len += u.len;
    }
    if (in.is_seq_header) {
        const uint8_t *sps, *pps;
        uint32_t sps_len, pps_len;
        param_set(in.nals[0], in.is_stripped, &sps, &sps_len);
        param_set(in.nals[1], in.is_stripped, &pps, &pps_len);
        if (sps_len < kMinSps || sps_len > kMaxParamSet || pps_len < 1 || pps_len > kMaxParamSet) {
            logger_log(logger, 900, "send_video:: parameter sets of %u and %u bytes cannot be sent", sps_len,
                       pps_len);
            return RTMPERR_INVALID_NAL;
        }
        if (!in.is_stripped)
            payload_len -= int64_t(kPrefixLen) * in.num_nal;
    } else if (in.is_stripped) {
        payload_len += int64_t(kPrefixLen) * in.num_nal;
    }
    if (payload_len > INT32_MAX) {
        logger_log(logger, 900, "send_video:: units of %ld bytes in all", static_cast<long>(payload_len));
        return RTMPERR_INVALID_NAL;
    }
    uint64_t body_len64 = static_cast<uint64_t>(payload_len) + 5 + (in.is_seq_header ? 11 : 0);
    if (body_len64 > kMaxMessageBody) {
        logger_log(logger, 900, "send_video:: a message of %lu bytes does not fit into one RTMP message",
                   static_cast<unsigned long>(body_len64));
        return RTMPERR_BUFF_TOO_LARGE;
    }
    const uint32_t body_len = static_cast<uint32_t>(body_len64);
    const uint32_t out_len = flv_out_len(use_rtmp_write, body_len);

    // Milliseconds: one ratio, each difference multiplied by it. A header
    // carries no time, so its time base does not matter.
    const bool has_timebase = in.timebase_num != 0 && in.timebase_den != 0 && in.timebase_num <= UINT32_MAX / 1000;
    if (!has_timebase && !in.is_seq_header) {
        logger_log(logger, 900, "send_video:: time base %u/%u cannot be used", in.timebase_num, in.timebase_den);
        return RTMPERR_INVALID_NAL;
    }
    double rebase_ratio = has_timebase ? static_cast<double>(in.timebase_num * 1000u) /
                                             static_cast<double>(in.timebase_den * 1u)
                                       : 0.0;
    int64_t pts_ms64, dts_ms64, composition_time_ms;
    if (!rebase(in.pts, in.fst_pts, rebase_ratio, &pts_ms64) || !rebase(in.dts, in.fst_dts, rebase_ratio, &dts_ms64) ||
        !rebase(in.pts, in.dts, rebase_ratio, &composition_time_ms)) {
        logger_log(logger, 900, "send_video:: times pts %ld, dts %ld (first %ld, %ld) overflow",
                   static_cast<long>(in.pts), static_cast<long>(in.dts), static_cast<long>(in.fst_pts),
                   static_cast<long>(in.fst_dts));
        return RTMPERR_INVALID_NAL;
    }
    const uint32_t pts_ms = static_cast<uint32_t>(pts_ms64);
    const uint32_t dts_ms = static_cast<uint32_t>(dts_ms64);  // RTMP time wraps at 32 bits

    if (ctx->is_log_video) {
        logger_log(logger, 300,
                   in.is_seq_header ? "\n\n------- H.264 Header --------" : "\n\n------- H.264 Data --------");
        logger_log(logger, 300, "\tbody_len:%u, out_len:%u", body_len, out_len);
        if (in.is_seq_header)
            logger_log(logger, 300, "\tsps_len:%d, pps_len:%d", in.nals[0].len, in.nals[1].len);
        else
            logger_log(logger, 300, "\tdata_len:%d", static_cast<int>(payload_len));
        logger_log(logger, 300, "\tpts:%ld [ms], dts:%ld [ms], composition_time:%ld [ms]", static_cast<long>(pts_ms),
                   static_cast<long>(dts_ms), static_cast<long>(composition_time_ms));
        logger_log(logger, 300, "is connected:%d, is timedout:%d", reading.is_connected, reading.is_timedout);
        logger_log(logger, 300, "------------------------");
    }

    if (!grow_body(ctx->v_pkt, &ctx->v_body_max_len, out_len)) {
        logger_log(logger, 900, "send_video:: cannot grow the video body to %u bytes", out_len);
        return RTMPERR_BUFF_TOO_LARGE;
    }
    auto *out = reinterpret_cast<uint8_t *>(ctx->v_pkt->m_body);  // only now: growing may move it
    uint32_t pos = 0;
    if (use_rtmp_write)
        pos += write_flv_tag_header(out + pos, 0, body_len, dts_ms);
    // The tag keeps the low 24 bits of the composition time.
    pos += write_flv_video_tag_header(out + pos, in.is_keyframe, in.is_seq_header,
                                      static_cast<int32_t>(static_cast<uint32_t>(composition_time_ms)));
    if (in.is_seq_header) {
        const uint8_t *sps, *pps;
        uint32_t sps_len, pps_len;
        param_set(in.nals[0], in.is_stripped, &sps, &sps_len);
        param_set(in.nals[1], in.is_stripped, &pps, &pps_len);
        pos += write_sps_pps(out + pos, sps, sps_len, pps, pps_len);
    } else {
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
    }
    if (use_rtmp_write)
        pos += write_flv_prev_tag_size(out + pos, body_len + 11);

    int status = use_rtmp_write ? rtmp_write(ctx, out, static_cast<int>(pos))
                                : send_rtmp_pkt(ctx, 0, in.is_seq_header, dts_ms, body_len);
    return handle_send_status(ctx, status);
}

}  // namespace

extern "C" {

int tavrel_send_aac_header(RTMPDumpCtx *ctx, uint8_t *header, uint32_t len)
{
    // A length past INT32_MAX reads as negative and is refused.
    return send_audio(ctx, 1, 0, header, static_cast<int32_t>(len));
}

int tavrel_send_aac_data(RTMPDumpCtx *ctx, uint8_t *buf, int32_t len, int64_t elapsed_ms)
{
    return send_audio(ctx, 0, elapsed_ms, buf, len);
}

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
