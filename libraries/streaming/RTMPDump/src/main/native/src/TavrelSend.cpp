// The media send path's shared steps: the checks a send begins with, the
// stream's reusable body, and the way out in either output mode, with its
// verdict.
#include "TavrelSend.h"

#include "Quorlen.h"
#include "RTMPDumpUtil.h"
#include "RTMPDumpUtil/byte_order.h"
#include "RTMPDumpUtil/flv_stream_writer.h"
#include "RTMPDumpUtil/server_reader.h"
#include "TavrelContext.h"

#include <climits>

namespace tavrel {

namespace {

// A send that found a reconnection running once it held rtmp_mutex.
constexpr int kGaveUp = INT_MIN;
// A send that found the publish ended by the server, or by tavrel_finish.
constexpr int kServerGone = INT_MIN + 1;

constexpr int kProtocolControlChannel = 2;
constexpr uint32_t kChunkSizeBits = 0x7FFFFFFF;  // the top bit of the field is 0

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

// Packet mode: the stream's packet carries the header fields, the slices
// the body.
int send_rtmp_pkt(RTMPDumpCtx *ctx, int is_audio, int is_seq_header, uint32_t ts_ms, uint32_t body_len,
                  const BodySlice *slices, int num_slices)
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
        if (!look_at_server_locked(ctx))
            return kServerGone;
        if (is_log) {
            logger_log(logger, OSTREL_FINEST, "\n------------- Packet ----------------");
            logger_log(logger, OSTREL_FINEST,
                       "\tis_audio:%d, is_seq_header:%d, body:%p, body_len:%d, channel:%d, timestamp:%d [Ms], "
                       "stream_id:%d (stored) %d (derived)",
                       is_audio, is_seq_header, static_cast<void *>(pkt->m_body), static_cast<int>(body_len),
                       pkt->m_nChannel, static_cast<int>(ts_ms), load_shared(ctx->stream_id), ctx->rtmp->m_stream_id);
            logger_log(logger, OSTREL_FINEST, "\tbefore:: ");
            pprint_pkt(logger, pkt);
            logger_log(logger, OSTREL_FINEST, "\t");
            RTMPPacket_Dump(pkt);
        }
        was_sent = send_message(send_state(ctx).writer, ctx->rtmp, pkt, slices, num_slices, ctx->is_rtmp_queue);
        if (is_log) {
            logger_log(logger, OSTREL_FINEST, "\tafter:: ");
            pprint_pkt(logger, pkt);
            logger_log(logger, OSTREL_FINEST, "\tWas sent: %d", was_sent);
        }
    }
    if (is_log)
        logger_log(logger, OSTREL_FINEST, "\n-------------------------------------------\n");
    return was_sent;
}

// FLV-write mode: data is one whole FLV tag with its trailer.
int rtmp_write(RTMPDumpCtx *ctx, const uint8_t *data, int data_len)
{
    MutexLock lock(&ctx->rtmp_mutex);
    if (load_state(ctx) == RTMP_CONN_RECONNECTING)
        return kGaveUp;
    if (!look_at_server_locked(ctx)) {
        log_send_outcome(ctx->logger, 0);
        return kServerGone;
    }
    int amt_written = write_flv_tag(send_state(ctx).writer, ctx->rtmp, reinterpret_cast<const char *>(data),
                                    data_len, ctx->logger);
    log_send_outcome(ctx->logger, amt_written);
    return amt_written;
}

}  // namespace

bool look_at_server_locked(RTMPDumpCtx *ctx)
{
    SendState &s = send_state(ctx);
    return !s.is_finished && server_reader_pump(s.reader, s.writer, ctx->rtmp, 0);
}

int classify_send(RTMPDumpCtx *ctx, int status)
{
    if (status == kGaveUp)
        return RTMPERR_RECONNECTING;
    if (status == kServerGone)
        return RTMPERR_NEEDS_TO_RECONNECT;
    if (status > 0)
        return RTMPERR_OK;
    int is_connected = 0;
    int is_timedout = 0;
    get_rtmp_state(ctx->rtmp, &ctx->state_mutex, &is_connected, &is_timedout);
    return is_connected ? RTMPERR_UNKNOWN : RTMPERR_NEEDS_TO_RECONNECT;
}

int begin_send(RTMPDumpCtx *ctx, int input_check, StateReading *reading)
{
    if (!ctx)
        return RTMPERR_DISCONNECTED;
    if (input_check != RTMPERR_OK)
        return input_check;
    *reading = read_state(ctx);
    return reading->state == RTMP_CONN_RECONNECTING ? RTMPERR_RECONNECTING : RTMPERR_OK;
}

void trace_state(Logger *logger, const StateReading &reading)
{
    logger_log(logger, OSTREL_FINEST, "is connected:%d, is timedout:%d", reading.is_connected, reading.is_timedout);
    logger_log(logger, OSTREL_FINEST, "------------------------");
}

uint8_t *stream_body(RTMPDumpCtx *ctx, int is_audio, uint32_t out_len)
{
    RTMPPacket *pkt = is_audio ? ctx->a_pkt : ctx->v_pkt;
    if (!grow_body(pkt, is_audio ? &ctx->a_body_max_len : &ctx->v_body_max_len, out_len)) {
        logger_log(ctx->logger, OSTREL_WARNING, "%s:: cannot grow the %s body to %u bytes",
                   is_audio ? "send_audio" : "send_video", is_audio ? "audio" : "video", out_len);
        return nullptr;
    }
    return reinterpret_cast<uint8_t *>(pkt->m_body);
}

uint32_t put_tag_header(uint8_t *out, int use_rtmp_write, int is_audio, uint32_t body_len, uint32_t ts_ms)
{
    return use_rtmp_write ? write_flv_tag_header(out, is_audio, body_len, ts_ms) : 0;
}

uint32_t put_tag_trailer(uint8_t *out, int use_rtmp_write, uint32_t body_len)
{
    return use_rtmp_write ? write_flv_prev_tag_size(out, body_len + FLV_TAG_HEADER_LEN) : 0;
}

int dispatch(RTMPDumpCtx *ctx, int is_audio, int is_seq_header, uint32_t ts_ms, uint32_t body_len,
             const BodySlice *slices, int num_slices)
{
    int status = ctx->use_rtmp_write
                     ? rtmp_write(ctx, reinterpret_cast<const uint8_t *>(slices[0].data), int(slices[0].len))
                     : send_rtmp_pkt(ctx, is_audio, is_seq_header, ts_ms, body_len, slices, num_slices);
    return classify_send(ctx, status);
}

int send_chunk_size_locked(RTMPDumpCtx *ctx, int size)
{
    char body[4];
    put_be32(body, uint32_t(size) & kChunkSizeBits);  // chunk size
    RTMPPacket pkt = {};
    pkt.m_headerType = RTMP_PACKET_SIZE_LARGE;
    pkt.m_packetType = RTMP_PACKET_TYPE_CHUNK_SIZE;
    pkt.m_nChannel = kProtocolControlChannel;
    pkt.m_nBodySize = sizeof body;
    pkt.m_body = body;
    // The chunk stream's record keeps this frame's address, as librtmp's
    // records of its own control messages do; nothing reads a record's body.
    if (!send_packet_body(send_state(ctx).writer, ctx->rtmp, &pkt, 0))
        return 0;
    ctx->rtmp->m_outChunkSize = size;
    return 1;
}

void log_send_outcome(Logger *logger, int result)
{
    if (result > 0)
        logger_log(logger, OSTREL_WARNING, "----------------- RTMP sent: %d\n", result);
    else
        logger_log(logger, OSTREL_WARNING, "----------------- Failed to send: %d\n", result);
}

}  // namespace tavrel
