// What the server has taken in: the look at its messages when no media
// flows, the graceful end of a publish with its bound, and the two delivery
// figures (bytes written to the connection, bytes the server acknowledged).
#include "RTMPDumpUtil/graceful_close.h"
#include "RTMPDumpUtil/message_writer.h"
#include "RTMPDumpUtil/server_reader.h"
#include "Tavrel.h"
#include "TavrelContext.h"
#include "TavrelSend.h"

namespace tavrel {

void note_bytes_outside_writer(RTMPDumpCtx *ctx)
{
    SendState &s = send_state(ctx);
    uint64_t on_link = 0;
    if (!link_bytes_out(ctx->rtmp, &on_link))
        return;  // another kind of link: its figure counts from the publish on
    const uint64_t by_writer = message_writer_bytes_written(s.writer);
    s.bytes_outside_writer = on_link > by_writer ? on_link - by_writer : 0;
}

namespace {

uint64_t written_of(const SendState &s) { return s.bytes_outside_writer + message_writer_bytes_written(s.writer); }

// A delivery figure, read under rtmp_mutex where the send path writes it.
template <typename Figure>
int read_figure(RTMPDumpCtx *ctx, uint64_t *bytes, Figure figure)
{
    if (!ctx)
        return RTMPERR_DISCONNECTED;
    if (!bytes)
        return RTMPERR_INVALID_BUFF;
    MutexLock lock(&ctx->rtmp_mutex);
    *bytes = figure(send_state(ctx));
    return RTMPERR_OK;
}

// The graceful end under rtmp_mutex: RTMPERR_OK when the server closed its
// side within the bound, RTMPERR_TIMEDOUT when the bound passed first,
// RTMPERR_NEEDS_TO_RECONNECT when there was no connection to end.
int finish_locked(RTMPDumpCtx *ctx)
{
    SendState &s = send_state(ctx);
    if (s.is_finished || !RTMP_IsConnected(ctx->rtmp))
        return RTMPERR_NEEDS_TO_RECONNECT;
    store_shared(s.is_finished, 1);  // read by a reconnection without rtmp_mutex
    // The server has closed its side: nothing of ours would reach it.
    if (server_reader_is_link_done(s.reader))
        return RTMPERR_NEEDS_TO_RECONNECT;
    const int timeout_ms = load_shared(s.close_timeout_ms);
    const bool has_closed = end_publish(ctx->rtmp, s.writer, s.reader, timeout_ms);
    logger_log(ctx->logger, OSTREL_FINE, "close:: %llu bytes written, %llu acknowledged%s",
               static_cast<unsigned long long>(written_of(s)),
               static_cast<unsigned long long>(server_reader_bytes_acked(s.reader)),
               has_closed ? "" : "; the server had not closed its side in time");
    return has_closed ? RTMPERR_OK : RTMPERR_TIMEDOUT;
}

// step's RTMPERR under rtmp_mutex, on a context that is not reconnecting
// (a stream reconnection holds the lock while it runs).
template <typename Step>
int on_connection(RTMPDumpCtx *ctx, Step step)
{
    if (!ctx)
        return RTMPERR_DISCONNECTED;
    MutexLock lock(&ctx->rtmp_mutex);
    if (load_state(ctx) == RTMP_CONN_RECONNECTING)
        return RTMPERR_RECONNECTING;
    return step();
}

}  // namespace

bool finish_before_close(RTMPDumpCtx *ctx)
{
    MutexLock lock(&ctx->rtmp_mutex);
    if (send_state(ctx).is_finished)
        return true;
    finish_locked(ctx);
    return send_state(ctx).is_finished != 0;
}

}  // namespace tavrel

using namespace tavrel;

extern "C" {

int tavrel_poll(RTMPDumpCtx *ctx)
{
    return on_connection(ctx, [ctx] {
        const bool is_published = RTMP_IsConnected(ctx->rtmp) && look_at_server_locked(ctx);
        return is_published ? RTMPERR_OK : RTMPERR_NEEDS_TO_RECONNECT;
    });
}

int tavrel_finish(RTMPDumpCtx *ctx)
{
    return on_connection(ctx, [ctx] { return finish_locked(ctx); });
}

int tavrel_set_close_timeout(RTMPDumpCtx *ctx, int timeout_ms)
{
    if (!ctx)
        return RTMPERR_DISCONNECTED;
    if (timeout_ms < 0)
        return RTMPERR_INVALID_BUFF;
    store_shared(send_state(ctx).close_timeout_ms, timeout_ms);
    return RTMPERR_OK;
}

int tavrel_bytes_written(RTMPDumpCtx *ctx, uint64_t *bytes)
{
    return read_figure(ctx, bytes, written_of);
}

int tavrel_bytes_acked(RTMPDumpCtx *ctx, uint64_t *bytes)
{
    return read_figure(ctx, bytes, [](const SendState &s) { return server_reader_bytes_acked(s.reader); });
}

}  // extern "C"
