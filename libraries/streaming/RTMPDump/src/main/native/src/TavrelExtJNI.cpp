// JNI entry points of tessora.streaming.rtmpdump.TavrelExt: the exports
// beyond the classic surface, under the same rules as TavrelJNI.cpp (thin,
// stateless, no Java exception, handles <= 0 never dereferenced).
#include "JniSupport.h"
#include "Tavrel.h"
#include "TavrelContext.h"

using tavrel_jni::record_at;

extern "C" {

JNIEXPORT jint JNICALL Java_tessora_streaming_rtmpdump_TavrelExt_set_1chunk_1size(JNIEnv *, jclass, jlong handle,
                                                                                  jint size)
{
    RTMPDumpCtx *ctx = record_at<RTMPDumpCtx>(handle);
    return ctx ? tavrel_set_chunk_size(ctx, size) : RTMPERR_DISCONNECTED;
}

JNIEXPORT jint JNICALL Java_tessora_streaming_rtmpdump_TavrelExt_last_1connect_1result(JNIEnv *, jclass)
{
    return tavrel_last_connect_result();
}

JNIEXPORT jint JNICALL Java_tessora_streaming_rtmpdump_TavrelExt_poll(JNIEnv *, jclass, jlong handle)
{
    RTMPDumpCtx *ctx = record_at<RTMPDumpCtx>(handle);
    return ctx ? tavrel_poll(ctx) : RTMPERR_DISCONNECTED;
}

JNIEXPORT jint JNICALL Java_tessora_streaming_rtmpdump_TavrelExt_finish(JNIEnv *, jclass, jlong handle)
{
    RTMPDumpCtx *ctx = record_at<RTMPDumpCtx>(handle);
    return ctx ? tavrel_finish(ctx) : RTMPERR_DISCONNECTED;
}

JNIEXPORT jint JNICALL Java_tessora_streaming_rtmpdump_TavrelExt_set_1close_1timeout(JNIEnv *, jclass, jlong handle,
                                                                                     jint timeout_ms)
{
    RTMPDumpCtx *ctx = record_at<RTMPDumpCtx>(handle);
    return ctx ? tavrel_set_close_timeout(ctx, timeout_ms) : RTMPERR_DISCONNECTED;
}

// The figures as Java longs; -1 for a handle that names no context. They
// stay below 2^63 for any stream a connection can carry.
JNIEXPORT jlong JNICALL Java_tessora_streaming_rtmpdump_TavrelExt_bytes_1written(JNIEnv *, jclass, jlong handle)
{
    RTMPDumpCtx *ctx = record_at<RTMPDumpCtx>(handle);
    uint64_t bytes = 0;
    return ctx && tavrel_bytes_written(ctx, &bytes) == RTMPERR_OK ? jlong(bytes) : -1;
}

JNIEXPORT jlong JNICALL Java_tessora_streaming_rtmpdump_TavrelExt_bytes_1acked(JNIEnv *, jclass, jlong handle)
{
    RTMPDumpCtx *ctx = record_at<RTMPDumpCtx>(handle);
    uint64_t bytes = 0;
    return ctx && tavrel_bytes_acked(ctx, &bytes) == RTMPERR_OK ? jlong(bytes) : -1;
}

} // extern "C"
