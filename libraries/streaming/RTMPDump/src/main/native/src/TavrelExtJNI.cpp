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

JNIEXPORT jint JNICALL Java_tessora_streaming_rtmpdump_TavrelExt_set_1send_1timeout(JNIEnv *, jclass, jlong handle,
                                                                                    jint ms)
{
    RTMPDumpCtx *ctx = record_at<RTMPDumpCtx>(handle);
    return ctx ? tavrel_set_send_timeout(ctx, ms) : RTMPERR_DISCONNECTED;
}

JNIEXPORT jint JNICALL Java_tessora_streaming_rtmpdump_TavrelExt_set_1unsent_1limit(JNIEnv *, jclass, jlong handle,
                                                                                    jint bytes)
{
    RTMPDumpCtx *ctx = record_at<RTMPDumpCtx>(handle);
    return ctx ? tavrel_set_unsent_limit(ctx, bytes) : RTMPERR_DISCONNECTED;
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

// ---- typed media ---------------------------------------------------------
//
// The media sends of the typed Java API. Their bytes come in a direct
// ByteBuffer, never a Java array held in place: a send may block on the
// socket for as long as the server stops reading, and it logs through the
// Java logger, neither of which is allowed while an array is pinned. The
// native records the send path takes are filled on the stack for the call.

namespace {

using tavrel_jni::direct_range;
using tavrel_jni::DirectRange;
using tavrel_jni::record_at;

// The typed records count time in milliseconds from the stream's start.
constexpr uint32_t kMillisecondsDen = 1000;

// send(ctx, bytes) on the context and bytes [offset, offset + length) of
// the direct buffer; RTMPERR_DISCONNECTED without a context, `unusable`
// when the bytes cannot be had.
template <typename Send>
jint send_range(JNIEnv *env, jlong handle, jobject buffer, jint offset, jint length, jint unusable, Send send)
{
    RTMPDumpCtx *ctx = record_at<RTMPDumpCtx>(handle);
    if (!ctx)
        return RTMPERR_DISCONNECTED;
    const uint8_t *data = nullptr;
    if (direct_range(env, buffer, offset, length, &data) != DirectRange::kOk)
        return unusable;
    // The send path reads its input and never writes it.
    return send(ctx, const_cast<uint8_t *>(data));
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL Java_tessora_streaming_rtmpdump_TavrelExt_send_1aac_1config(JNIEnv *env, jclass,
                                                                                  jlong handle, jobject buffer,
                                                                                  jint offset, jint length)
{
    return send_range(env, handle, buffer, offset, length, RTMPERR_INVALID_BUFF,
                      [&](RTMPDumpCtx *ctx, uint8_t *asc) {
                          return tavrel_send_aac_header(ctx, asc, static_cast<uint32_t>(length));
                      });
}

JNIEXPORT jint JNICALL Java_tessora_streaming_rtmpdump_TavrelExt_send_1aac_1frame(JNIEnv *env, jclass,
                                                                                 jlong handle, jobject buffer,
                                                                                 jint offset, jint length,
                                                                                 jlong pts_ms)
{
    return send_range(env, handle, buffer, offset, length, RTMPERR_INVALID_BUFF,
                      [&](RTMPDumpCtx *ctx, uint8_t *frame) {
                          return tavrel_send_aac_data(ctx, frame, length, pts_ms);
                      });
}

JNIEXPORT jint JNICALL Java_tessora_streaming_rtmpdump_TavrelExt_send_1avc_1config(
    JNIEnv *env, jclass, jlong handle, jobject buffer, jint sps_offset, jint sps_length, jint pps_offset,
    jint pps_length)
{
    return send_range(env, handle, buffer, sps_offset, sps_length, RTMPERR_INVALID_NAL,
                      [&](RTMPDumpCtx *ctx, uint8_t *sps) -> jint {
                          const uint8_t *pps = nullptr;
                          if (direct_range(env, buffer, pps_offset, pps_length, &pps) != DirectRange::kOk)
                              return RTMPERR_INVALID_NAL;
                          NALU params[2] = {{sps, sps_length, NAL_TYPE_SPS},
                                            {const_cast<uint8_t *>(pps), pps_length, NAL_TYPE_PPS}};
                          NALUS nalus = {};
                          nalus.nalus = params;
                          nalus.num_nalu = 2;
                          nalus.total_len = sps_length + pps_length;
                          nalus.timebase_num = 1;
                          nalus.timebase_den = kMillisecondsDen;
                          nalus.is_keyframe = 1;
                          nalus.is_stripped = 1;
                          return tavrel_send_h264_header(ctx, &nalus);
                      });
}

JNIEXPORT jint JNICALL Java_tessora_streaming_rtmpdump_TavrelExt_send_1avc_1frame(JNIEnv *env, jclass,
                                                                                 jlong handle, jobject buffer,
                                                                                 jint offset, jint length,
                                                                                 jlong dts_ms, jlong pts_ms,
                                                                                 jboolean key_frame)
{
    return send_range(env, handle, buffer, offset, length, RTMPERR_INVALID_NAL,
                      [&](RTMPDumpCtx *ctx, uint8_t *access_unit) -> jint {
                          if (dts_ms < 0 || pts_ms < 0)
                              return RTMPERR_NEGATIVE_TIMESTAMP;
                          NALUPayload payload = {};
                          payload.data = access_unit;
                          payload.len = length;
                          payload.timebase_num = 1;
                          payload.timebase_den = kMillisecondsDen;
                          payload.pts = pts_ms;
                          payload.dts = dts_ms;
                          payload.is_keyframe = key_frame ? 1 : 0;
                          return tavrel_send_h264_nalu_payload(ctx, &payload);
                      });
}

}  // extern "C"
