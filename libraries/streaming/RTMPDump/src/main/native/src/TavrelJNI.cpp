// JNI entry points of tessora.streaming.rtmpdump.Tavrel. Each one converts
// its Java arguments, makes one call into the publisher and hands the result
// back unchanged. Handles are the addresses of native records carried in a
// Java long.
//
// Nothing here raises a Java exception: a string the JVM cannot hand out
// (out of memory) fails the call with the code a failed connection gives,
// and its pending OutOfMemoryError is cleared, since the code is the report.
//
// A handle of 0 or less is never dereferenced. No live record lives at such
// an address (0 is null, a negative value lies in kernel space on x86-64),
// and reconnect_full hands out -1 and -4 as results in the same long, so a
// caller that forwards one of those must not crash the process.
#include "Mirabe.h"
#include "Tavrel.h"
#include "TavrelContext.h"

#include <jni.h>

#include <cstdint>

namespace {

template <typename Record>
Record *record_at(jlong addr)
{
    return addr > 0 ? reinterpret_cast<Record *>(static_cast<intptr_t>(addr)) : nullptr;
}

RTMPDumpCtx *ctx_at(jlong handle) { return record_at<RTMPDumpCtx>(handle); }

jlong handle_of(RTMPDumpCtx *ctx) { return static_cast<jlong>(reinterpret_cast<intptr_t>(ctx)); }

// A Java string as modified UTF-8 for one call. A null jstring is a null C
// string and counts as converted; a non-null one the JVM could not convert
// leaves ok() false.
class ScopedUtfChars {
public:
    ScopedUtfChars(JNIEnv *env, jstring s) : env_(env), s_(s)
    {
        if (!s_)
            return;
        chars_ = env_->GetStringUTFChars(s_, nullptr);
        if (!chars_ && env_->ExceptionCheck())
            env_->ExceptionClear();
    }
    ~ScopedUtfChars()
    {
        if (chars_)
            env_->ReleaseStringUTFChars(s_, chars_);
    }
    ScopedUtfChars(const ScopedUtfChars &) = delete;
    ScopedUtfChars &operator=(const ScopedUtfChars &) = delete;

    bool ok() const { return !s_ || chars_; }
    const char *c_str() const { return chars_; }

private:
    JNIEnv *env_;
    jstring s_;
    const char *chars_ = nullptr;
};

// A Logger holding one reference, given back unless released to a new owner.
class ScopedLogger {
public:
    ScopedLogger(JNIEnv *env, jobject logger) : logger_(logger ? jni_logger(env, logger, 0) : nullptr) {}
    ~ScopedLogger() { logger_release(logger_); }
    ScopedLogger(const ScopedLogger &) = delete;
    ScopedLogger &operator=(const ScopedLogger &) = delete;

    Logger *get() const { return logger_; }
    Logger *release()
    {
        Logger *l = logger_;
        logger_ = nullptr;
        return l;
    }

private:
    Logger *logger_;
};

// A Java long handed to a 32-bit size keeps its low 32 bits.
inline uint32_t low32(jlong v) { return static_cast<uint32_t>(static_cast<uint64_t>(v)); }

inline jboolean flag(int v) { return v ? JNI_TRUE : JNI_FALSE; }

// Sends on an absent context: nothing was sent, and there is no connection.
constexpr jint kNoContext = RTMPERR_DISCONNECTED;

}  // namespace

extern "C" {

JNIEXPORT void JNICALL Java_tessora_streaming_rtmpdump_Tavrel_set_1global_1logger(JNIEnv *env, jclass,
                                                                                   jobject logger)
{
    ScopedLogger log(env, logger);
    // The publisher takes over our reference and gives back the one it held.
    tavrel_set_global_logger(log.release());
}

JNIEXPORT jlong JNICALL Java_tessora_streaming_rtmpdump_Tavrel_connect(
    JNIEnv *env, jclass, jstring uri, jstring username, jstring password, jboolean use_rtmp_write,
    jboolean is_rtmp_queue, jboolean is_log_audio, jboolean is_log_video, jlong a_body_max_len,
    jlong v_body_max_len, jobject logger)
{
    // After a refusal the JVM is short of memory: ask it for nothing more.
    ScopedUtfChars url(env, uri);
    if (!url.ok())
        return 0;
    ScopedUtfChars user(env, username);
    if (!user.ok())
        return 0;
    ScopedUtfChars pass(env, password);
    if (!pass.ok())
        return 0;
    ScopedLogger log(env, logger);
    RTMPDumpCtx *ctx = tavrel_connect(url.c_str(), user.c_str(), pass.c_str(), use_rtmp_write ? 1 : 0,
                                      is_rtmp_queue ? 1 : 0, is_log_audio ? 1 : 0, is_log_video ? 1 : 0,
                                      low32(a_body_max_len), low32(v_body_max_len), log.get());
    if (ctx)
        log.release();  // the context owns it now; on failure it is ours to give back
    return handle_of(ctx);
}

JNIEXPORT jlong JNICALL Java_tessora_streaming_rtmpdump_Tavrel_reconnect_1clone(JNIEnv *, jclass,
                                                                                jlong handle_addr)
{
    return handle_of(tavrel_reconnect_clone(ctx_at(handle_addr)));
}

JNIEXPORT jint JNICALL Java_tessora_streaming_rtmpdump_Tavrel_reconnect_1stream(JNIEnv *, jclass,
                                                                                jlong handle_addr)
{
    RTMPDumpCtx *ctx = ctx_at(handle_addr);
    if (!ctx)
        return RTMP_CONN_DISCONNECTED;
    return tavrel_reconnect_stream(&ctx);
}

// One long carries either the handle to use from now on (positive) or a
// state: -4 nothing done, old handle still valid; -1 old context released,
// no new one.
JNIEXPORT jlong JNICALL Java_tessora_streaming_rtmpdump_Tavrel_reconnect_1full(JNIEnv *, jclass,
                                                                               jlong handle_addr)
{
    RTMPDumpCtx *ctx = ctx_at(handle_addr);
    if (!ctx)
        return RTMP_CONN_DISCONNECTED;
    RTMP_CONN rc = tavrel_reconnect_full(&ctx);
    if (rc != RTMP_CONN_CONNECTED)
        return rc;
    return handle_of(ctx);
}

JNIEXPORT jint JNICALL Java_tessora_streaming_rtmpdump_Tavrel_test_1connect(JNIEnv *env, jclass, jstring uri)
{
    ScopedUtfChars url(env, uri);
    if (!url.ok() || !url.c_str())
        return -1;
    return tavrel_test_connect(url.c_str());
}

JNIEXPORT jint JNICALL Java_tessora_streaming_rtmpdump_Tavrel_get_1connection_1state(JNIEnv *, jclass,
                                                                                     jlong handle_addr)
{
    return tavrel_get_connection_state(ctx_at(handle_addr));
}

JNIEXPORT jboolean JNICALL Java_tessora_streaming_rtmpdump_Tavrel_can_1send(JNIEnv *, jclass, jlong handle_addr)
{
    return flag(tavrel_can_send(ctx_at(handle_addr)) == 1);
}

JNIEXPORT jint JNICALL Java_tessora_streaming_rtmpdump_Tavrel_send_1metadata(JNIEnv *, jclass, jlong handle_addr,
                                                                             jint w, jint h, jint v_bitrate,
                                                                             jint v_framerate, jint a_bitrate,
                                                                             jint a_sample_rate,
                                                                             jint a_sample_size_b, jint a_num_ch)
{
    RTMPDumpCtx *ctx = ctx_at(handle_addr);
    if (!ctx)
        return kNoContext;
    return tavrel_send_metadata(ctx, w, h, v_bitrate, v_framerate, a_bitrate, a_sample_rate, a_sample_size_b,
                                a_num_ch);
}

// A missing record reaches the send path as a missing buffer, which it
// answers with RTMPERR_INVALID_BUFF.
JNIEXPORT jint JNICALL Java_tessora_streaming_rtmpdump_Tavrel_send_1aac_1header(JNIEnv *, jclass,
                                                                                jlong handle_addr,
                                                                                jlong aac_header_addr)
{
    RTMPDumpCtx *ctx = ctx_at(handle_addr);
    if (!ctx)
        return kNoContext;
    const AACHeader *header = record_at<AACHeader>(aac_header_addr);
    return tavrel_send_aac_header(ctx, header ? header->buf : nullptr, header ? header->len : 0);
}

JNIEXPORT jint JNICALL Java_tessora_streaming_rtmpdump_Tavrel_send_1aac_1data(JNIEnv *, jclass, jlong handle_addr,
                                                                              jlong data_addr, jlong elapsed_ms)
{
    RTMPDumpCtx *ctx = ctx_at(handle_addr);
    if (!ctx)
        return kNoContext;
    const AACData *data = record_at<AACData>(data_addr);
    return tavrel_send_aac_data(ctx, data ? data->buf : nullptr, data ? data->len : 0, elapsed_ms);
}

// The send path dereferences its H.264 records; a missing one is refused
// here with the code it gives for a missing unit array.
JNIEXPORT jint JNICALL Java_tessora_streaming_rtmpdump_Tavrel_send_1video_1header(JNIEnv *, jclass,
                                                                                  jlong handle_addr,
                                                                                  jlong h264_header_addr)
{
    RTMPDumpCtx *ctx = ctx_at(handle_addr);
    if (!ctx)
        return kNoContext;
    NALUS *nalus = record_at<NALUS>(h264_header_addr);
    if (!nalus)
        return RTMPERR_INVALID_NAL;
    return tavrel_send_h264_header(ctx, nalus);
}

JNIEXPORT jint JNICALL Java_tessora_streaming_rtmpdump_Tavrel_send_1h264_1nals(JNIEnv *, jclass, jlong handle_addr,
                                                                               jlong nals_addr)
{
    RTMPDumpCtx *ctx = ctx_at(handle_addr);
    if (!ctx)
        return kNoContext;
    NALUS *nalus = record_at<NALUS>(nals_addr);
    if (!nalus)
        return RTMPERR_INVALID_NAL;
    return tavrel_send_h264_nals(ctx, nalus);
}

JNIEXPORT jint JNICALL Java_tessora_streaming_rtmpdump_Tavrel_send_1h264_1nalu_1payload(JNIEnv *, jclass,
                                                                                        jlong handle_addr,
                                                                                        jlong payload_addr)
{
    RTMPDumpCtx *ctx = ctx_at(handle_addr);
    if (!ctx)
        return kNoContext;
    NALUPayload *payload = record_at<NALUPayload>(payload_addr);
    if (!payload)
        return RTMPERR_INVALID_NAL;
    return tavrel_send_h264_nalu_payload(ctx, payload);
}

JNIEXPORT void JNICALL Java_tessora_streaming_rtmpdump_Tavrel_close(JNIEnv *, jclass, jlong handle_addr)
{
    tavrel_close(ctx_at(handle_addr));
}

JNIEXPORT jstring JNICALL Java_tessora_streaming_rtmpdump_Tavrel_get_1uri(JNIEnv *env, jclass, jlong handle_addr)
{
    const RTMPDumpCtx *ctx = ctx_at(handle_addr);
    if (!ctx || !ctx->url)
        return nullptr;
    jstring s = env->NewStringUTF(ctx->url);
    if (!s && env->ExceptionCheck())
        env->ExceptionClear();
    return s;
}

JNIEXPORT jboolean JNICALL Java_tessora_streaming_rtmpdump_Tavrel_get_1use_1rtmp_1write(JNIEnv *, jclass,
                                                                                        jlong handle_addr)
{
    const RTMPDumpCtx *ctx = ctx_at(handle_addr);
    return flag(ctx ? ctx->use_rtmp_write : 0);
}

JNIEXPORT jboolean JNICALL Java_tessora_streaming_rtmpdump_Tavrel_get_1is_1rtmp_1queue(JNIEnv *, jclass,
                                                                                       jlong handle_addr)
{
    const RTMPDumpCtx *ctx = ctx_at(handle_addr);
    return flag(ctx ? ctx->is_rtmp_queue : 0);
}

JNIEXPORT jboolean JNICALL Java_tessora_streaming_rtmpdump_Tavrel_get_1is_1log_1audio(JNIEnv *, jclass,
                                                                                      jlong handle_addr)
{
    const RTMPDumpCtx *ctx = ctx_at(handle_addr);
    return flag(ctx ? ctx->is_log_audio : 0);
}

JNIEXPORT jboolean JNICALL Java_tessora_streaming_rtmpdump_Tavrel_get_1is_1log_1video(JNIEnv *, jclass,
                                                                                      jlong handle_addr)
{
    const RTMPDumpCtx *ctx = ctx_at(handle_addr);
    return flag(ctx ? ctx->is_log_video : 0);
}

// The capacities grow on the media threads; a getter may run beside a send.
JNIEXPORT jlong JNICALL Java_tessora_streaming_rtmpdump_Tavrel_get_1a_1body_1max_1len(JNIEnv *, jclass,
                                                                                      jlong handle_addr)
{
    const RTMPDumpCtx *ctx = ctx_at(handle_addr);
    return ctx ? static_cast<jlong>(tavrel::load_shared(ctx->a_body_max_len)) : 0;
}

JNIEXPORT jlong JNICALL Java_tessora_streaming_rtmpdump_Tavrel_get_1v_1body_1max_1len(JNIEnv *, jclass,
                                                                                      jlong handle_addr)
{
    const RTMPDumpCtx *ctx = ctx_at(handle_addr);
    return ctx ? static_cast<jlong>(tavrel::load_shared(ctx->v_body_max_len)) : 0;
}

}  // extern "C"
