// JNI entry points of tessora.media.h264.H264: encoder output from a byte[]
// range or a direct ByteBuffer into NALUS / NALUPayload records held by Java
// as addresses, their release, a few field reads, and the Annex B
// access-unit splitter. Stateless; no Java exception leaves these functions.
#include "H264.h"
#include "JniInput.h"

#include <cstdint>
#include <memory>
#include <new>

using namespace tavrel_media_jni;
using tavrel_jni::record_at;
using tavrel_jni::to_jboolean;

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
template <typename Record, typename JavaInput>
jlong make(JNIEnv *env, Maker<Record> maker, const Input<JavaInput> &input, jboolean is_stripped,
           jint timebase_num, jint timebase_den, jlong pts, jlong dts, jlong fst_pts, jlong fst_dts, jintArray error)
{
    H264Timing timing;
    if (!timing_of(timebase_num, timebase_den, pts, dts, fst_pts, fst_dts, timing)) {
        report(env, error, kErrBadArg);
        return 0;
    }
    int stripped = is_stripped ? 1 : 0;
    return make_record<Record>(env, input, error, [&](const uint8_t *data, int32_t len, Record **out) {
        return maker(data, len, stripped, &timing, out);
    });
}

}  // namespace

// JavaInput: jbyteArray for a byte[] range, jobject for a direct ByteBuffer.
#define H264_MAKER(jname, JavaInput, Record, maker)                                                            \
    JNIEXPORT jlong JNICALL Java_tessora_media_h264_H264_##jname(                                              \
        JNIEnv *env, jclass, JavaInput data, jint offset, jint length, jboolean is_stripped, jint timebase_num, \
        jint timebase_den, jlong pts, jlong dts, jlong fst_pts, jlong fst_dts, jintArray error)                \
    {                                                                                                          \
        return make<Record>(env, maker, input_of(env, data, offset, length), is_stripped, timebase_num,       \
                            timebase_den, pts, dts, fst_pts, fst_dts, error);                                  \
    }

extern "C" {

H264_MAKER(nalus_1from_1annexb, jbyteArray, NALUS, h264_nalus_from_annexb)
H264_MAKER(nalus_1from_1avcc, jbyteArray, NALUS, h264_nalus_from_avcc)
H264_MAKER(payload_1from_1annexb, jbyteArray, NALUPayload, h264_payload_from_annexb)
H264_MAKER(payload_1from_1avcc, jbyteArray, NALUPayload, h264_payload_from_avcc)
H264_MAKER(nalus_1from_1annexb_1direct, jobject, NALUS, h264_nalus_from_annexb)
H264_MAKER(nalus_1from_1avcc_1direct, jobject, NALUS, h264_nalus_from_avcc)
H264_MAKER(payload_1from_1annexb_1direct, jobject, NALUPayload, h264_payload_from_annexb)
H264_MAKER(payload_1from_1avcc_1direct, jobject, NALUPayload, h264_payload_from_avcc)

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
    return with_array(env, data, offset, length, h264_annexb_au_len);
}

JNIEXPORT jint JNICALL Java_tessora_media_h264_H264_annexb_1au_1len_1direct(JNIEnv *env, jclass, jobject data,
                                                                           jint offset, jint length)
{
    return with_direct(env, data, offset, length, h264_annexb_au_len);
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
    if (rc > 0 && room > 0)
        tavrel_jni::put_ints(env, display_index, reinterpret_cast<const jint *>(order.get()), rc);
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
    return to_jboolean(r && r->is_keyframe);
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
    return to_jboolean(r && r->is_keyframe);
}

}  // extern "C"
