// The stream's onMetaData, sent as one AMF0 data message in either output
// mode, through the connection's message writer from the body built here.
#include "Tavrel.h"

#include "Quorlen.h"
#include "RTMPDumpUtil.h"
#include "RTMPDumpUtil/counted_text.h"
#include "TavrelContext.h"
#include "TavrelSend.h"

#include <librtmp/amf.h>

#include <cstring>

using namespace tavrel;

namespace {

constexpr size_t kWorkLen = 4096;
constexpr int kInfoPktHeaderLen = FLV_TAG_HEADER_LEN + FLV_PREV_TAG_SIZE_LEN;  // around the body

// Servers take a publisher's metadata from the "@setDataFrame" command
// (the name live encoders use); a data message that begins with plain
// "setDataFrame" is an unknown command to them and dropped unseen
// (nginx-rtmp does so), while the send reports success.
const AVal av_at_setDataFrame = AV_LITERAL("@setDataFrame");

}  // namespace

extern "C" int tavrel_send_metadata(RTMPDumpCtx *ctx, int w, int h, int v_bitrate, int v_framerate, int a_bitrate,
                                    int a_sample_rate, int a_sample_size_b, int a_num_ch)
{
    if (!ctx)
        return RTMPERR_UNKNOWN;
    uint8_t body[kWorkLen];
    char *work = reinterpret_cast<char *>(body);
    char *enc = AMF_EncodeString(work, work + kWorkLen, &av_at_setDataFrame);
    const int command_len = static_cast<int>(enc - work);
    int body_len = write_metadata(body + command_len, kWorkLen - static_cast<size_t>(command_len), 0, w, h,
                                  v_bitrate, v_framerate, a_bitrate, a_sample_rate, a_sample_size_b, a_num_ch,
                                  ctx->logger);
    if (body_len > 0)
        body_len += command_len;
    if (body_len <= 0)
        return RTMPERR_UNKNOWN;
    if (static_cast<size_t>(body_len) + kInfoPktHeaderLen > kWorkLen) {
        logger_log(ctx->logger, OSTREL_WARNING,
                   "Metadata is too long for output buffer:: body len:%lu, info pkt header len:%d, out len:%lu, "
                   "metadata len:%d",
                   static_cast<unsigned long>(body_len), kInfoPktHeaderLen, static_cast<unsigned long>(kWorkLen),
                   kInfoPktHeaderLen + body_len);
        return RTMPERR_BUFF_TOO_LARGE;
    }

    RTMPPacket pkt = {};
    pkt.m_body = reinterpret_cast<char *>(body);
    pkt.m_packetType = RTMP_PACKET_TYPE_INFO;  // data message, AMF0
    pkt.m_headerType = RTMP_PACKET_SIZE_LARGE;
    pkt.m_nChannel = 4;
    pkt.m_nTimeStamp = 0;
    pkt.m_hasAbsTimestamp = 0;
    pkt.m_nBodySize = static_cast<uint32_t>(body_len);
    pkt.m_nBytesRead = static_cast<uint32_t>(body_len);

    int result;
    {
        // A media thread may be sending at the same time: one message's
        // chunks must not interleave with another's, and the writer is the
        // connection's.
        MutexLock lock(&ctx->rtmp_mutex);
        pkt.m_nInfoField2 = ctx->rtmp->m_stream_id;
        // As every media send: what the server said first, and nothing sent
        // once it has ended the publish.
        const bool is_published = look_at_server_locked(ctx);
        result = is_published ? send_packet_body(send_state(ctx).writer, ctx->rtmp, &pkt, ctx->is_rtmp_queue) : 0;
    }
    log_send_outcome(ctx->logger, result);
    return result;
}
