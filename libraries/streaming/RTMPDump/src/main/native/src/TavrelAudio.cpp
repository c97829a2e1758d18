// AAC on the send path: the AudioSpecificConfig and raw frames, each one
// audio message.
#include "Tavrel.h"

#include "Quorlen.h"
#include "RTMPDumpUtil.h"
#include "TavrelContext.h"
#include "TavrelSend.h"

#include <cstring>

using namespace tavrel;

namespace {

// What the audio tag header is asked for: sample-rate index 3 (44 kHz),
// 16-bit, stereo. AAC is always signalled so; decoders take the real values
// from the AudioSpecificConfig.
constexpr int kAacRateIndex = 3;
constexpr int kAacIs16Bit = 1;
constexpr int kAacIsStereo = 1;

int check_audio(const uint8_t *buff, int32_t buff_len, int64_t elapsed_ms)
{
    if (!buff || buff_len <= 0)
        return RTMPERR_INVALID_BUFF;
    return elapsed_ms < 0 ? RTMPERR_NEGATIVE_TIMESTAMP : RTMPERR_OK;
}

int send_audio(RTMPDumpCtx *ctx, int is_seq_header, int64_t elapsed_ms, const uint8_t *buff, int32_t buff_len)
{
    StateReading reading = {};
    const int begun = begin_send(ctx, check_audio(buff, buff_len, elapsed_ms), &reading);
    if (begun != RTMPERR_OK)
        return begun;

    const int use_rtmp_write = ctx->use_rtmp_write;
    Logger *logger = ctx->logger;
    uint32_t body_len = flv_tag_body_len(1, is_seq_header, buff_len);
    if (body_len > kMaxMessageBody) {
        logger_log(logger, OSTREL_WARNING, "send_audio:: a message of %u bytes does not fit into one RTMP message",
                   body_len);
        return RTMPERR_BUFF_TOO_LARGE;
    }
    uint32_t out_len = flv_out_len(use_rtmp_write, body_len);
    uint32_t ts = static_cast<uint32_t>(elapsed_ms);  // RTMP time wraps at 32 bits

    if (ctx->is_log_audio) {
        logger_log(logger, OSTREL_FINEST,
                   is_seq_header ? "\n\n------- AAC Header --------" : "\n\n------- AAC Data --------");
        logger_log(logger, OSTREL_FINEST, "\tbody_len:%u, out_len:%u", body_len, out_len);
        logger_log(logger, OSTREL_FINEST, "\tdata_len:%d", buff_len);
        logger_log(logger, OSTREL_FINEST, "\taac elapsed:%ld [ms]", static_cast<long>(elapsed_ms));
        trace_state(logger, reading);
    }

    uint8_t *out = stream_body(ctx, 1, out_len);
    if (!out)
        return RTMPERR_BUFF_TOO_LARGE;
    uint32_t pos = put_tag_header(out, use_rtmp_write, 1, body_len, ts);
    pos += write_flv_audio_tag_header(out + pos, is_seq_header, kAacRateIndex, kAacIs16Bit, kAacIsStereo);
    std::memcpy(out + pos, buff, static_cast<size_t>(buff_len));
    pos += static_cast<uint32_t>(buff_len);
    pos += put_tag_trailer(out + pos, use_rtmp_write, body_len);
    const BodySlice message = {reinterpret_cast<const char *>(out), pos};
    return dispatch(ctx, 1, is_seq_header, ts, body_len, &message, 1);
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

}  // extern "C"
