// The publisher context: connect, clone, the two reconnections, state
// queries and release.
#include "Tavrel.h"

#include "Quorlen.h"
#include "RTMPDumpUtil.h"
#include "RTMPDumpUtil/message_writer.h"
#include "RTMPDumpUtil/server_reader.h"
#include "RTMPDumpUtilInternal.h"
#include "TavrelContext.h"
#include "TavrelSend.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace tavrel {

namespace {

// A heap copy of a C string; null stays null. *failed is set when memory
// runs out.
char *copy_text(const char *text, bool *failed)
{
    if (!text)
        return nullptr;
    char *copy = owned_text(text, std::strlen(text));
    if (!copy)
        *failed = true;
    return copy;
}

void free_texts(char *url, char *username, char *password)
{
    std::free(url);
    std::free(username);
    std::free(password);
}

// Set Chunk Size on a context's connection, and the size kept for later
// reconnections.
bool resend_chunk_size(RTMPDumpCtx *ctx, int size)
{
    MutexLock lock(&ctx->rtmp_mutex);
    if (!send_chunk_size_locked(ctx, size))
        return false;
    store_shared(send_state(ctx).chunk_size, size);
    return true;
}

// The socket's send bounds; the caller holds rtmp_mutex. The context
// keeps them for its later connections; a context without a socket (closed
// by a failed send) only keeps them. A value below 0 leaves that bound as
// it is.
bool apply_send_bounds_locked(RTMPDumpCtx *ctx, int timeout_ms, int unsent_limit)
{
    SendState &send = send_state(ctx);
    const int fd = ctx->rtmp ? ctx->rtmp->m_sb.sb_socket : -1;
    if (timeout_ms >= 0) {
        // On the socket for the kernel's blocking send, in the writer for
        // the whole message across short writes.
        timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
        if (fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0)
            return false;
        message_writer_set_timeout(send.writer, timeout_ms);
        store_shared(send.send_timeout_ms, timeout_ms);
    }
    if (unsent_limit >= 0) {
        // A send waits while this much is unsent, so congestion shows at the
        // caller instead of in megabytes of kernel buffer. 0 is the
        // kernel's default, no limit.
        const int lowat = unsent_limit > 0 ? unsent_limit : INT_MAX;
        if (fd >= 0 && setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &lowat, sizeof lowat) != 0)
            return false;
        store_shared(send.unsent_limit, unsent_limit);
    }
    return true;
}

// A send bound export's work on a context: under rtmp_mutex, so never
// while a send is writing (the socket may be closing under it).
int set_send_bounds(RTMPDumpCtx *ctx, int timeout_ms, int unsent_limit, const char *who, int value)
{
    if (!ctx)
        return RTMPERR_DISCONNECTED;
    if (value < 0) {
        logger_log(ctx->logger, OSTREL_WARNING, "%s:: %d is below 0", who, value);
        return RTMPERR_INVALID_BUFF;
    }
    bool is_set;
    {
        MutexLock lock(&ctx->rtmp_mutex);
        is_set = apply_send_bounds_locked(ctx, timeout_ms, unsent_limit);
    }
    logger_log(ctx->logger, OSTREL_FINE, "%s:: %d %s", who, value, is_set ? "set" : "not set");
    return is_set ? RTMPERR_OK : RTMPERR_UNKNOWN;
}

// Connects from texts the new context will own (taken over in every case:
// freed on failure). The connection record points into url, so url has to
// be the context's own copy, never the caller's text. Takes over one
// reference to logger only on success.
RTMPDumpCtx *connect_owned(char *url, char *username, char *password, const ContextSettings &settings,
                           Logger *logger)
{
    RTMP *rtmp = nullptr;
    if (connect_rtmp_w(url, username, password, &rtmp, global_log_callback) != 0) {
        free_texts(url, username, password);
        return nullptr;
    }
    RTMPDumpCtx *ctx = context_new(rtmp, url, username, password, settings, logger);
    if (!ctx) {
        finish_connect(TAVREL_CONNECT_NOT_PUBLISHED);
        logger_log(logger, OSTREL_WARNING, "tavrel_connect:: out of memory making the context");
        close_rtmp_w(rtmp, 1);
        free_texts(url, username, password);
        return nullptr;
    }
    // A new connection starts at 128 for the server: the size chosen for
    // the context this one takes over from is told again.
    if (settings.chunk_size > 0 && !resend_chunk_size(ctx, settings.chunk_size)) {
        logger_log(logger, OSTREL_WARNING, "tavrel_connect:: Set Chunk Size %d failed", settings.chunk_size);
        logger_retain(logger);  // the caller's reference stays the caller's
        tavrel_close(ctx);
        return nullptr;
    }
    {
        MutexLock lock(&ctx->rtmp_mutex);
        if (!server_reader_announce_window(send_state(ctx).reader, send_state(ctx).writer, ctx->rtmp))
            logger_log(logger, OSTREL_WARNING, "tavrel_connect:: the acknowledgement window was not sent");
    }
    // A new socket has no send bounds of its own: those chosen for the
    // context this one takes over from are set again.
    if (settings.send_timeout_ms > 0 || settings.unsent_limit > 0) {
        MutexLock lock(&ctx->rtmp_mutex);
        if (!apply_send_bounds_locked(ctx, settings.send_timeout_ms, settings.unsent_limit))
            logger_log(logger, OSTREL_WARNING, "tavrel_connect:: send bounds (%d ms, %d bytes) not set",
                       settings.send_timeout_ms, settings.unsent_limit);
    }
    return ctx;
}

// connect_owned from copies of the caller's texts, which stay the caller's.
RTMPDumpCtx *connect_copies(const char *url, const char *username, const char *password,
                            const ContextSettings &settings, Logger *logger, const char *who)
{
    bool failed = false;
    char *url_copy = copy_text(url, &failed);
    char *username_copy = copy_text(username, &failed);
    char *password_copy = copy_text(password, &failed);
    if (failed) {
        finish_connect(TAVREL_CONNECT_UNREACHABLE);
        logger_log(logger, OSTREL_WARNING, "%s:: out of memory copying the settings", who);
        free_texts(url_copy, username_copy, password_copy);
        return nullptr;
    }
    return connect_owned(url_copy, username_copy, password_copy, settings, logger);
}

ContextSettings settings_of(RTMPDumpCtx *ctx)
{
    // The capacities as they stand, tag header and framing included: a
    // clone or a fresh connection starts where this one has grown to.
    return ContextSettings{ctx->use_rtmp_write,
                           ctx->is_rtmp_queue,
                           ctx->is_log_audio,
                           ctx->is_log_video,
                           load_shared(ctx->a_body_max_len),
                           load_shared(ctx->v_body_max_len),
                           load_shared(send_state(ctx).chunk_size),
                           load_shared(send_state(ctx).send_timeout_ms),
                           load_shared(send_state(ctx).unsent_limit),
                           load_shared(send_state(ctx).close_timeout_ms)};
}

// The check-and-set both reconnections start with: the context to
// reconnect, its state now RTMP_CONN_RECONNECTING; or null, and *result is
// what the caller returns.
RTMPDumpCtx *begin_reconnection(RTMPDumpCtx **ctx_ptr, RTMP_CONN *result)
{
    if (!ctx_ptr || !*ctx_ptr) {
        *result = RTMP_CONN_DISCONNECTED;
        return nullptr;
    }
    RTMPDumpCtx *ctx = *ctx_ptr;
    MutexLock lock(&ctx->state_mutex);
    RTMP_CONN state = load_state(ctx);
    if (state == RTMP_CONN_RECONNECTING) {
        *result = RTMP_CONN_RECONNECTING;
        return nullptr;
    }
    // A connection the server has ended (a status, its close), or whose
    // publish tavrel_finish ended, is up only in name.
    if (state == RTMP_CONN_CONNECTED && RTMP_IsConnected(ctx->rtmp) &&
        !server_reader_is_lost(send_state(ctx).reader) && !load_shared(send_state(ctx).is_finished)) {
        *result = RTMP_CONN_CONNECTED;
        return nullptr;
    }
    store_state(ctx, RTMP_CONN_RECONNECTING);
    return ctx;
}

// The stream reconnection on a context marked RTMP_CONN_RECONNECTING.
// Under rtmp_mutex: a send already past its state check finishes before
// the stream is replaced, and one that comes later sees the reconnection
// and gives up. The packets' stream id is only read under this lock, so it
// is rewritten here too.
RTMP_CONN publish_again(RTMPDumpCtx *ctx)
{
    int is_reconnected = 0;
    int new_stream_id = 0;
    {
        MutexLock lock(&ctx->rtmp_mutex);
        if (RTMP_IsConnected(ctx->rtmp))
            is_reconnected = reconnect_stream_v2(ctx->rtmp);
        // The server keeps the connection's chunk size; it is told again
        // all the same, so that every reconnection starts alike.
        const int chunk_size = load_shared(send_state(ctx).chunk_size);
        if (is_reconnected && chunk_size > 0 && !send_chunk_size_locked(ctx, chunk_size))
            is_reconnected = 0;
        new_stream_id = ctx->rtmp->m_stream_id;
        if (is_reconnected) {
            server_reader_resume(send_state(ctx).reader);
            note_bytes_outside_writer(ctx);
            ctx->a_pkt->m_nInfoField2 = new_stream_id;
            ctx->v_pkt->m_nInfoField2 = new_stream_id;
        }
    }
    {
        MutexLock lock(&ctx->state_mutex);
        if (is_reconnected) {
            store_shared(ctx->stream_id, new_stream_id);
            store_state(ctx, RTMP_CONN_CONNECTED);
        } else {
            store_shared(ctx->stream_id, 0);
            store_state(ctx, RTMP_CONN_DISCONNECTED);
        }
    }
    logger_log(ctx->logger, OSTREL_FINE, "tavrel_reconnect_stream:: %s, stream id %d",
               is_reconnected ? "published again" : "failed", is_reconnected ? new_stream_id : 0);
    return RTMP_CONN_CONNECTED;
}

// The full reconnection: the context marked RTMP_CONN_RECONNECTING is
// released and a new one, connected with its settings, takes its place in
// *ctx_ptr. The settings pass from the old context to the new one: the
// texts and the logger reference are taken out before the old one goes.
RTMP_CONN replace_context(RTMPDumpCtx *ctx, RTMPDumpCtx **ctx_ptr)
{
    ContextSettings settings = settings_of(ctx);
    char *url = const_cast<char *>(ctx->url);
    char *username = const_cast<char *>(ctx->username);
    char *password = const_cast<char *>(ctx->password);
    Logger *logger = ctx->logger;
    ctx->url = ctx->username = ctx->password = nullptr;
    ctx->logger = nullptr;
    logger_log(logger, OSTREL_FINE, "tavrel_reconnect_full:: releasing the old connection");
    tavrel_close(ctx);  // in RTMP_CONN_RECONNECTING: the socket is closed, nothing sent

    RTMPDumpCtx *fresh = connect_owned(url, username, password, settings, logger);
    if (!fresh) {
        logger_log(logger, OSTREL_WARNING, "tavrel_reconnect_full:: the new connection failed");
        logger_release(logger);
        return RTMP_CONN_DISCONNECTED;
    }
    *ctx_ptr = fresh;
    return RTMP_CONN_CONNECTED;
}

void free_packet(RTMPPacket *pkt)
{
    if (!pkt)
        return;
    RTMPPacket_Free(pkt);
    std::free(pkt);
}

}  // namespace

uint32_t initial_body_capacity(int is_audio, int use_rtmp_write, uint32_t payload_max_len)
{
    // A payload larger than any message is no use to ask for; capping it
    // also keeps the sums below from wrapping.
    uint32_t body = payload_max_len > kMaxMessageBody ? kMaxMessageBody
                                                      : flv_tag_body_len(is_audio, 0, static_cast<int>(payload_max_len));
    if (body > kMaxMessageBody)
        body = kMaxMessageBody;
    return flv_out_len(use_rtmp_write, body);
}

RTMPDumpCtx *context_new(RTMP *rtmp, char *url, char *username, char *password, const ContextSettings &settings,
                         Logger *logger)
{
    auto *shell = static_cast<ContextShell *>(std::calloc(1, sizeof(ContextShell)));
    if (!shell)
        return nullptr;
    RTMPDumpCtx *ctx = &shell->ctx;
    ctx->stream_id = rtmp->m_stream_id;
    ctx->a_body_max_len = initial_body_capacity(1, settings.use_rtmp_write, settings.a_body_max_len);
    ctx->v_body_max_len = initial_body_capacity(0, settings.use_rtmp_write, settings.v_body_max_len);
    ctx->a_pkt = new_rtmp_pkt(1, ctx->stream_id);
    ctx->v_pkt = new_rtmp_pkt(0, ctx->stream_id);
    shell->send.writer = message_writer_new(rtmp);
    shell->send.reader = server_reader_new(rtmp);
    shell->send.close_timeout_ms = settings.close_timeout_ms;
    bool ok = ctx->a_pkt && ctx->v_pkt && shell->send.writer && shell->send.reader && RTMPPacket_Alloc(ctx->a_pkt, ctx->a_body_max_len) &&
              RTMPPacket_Alloc(ctx->v_pkt, ctx->v_body_max_len);
    bool has_state_mutex = ok && pthread_mutex_init(&ctx->state_mutex, nullptr) == 0;
    bool has_rtmp_mutex = has_state_mutex && pthread_mutex_init(&ctx->rtmp_mutex, nullptr) == 0;
    if (!has_rtmp_mutex) {
        if (has_state_mutex)
            pthread_mutex_destroy(&ctx->state_mutex);
        free_packet(ctx->a_pkt);
        free_packet(ctx->v_pkt);
        message_writer_free(shell->send.writer);
        server_reader_free(shell->send.reader);
        std::free(shell);
        return nullptr;
    }
    ctx->rtmp = rtmp;
    note_bytes_outside_writer(ctx);
    ctx->connection_state = RTMP_CONN_CONNECTED;
    ctx->use_rtmp_write = settings.use_rtmp_write;
    ctx->is_rtmp_queue = settings.is_rtmp_queue;
    ctx->prev_tag_len = 0;
    ctx->is_log_audio = settings.is_log_audio;
    ctx->is_log_video = settings.is_log_video;
    ctx->logger = logger;
    ctx->url = url;
    ctx->url_len = url ? std::strlen(url) : 0;
    ctx->username = username;
    ctx->username_len = username ? std::strlen(username) : 0;
    ctx->password = password;
    ctx->password_len = password ? std::strlen(password) : 0;
    return ctx;
}

void context_free_shell(RTMPDumpCtx *ctx)
{
    pthread_mutex_destroy(&ctx->rtmp_mutex);
    pthread_mutex_destroy(&ctx->state_mutex);
    free_packet(ctx->a_pkt);
    free_packet(ctx->v_pkt);
    message_writer_free(send_state(ctx).writer);
    server_reader_free(send_state(ctx).reader);
    std::free(reinterpret_cast<ContextShell *>(ctx));
}

}  // namespace tavrel

using namespace tavrel;

extern "C" {

RTMPDumpCtx *tavrel_connect(const char *url, const char *username, const char *password, int use_rtmp_write,
                            int is_rtmp_queue, int is_log_audio, int is_log_video, uint32_t a_body_max_len,
                            uint32_t v_body_max_len, Logger *logger)
{
    if (!url) {
        finish_connect(TAVREL_CONNECT_NULL_URL);
        return nullptr;
    }
    ContextSettings settings{use_rtmp_write, is_rtmp_queue, is_log_audio, is_log_video, a_body_max_len,
                             v_body_max_len};
    return connect_copies(url, username, password, settings, logger, "tavrel_connect");
}

RTMPDumpCtx *tavrel_reconnect_clone(RTMPDumpCtx *ctx)
{
    if (!ctx || !ctx->url)
        return nullptr;
    // The clone holds a reference of its own to the shared logger.
    Logger *logger = logger_retain(ctx->logger);
    RTMPDumpCtx *clone =
        connect_copies(ctx->url, ctx->username, ctx->password, settings_of(ctx), logger, "tavrel_reconnect_clone");
    if (!clone)
        logger_release(logger);
    return clone;
}

RTMP_CONN tavrel_reconnect_stream(RTMPDumpCtx **ctx_ptr)
{
    RTMP_CONN early;
    RTMPDumpCtx *ctx = begin_reconnection(ctx_ptr, &early);
    return ctx ? publish_again(ctx) : early;
}

RTMP_CONN tavrel_reconnect_full(RTMPDumpCtx **ctx_ptr)
{
    RTMP_CONN early;
    RTMPDumpCtx *ctx = begin_reconnection(ctx_ptr, &early);
    return ctx ? replace_context(ctx, ctx_ptr) : early;
}

int tavrel_test_connect(const char *url)
{
    RTMP *rtmp = nullptr;
    int rc = connect_rtmp_w(url, nullptr, nullptr, &rtmp, global_log_callback);
    if (rc == 0)
        close_rtmp_w(rtmp, 1);
    return rc;
}

int tavrel_set_chunk_size(RTMPDumpCtx *ctx, int size)
{
    if (!ctx)
        return RTMPERR_DISCONNECTED;
    if (size < 1) {
        logger_log(ctx->logger, OSTREL_WARNING, "tavrel_set_chunk_size:: %d is not a chunk size (1 to 2147483647)",
                   size);
        return RTMPERR_INVALID_BUFF;
    }
    int sent;
    {
        MutexLock lock(&ctx->rtmp_mutex);
        // A stream reconnection holds this lock while it runs; one that has
        // begun shows as RTMP_CONN_RECONNECTING.
        const RTMP_CONN state = load_state(ctx);
        if (state == RTMP_CONN_RECONNECTING)
            return RTMPERR_RECONNECTING;
        if (state != RTMP_CONN_CONNECTED || !RTMP_IsConnected(ctx->rtmp))
            return RTMPERR_DISCONNECTED;
        sent = send_chunk_size_locked(ctx, size);
        if (sent)
            store_shared(send_state(ctx).chunk_size, size);
    }
    logger_log(ctx->logger, OSTREL_FINE, "tavrel_set_chunk_size:: %d %s", size, sent ? "sent" : "not sent");
    return classify_send(ctx, sent);
}

int tavrel_set_send_timeout(RTMPDumpCtx *ctx, int ms)
{
    return set_send_bounds(ctx, ms, -1, "tavrel_set_send_timeout", ms);
}

int tavrel_set_unsent_limit(RTMPDumpCtx *ctx, int bytes)
{
    return set_send_bounds(ctx, -1, bytes, "tavrel_set_unsent_limit", bytes);
}

RTMP_CONN tavrel_get_connection_state(RTMPDumpCtx *ctx)
{
    if (!ctx)
        return RTMP_CONN_DISCONNECTED;
    MutexLock lock(&ctx->state_mutex);
    return load_state(ctx);
}

int tavrel_can_send(RTMPDumpCtx *ctx)
{
    if (!ctx)
        return -1;
    RTMP_CONN state;
    int is_timedout;
    {
        MutexLock lock(&ctx->state_mutex);
        state = load_state(ctx);
        is_timedout = ctx->rtmp ? RTMP_IsTimedout(ctx->rtmp) : 1;
    }
    return state == RTMP_CONN_CONNECTED && !is_timedout ? 1 : 0;
}

void tavrel_close(RTMPDumpCtx *ctx)
{
    if (!ctx)
        return;
    logger_log(ctx->logger, OSTREL_FINE, "close");
    if (ctx->rtmp) {
        // Only a context still publishing says goodbye to the server; any
        // other (a failed stream reconnection, the old context of a full
        // one) may sit on a dead link, but its socket is closed all the same.
        bool is_orderly = load_state(ctx) == RTMP_CONN_CONNECTED;
        // After the graceful end the stream is gone and our side shut:
        // nothing is left to say.
        if (is_orderly && finish_before_close(ctx))
            is_orderly = false;
        if (load_state(ctx) == RTMP_CONN_CONNECTED)
            store_state(ctx, RTMP_CONN_DISCONNECTED);
        close_rtmp_w(ctx->rtmp, is_orderly ? 1 : 0);
        ctx->rtmp = nullptr;
    }
    free_texts(const_cast<char *>(ctx->url), const_cast<char *>(ctx->username),
               const_cast<char *>(ctx->password));
    logger_release(ctx->logger);
    context_free_shell(ctx);
}

}  // extern "C"
