// JNI entry points of tessora.streaming.rtmpdump.TavrelExt: the exports
// beyond the classic surface, under the same rules as TavrelJNI.cpp (thin,
// stateless, no Java exception, handles <= 0 never dereferenced).
#include "JniSupport.h"
#include "Tavrel.h"
#include "TavrelContext.h"

extern "C" {

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

bool direct_bytes(JNIEnv *env, jobject buffer, jint offset, jint length, const uint8_t **data)
{
    return direct_range(env, buffer, offset, length, data) == DirectRange::kOk;
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL Java_tessora_streaming_rtmpdump_TavrelExt_send_1aac_1config(JNIEnv *env, jclass,
                                                                                  jlong handle, jobject buffer,
                                                                                  jint offset, jint length)
{
    RTMPDumpCtx *ctx = record_at<RTMPDumpCtx>(handle);
    if (!ctx)
        return RTMPERR_DISCONNECTED;
    const uint8_t *data = nullptr;
    if (!direct_bytes(env, buffer, offset, length, &data))
        return RTMPERR_INVALID_BUFF;
    return tavrel_send_aac_header(ctx, const_cast<uint8_t *>(data), static_cast<uint32_t>(length));
}

JNIEXPORT jint JNICALL Java_tessora_streaming_rtmpdump_TavrelExt_send_1aac_1frame(JNIEnv *env, jclass,
                                                                                 jlong handle, jobject buffer,
                                                                                 jint offset, jint length,
                                                                                 jlong pts_ms)
{
    RTMPDumpCtx *ctx = record_at<RTMPDumpCtx>(handle);
    if (!ctx)
        return RTMPERR_DISCONNECTED;
    const uint8_t *data = nullptr;
    if (!direct_bytes(env, buffer, offset, length, &data))
        return RTMPERR_INVALID_BUFF;
    return tavrel_send_aac_data(ctx, const_cast<uint8_t *>(data), length, pts_ms);
}

JNIEXPORT jint JNICALL Java_tessora_streaming_rtmpdump_TavrelExt_send_1avc_1config(
    JNIEnv *env, jclass, jlong handle, jobject buffer, jint sps_offset, jint sps_length, jint pps_offset,
    jint pps_length)
{
    RTMPDumpCtx *ctx = record_at<RTMPDumpCtx>(handle);
    if (!ctx)
        return RTMPERR_DISCONNECTED;
    const uint8_t *sps = nullptr;
    const uint8_t *pps = nullptr;
    if (!direct_bytes(env, buffer, sps_offset, sps_length, &sps) ||
        !direct_bytes(env, buffer, pps_offset, pps_length, &pps))
        return RTMPERR_INVALID_NAL;
    NALU params[2] = {{const_cast<uint8_t *>(sps), sps_length, NAL_TYPE_SPS},
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
}

JNIEXPORT jint JNICALL Java_tessora_streaming_rtmpdump_TavrelExt_send_1avc_1frame(JNIEnv *env, jclass,
                                                                                 jlong handle, jobject buffer,
                                                                                 jint offset, jint length,
                                                                                 jlong dts_ms, jlong pts_ms,
                                                                                 jboolean key_frame)
{
    RTMPDumpCtx *ctx = record_at<RTMPDumpCtx>(handle);
    if (!ctx)
        return RTMPERR_DISCONNECTED;
    const uint8_t *data = nullptr;
    if (!direct_bytes(env, buffer, offset, length, &data))
        return RTMPERR_INVALID_NAL;
    if (dts_ms < 0 || pts_ms < 0)
        return RTMPERR_NEGATIVE_TIMESTAMP;
    NALUPayload payload = {};
    payload.data = const_cast<uint8_t *>(data);
    payload.len = length;
    payload.timebase_num = 1;
    payload.timebase_den = kMillisecondsDen;
    payload.pts = pts_ms;
    payload.dts = dts_ms;
    payload.is_keyframe = key_frame ? 1 : 0;
    return tavrel_send_h264_nalu_payload(ctx, &payload);
}

}  // extern "C"
