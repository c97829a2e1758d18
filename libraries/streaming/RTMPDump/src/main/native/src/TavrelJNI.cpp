// JNI entry points of tessora.streaming.rtmpdump.Tavrel. Each one converts
// its Java arguments, makes one call into the publisher and hands the result
// back unchanged. Handles are the addresses of native records carried in a
// Java long.
//
// Nothing here raises a Java exception: a string the JVM cannot hand out
// (out of memory) fails the call with the code a failed connection gives,
// and its pending OutOfMemoryError is cleared, since the code is the report.
//
// A handle of 0 or less is never dereferenced (record_at): reconnect_full
// hands out -1 and -4 as results in the same long, so a caller that
// forwards one of those must not crash the process.
#include "JniSupport.h"
#include "Mirabe.h"
#include "OstrelJni.h"
#include "Tavrel.h"
#include "TavrelContext.h"

using ostrel::ScopedJniLogger;
using tavrel_jni::address_of;
using tavrel_jni::low32;
using tavrel_jni::record_at;
using tavrel_jni::ScopedUtfChars;
using tavrel_jni::to_jboolean;

namespace {

RTMPDumpCtx *ctx_at(jlong handle) { return record_at<RTMPDumpCtx>(handle); }

// Sends on an absent context: nothing was sent, and there is no connection.
constexpr jint kNoContext = RTMPERR_DISCONNECTED;

// The send path dereferences its H.264 records; a missing one is refused
// here with the code it gives for a missing unit array.
template <typename Record>
jint send_video(jlong handle, jlong record_addr, int (*send)(RTMPDumpCtx *, Record *))
{
    RTMPDumpCtx *ctx = ctx_at(handle);
    if (!ctx)
        return kNoContext;
    Record *record = record_at<Record>(record_addr);
    if (!record)
        return RTMPERR_INVALID_NAL;
    return send(ctx, record);
}

jboolean flag_of(jlong handle, int RTMPDumpCtx::*field)
{
    const RTMPDumpCtx *ctx = ctx_at(handle);
    return to_jboolean(ctx && ctx->*field);
}

// The capacities grow on the media threads; a getter may run beside a send.
jlong capacity_of(jlong handle, uint32_t RTMPDumpCtx::*field)
{
    const RTMPDumpCtx *ctx = ctx_at(handle);
    return ctx ? static_cast<jlong>(tavrel::load_shared(ctx->*field)) : 0;
}

}  // namespace

extern "C" {

JNIEXPORT void JNICALL Java_tessora_streaming_rtmpdump_Tavrel_set_1global_1logger(JNIEnv *env, jclass,
                                                                                   jobject logger)
{
    ScopedJniLogger log(env, logger);
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
    ScopedJniLogger log(env, logger);
    RTMPDumpCtx *ctx = tavrel_connect(url.c_str(), user.c_str(), pass.c_str(), use_rtmp_write ? 1 : 0,
                                      is_rtmp_queue ? 1 : 0, is_log_audio ? 1 : 0, is_log_video ? 1 : 0,
                                      low32(a_body_max_len), low32(v_body_max_len), log.get());
    if (ctx)
        log.release();  // the context owns it now; on failure it is ours to give back
    return address_of(ctx);
}

JNIEXPORT jlong JNICALL Java_tessora_streaming_rtmpdump_Tavrel_reconnect_1clone(JNIEnv *, jclass,
                                                                                jlong handle_addr)
{
    return address_of(tavrel_reconnect_clone(ctx_at(handle_addr)));
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
    return address_of(ctx);
}

JNIEXPORT jint JNICALL Java_tessora_streaming_rtmpdump_Tavrel_test_1connect(JNIEnv *env, jclass, jstring uri)
{
    ScopedUtfChars url(env, uri);
    // A URL the JVM could not hand over counts as none (-1), for the
    // thread's last connect result too.
    return tavrel_test_connect(url.ok() ? url.c_str() : nullptr);
}

JNIEXPORT jint JNICALL Java_tessora_streaming_rtmpdump_Tavrel_get_1connection_1state(JNIEnv *, jclass,
                                                                                     jlong handle_addr)
{
    return tavrel_get_connection_state(ctx_at(handle_addr));
}

JNIEXPORT jboolean JNICALL Java_tessora_streaming_rtmpdump_Tavrel_can_1send(JNIEnv *, jclass, jlong handle_addr)
{
    return to_jboolean(tavrel_can_send(ctx_at(handle_addr)) == 1);
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

JNIEXPORT jint JNICALL Java_tessora_streaming_rtmpdump_Tavrel_send_1video_1header(JNIEnv *, jclass,
                                                                                  jlong handle_addr,
                                                                                  jlong h264_header_addr)
{
    return send_video(handle_addr, h264_header_addr, tavrel_send_h264_header);
}

JNIEXPORT jint JNICALL Java_tessora_streaming_rtmpdump_Tavrel_send_1h264_1nals(JNIEnv *, jclass, jlong handle_addr,
                                                                               jlong nals_addr)
{
    return send_video(handle_addr, nals_addr, tavrel_send_h264_nals);
}

JNIEXPORT jint JNICALL Java_tessora_streaming_rtmpdump_Tavrel_send_1h264_1nalu_1payload(JNIEnv *, jclass,
                                                                                        jlong handle_addr,
                                                                                        jlong payload_addr)
{
    return send_video(handle_addr, payload_addr, tavrel_send_h264_nalu_payload);
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
    return tavrel_jni::new_string_utf(env, ctx->url);
}

JNIEXPORT jboolean JNICALL Java_tessora_streaming_rtmpdump_Tavrel_get_1use_1rtmp_1write(JNIEnv *, jclass,
                                                                                        jlong handle_addr)
{
    return flag_of(handle_addr, &RTMPDumpCtx::use_rtmp_write);
}

JNIEXPORT jboolean JNICALL Java_tessora_streaming_rtmpdump_Tavrel_get_1is_1rtmp_1queue(JNIEnv *, jclass,
                                                                                       jlong handle_addr)
{
    return flag_of(handle_addr, &RTMPDumpCtx::is_rtmp_queue);
}

JNIEXPORT jboolean JNICALL Java_tessora_streaming_rtmpdump_Tavrel_get_1is_1log_1audio(JNIEnv *, jclass,
                                                                                      jlong handle_addr)
{
    return flag_of(handle_addr, &RTMPDumpCtx::is_log_audio);
}

JNIEXPORT jboolean JNICALL Java_tessora_streaming_rtmpdump_Tavrel_get_1is_1log_1video(JNIEnv *, jclass,
                                                                                      jlong handle_addr)
{
    return flag_of(handle_addr, &RTMPDumpCtx::is_log_video);
}

JNIEXPORT jlong JNICALL Java_tessora_streaming_rtmpdump_Tavrel_get_1a_1body_1max_1len(JNIEnv *, jclass,
                                                                                      jlong handle_addr)
{
    return capacity_of(handle_addr, &RTMPDumpCtx::a_body_max_len);
}

JNIEXPORT jlong JNICALL Java_tessora_streaming_rtmpdump_Tavrel_get_1v_1body_1max_1len(JNIEnv *, jclass,
                                                                                      jlong handle_addr)
{
    return capacity_of(handle_addr, &RTMPDumpCtx::v_body_max_len);
}

}  // extern "C"
