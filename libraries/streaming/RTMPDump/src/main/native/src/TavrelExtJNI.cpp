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

} // extern "C"
