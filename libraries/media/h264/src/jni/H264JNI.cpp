// JNI entry points of tessora.media.h264.H264: encoder output from a byte[]
// range or a direct ByteBuffer into NALUS / NALUPayload records held by Java
// as addresses, their release, a few field reads, and the Annex B
// access-unit splitter. Stateless; no Java exception leaves these functions.
#include "H264.h"
#include "JniInput.h"

#include <jni.h>

#include <cstdint>
#include <memory>
#include <new>

using namespace tavrel_media_jni;

namespace {

// Without a time base the publisher would divide by zero turning ticks
// into milliseconds; refuse it here, where the caller can still be told.
bool timing_of(jint timebase_num, jint timebase_den, jlong pts, jlong dts, jlong fst_pts, jlong fst_dts,
               H264Timing &t)
{
    t.timebase_num = static_cast<uint32_t>(timebase_num);
    t.timebase_den = static_cast<uint32_t>(timebase_den);
    t.pts = pts;
    t.dts = dts;
    t.fst_pts = fst_pts;
    t.fst_dts = fst_dts;
    return t.timebase_den != 0;
}

template <typename Record>
using Maker = int (*)(const uint8_t *, int32_t, int, const H264Timing *, Record **);

// One maker over one input: the record's address, or 0 with the code in
// error[0].
template <typename Record, typename Input>
jlong make(JNIEnv *env, Maker<Record> maker, Input input, jboolean is_stripped, jint timebase_num,
           jint timebase_den, jlong pts, jlong dts, jlong fst_pts, jlong fst_dts, jintArray error)
{
    H264Timing timing;
    Record *record = nullptr;
    int rc = kErrBadArg;
    if (timing_of(timebase_num, timebase_den, pts, dts, fst_pts, fst_dts, timing)) {
        rc = input([&](const uint8_t *data, int32_t len) {
            return maker(data, len, is_stripped ? 1 : 0, &timing, &record);
        });
    }
    report(env, error, rc);
    return rc == H264ERR_OK ? address_of(record) : 0;
}

}  // namespace

#define H264_ARRAY_MAKER(jname, Record, maker)                                                                   \
    JNIEXPORT jlong JNICALL Java_tessora_media_h264_H264_##jname(                                                \
        JNIEnv *env, jclass, jbyteArray data, jint offset, jint length, jboolean is_stripped, jint timebase_num, \
        jint timebase_den, jlong pts, jlong dts, jlong fst_pts, jlong fst_dts, jintArray error)                  \
    {                                                                                                            \
        auto input = [&](auto fn) { return with_array(env, data, offset, length, fn); };                         \
        return make<Record>(env, maker, input, is_stripped, timebase_num, timebase_den, pts, dts, fst_pts,       \
                            fst_dts, error);                                                                     \
    }

#define H264_DIRECT_MAKER(jname, Record, maker)                                                                  \
    JNIEXPORT jlong JNICALL Java_tessora_media_h264_H264_##jname(                                                \
        JNIEnv *env, jclass, jobject data, jint offset, jint length, jboolean is_stripped, jint timebase_num,    \
        jint timebase_den, jlong pts, jlong dts, jlong fst_pts, jlong fst_dts, jintArray error)                  \
    {                                                                                                            \
        auto input = [&](auto fn) { return with_direct(env, data, offset, length, fn); };                        \
        return make<Record>(env, maker, input, is_stripped, timebase_num, timebase_den, pts, dts, fst_pts,       \
                            fst_dts, error);                                                                     \
    }

extern "C" {

H264_ARRAY_MAKER(nalus_1from_1annexb, NALUS, h264_nalus_from_annexb)
H264_ARRAY_MAKER(nalus_1from_1avcc, NALUS, h264_nalus_from_avcc)
H264_ARRAY_MAKER(payload_1from_1annexb, NALUPayload, h264_payload_from_annexb)
H264_ARRAY_MAKER(payload_1from_1avcc, NALUPayload, h264_payload_from_avcc)
H264_DIRECT_MAKER(nalus_1from_1annexb_1direct, NALUS, h264_nalus_from_annexb)
H264_DIRECT_MAKER(nalus_1from_1avcc_1direct, NALUS, h264_nalus_from_avcc)
H264_DIRECT_MAKER(payload_1from_1annexb_1direct, NALUPayload, h264_payload_from_annexb)
H264_DIRECT_MAKER(payload_1from_1avcc_1direct, NALUPayload, h264_payload_from_avcc)

JNIEXPORT void JNICALL Java_tessora_media_h264_H264_free_1nalus(JNIEnv *, jclass, jlong nalus_addr)
{
    h264_free_nalus(record_at<NALUS>(nalus_addr));
}

JNIEXPORT void JNICALL Java_tessora_media_h264_H264_free_1payload(JNIEnv *, jclass, jlong payload_addr)
{
    h264_free_payload(record_at<NALUPayload>(payload_addr));
}

JNIEXPORT jint JNICALL Java_tessora_media_h264_H264_annexb_1au_1len(JNIEnv *env, jclass, jbyteArray data,
                                                                   jint offset, jint length)
{
    return with_array(env, data, offset, length,
                      [](const uint8_t *p, int32_t len) { return h264_annexb_au_len(p, len); });
}

JNIEXPORT jint JNICALL Java_tessora_media_h264_H264_annexb_1au_1len_1direct(JNIEnv *env, jclass, jobject data,
                                                                           jint offset, jint length)
{
    return with_direct(env, data, offset, length,
                       [](const uint8_t *p, int32_t len) { return h264_annexb_au_len(p, len); });
}

// The display order is worked out while the array is held and copied to
// display_index after it is released (no JNI call inside the critical
// section).
JNIEXPORT jint JNICALL Java_tessora_media_h264_H264_annexb_1display_1order(JNIEnv *env, jclass, jbyteArray data,
                                                                          jint offset, jint length,
                                                                          jintArray display_index)
{
    jsize room = display_index ? env->GetArrayLength(display_index) : 0;
    std::unique_ptr<int32_t[]> order;
    jint rc = with_array(env, data, offset, length, [&](const uint8_t *p, int32_t len) {
        int32_t n = h264_annexb_display_order(p, len, nullptr, 0);
        if (n <= 0 || room == 0)
            return n;
        order.reset(new (std::nothrow) int32_t[static_cast<size_t>(n)]);
        if (!order)
            return static_cast<int32_t>(H264ERR_NO_MEMORY);
        return h264_annexb_display_order(p, len, order.get(), n);
    });
    if (rc > 0 && room > 0) {
        env->SetIntArrayRegion(display_index, 0, rc < room ? rc : room, reinterpret_cast<const jint *>(order.get()));
        if (env->ExceptionCheck())
            env->ExceptionClear();
    }
    return rc;
}

// Field reads, so that Java can count and label what it sends without a
// copy. A zero address gives -1 (or false).

JNIEXPORT jint JNICALL Java_tessora_media_h264_H264_nalus_1num_1nalu(JNIEnv *, jclass, jlong nalus_addr)
{
    const NALUS *r = record_at<NALUS>(nalus_addr);
    return r ? r->num_nalu : -1;
}

JNIEXPORT jint JNICALL Java_tessora_media_h264_H264_nalus_1total_1len(JNIEnv *, jclass, jlong nalus_addr)
{
    const NALUS *r = record_at<NALUS>(nalus_addr);
    return r ? r->total_len : -1;
}

JNIEXPORT jboolean JNICALL Java_tessora_media_h264_H264_nalus_1is_1keyframe(JNIEnv *, jclass, jlong nalus_addr)
{
    const NALUS *r = record_at<NALUS>(nalus_addr);
    return r && r->is_keyframe ? JNI_TRUE : JNI_FALSE;
}

// The type and stored length of unit `index`; -1 outside the record.
JNIEXPORT jint JNICALL Java_tessora_media_h264_H264_nalus_1type(JNIEnv *, jclass, jlong nalus_addr, jint index)
{
    const NALUS *r = record_at<NALUS>(nalus_addr);
    return r && index >= 0 && index < r->num_nalu ? r->nalus[index].type : -1;
}

JNIEXPORT jint JNICALL Java_tessora_media_h264_H264_nalus_1len(JNIEnv *, jclass, jlong nalus_addr, jint index)
{
    const NALUS *r = record_at<NALUS>(nalus_addr);
    return r && index >= 0 && index < r->num_nalu ? r->nalus[index].len : -1;
}

JNIEXPORT jint JNICALL Java_tessora_media_h264_H264_payload_1len(JNIEnv *, jclass, jlong payload_addr)
{
    const NALUPayload *r = record_at<NALUPayload>(payload_addr);
    return r ? r->len : -1;
}

JNIEXPORT jboolean JNICALL Java_tessora_media_h264_H264_payload_1is_1keyframe(JNIEnv *, jclass,
                                                                             jlong payload_addr)
{
    const NALUPayload *r = record_at<NALUPayload>(payload_addr);
    return r && r->is_keyframe ? JNI_TRUE : JNI_FALSE;
}

}  // extern "C"
